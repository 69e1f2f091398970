// OneMax: evolve a chromosome of 100 bits until every bit is set. An individual scores one point
// per bit that is set, so the best possible fitness is 100.
//
// Usage: onemax [--seed S] [--runs N] [--jobs N] [--trace FILE] [--plot FILE.svg]
//   With a seed every run repeats exactly; without one, a seed is drawn at random and printed.
#include <string>

#include "allelix/experiment/command_line.h"
#include "allelix/generator.h"

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
  allelix::experiment::Program<COneMaxGenerator> program;
  program.name = "onemax";
  program.problem = "OneMax on 100 bits";
  program.batch.initialize = [](COneMaxGenerator& g) { g.Initialize(PopulationSize, Bits); };
  program.batch.success = [](const COneMaxGenerator& g) { return g.best->fitness == Bits; };
  // best is a copy of the fittest individual the run has seen.
  program.batch.describe = [](const COneMaxGenerator& g) {
    std::string bits = "best individual: ";
    for (int i = 0; i < g.best->geneCount; ++i) bits += g.best->genes[i]->value ? '1' : '0';
    return bits + "\n";
  };
  program.summary.successLabel = "all bits set";
  program.chart.optimum = Bits;  // the chart shows how far the best and the mean lie from 100
  program.chart.optimumLabel = "all bits set";
  return allelix::experiment::Main(program, "Evolves 100 bits until every one is set.", argc, argv);
}
