// OneMax: evolve a chromosome of 100 bits until every bit is set. An individual scores one point
// per bit that is set, so the best possible fitness is 100.
//
// Usage: onemax [SEED]
//   With a SEED every run repeats exactly; without one, the generator seeds from the clock.
#include <cstdint>
#include <iostream>
#include <optional>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "seed_argument.h"

namespace {

constexpr int Bits = 100;
constexpr int PopulationSize = 200;

// An individual of our own: the library stores its genes, we only say how good it is.
class COneMax final : public allelix::CIndividual<COneMax, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

// A generator of our own: the library's operators, with settings chosen for this problem.
class COneMaxGenerator final : public allelix::CGeneratorEx<COneMax> {
 public:
  COneMaxGenerator() {
    // Tournament: pairs of individuals compete for each place.
    selectionType = allelix::SelectionTournament;
    // Uniform crossover: each gene is exchanged with chance uniformRate (0.1).
    crossoverType = allelix::CrossoverUniform;
    mutationRate = 0.5;  // half the individuals get one random bit flipped each generation
    // Stop after 1000 generations, or after 100 generations without a better individual.
    stopFlags = allelix::StopOnGenerations | allelix::StopOnStagnation;
    maxGenerations = 1000;
    maxStagnation = 100;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::uint32_t> seed;
  if (const std::optional<int> status = examples::ParseSeedArgument("onemax", argc, argv, seed)) {
    return *status;
  }
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
  // A report that could not be written (a full disk, a closed output) is a failure.
  if (!std::cout.flush()) {
    std::cerr << "onemax: cannot write to standard output\n";
    return 1;
  }
  return 0;
}
