// OneMax: evolve a chromosome of 100 bits until every bit is set. An individual scores one point
// per bit that is set, so the best possible fitness is 100.
//
// Usage: onemax [SEED]
//   With a SEED every run repeats exactly; without one, the generator seeds from the clock.
#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>

#include "allelix/generator.h"
#include "allelix/run.h"

namespace {

constexpr int Bits = 100;
constexpr int PopulationSize = 200;

// An individual of our own: the library stores its genes, we only say how good it is.
class COneMax final : public allelix::CIndividual<COneMax, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) const override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

// A generator of our own: the library's operators, with settings chosen for this problem.
class COneMaxGenerator final : public allelix::CGeneratorEx<COneMax> {
 public:
  COneMaxGenerator() {
    selectionType = 4;   // tournament: pairs of individuals compete for each place
    crossoverType = 3;   // uniform crossover: each gene is exchanged with chance uniformRate (0.1)
    mutationRate = 0.5;  // half the individuals get one random bit flipped each generation
    // Stop after 1000 generations, or after 100 generations without a better individual.
    stopFlags = allelix::StopOnGenerations | allelix::StopOnStagnation;
    maxGenerations = 1000;
    maxStagnation = 100;
  }
};

constexpr const char* Usage =
    "usage: onemax [SEED]\n"
    "  SEED  a whole number from 0 to 4294967295; the same seed repeats the same run\n";

// Reads the optional seed; the exit status to return at once when the command line is not a run.
std::optional<int> ParseArguments(int argc, char** argv, std::optional<std::uint32_t>& seed) {
  if (argc == 1) return std::nullopt;
  const std::string_view text = argv[1];
  if (argc == 2 && (text == "-h" || text == "--help")) {
    std::cout << Usage;
    return 0;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (argc > 2 || error != std::errc() || end != text.data() + text.size()) {
    std::cerr << "onemax: expected at most one argument, a seed\n" << Usage;
    return 2;
  }
  seed = value;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::uint32_t> seed;
  if (const std::optional<int> status = ParseArguments(argc, argv, seed)) return *status;
  // A seed schedule makes the k-th reseed of the run use seed + k: the same seed, the same run.
  std::optional<allelix::ScopedSeedSchedule> schedule;
  if (seed) schedule.emplace(*seed);

  COneMaxGenerator generator;
  generator.Initialize(PopulationSize, Bits);
  // Evolve calls the observer before every stop test: here it reports progress now and then.
  const allelix::StopReason reason = allelix::Evolve(generator, [](const COneMaxGenerator& g) {
    if (g.generation % 50 == 0) {
      std::cout << "generation " << g.generation << ": best " << g.best->fitness << "\n";
    }
  });

  // best is a copy of the fittest individual the run has seen.
  std::cout << "stopped by " << allelix::StopReasonName(reason) << " after " << generator.generation
            << " generations\n";
  std::cout << "best: " << generator.best->fitness << " ones of " << Bits
            << " (first reached in generation " << generator.bestGeneration << ")\n";
  for (int i = 0; i < generator.best->geneCount; ++i) {
    std::cout << (generator.best->genes[i]->value ? '1' : '0');
  }
  std::cout << "\n";
  return 0;
}
