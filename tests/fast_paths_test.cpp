// The shortcuts a generation takes for speed give what the plain procedures give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "allelix/generator.h"
#include "support.h"

namespace allelix {
namespace {

// Scored by its number, except that a set first gene scores NaN and a set second gene scores
// below the fittest floor: sorted populations then often start with a NaN that never moves.
// With everyBelowFloor, no individual can ever be the fittest.
class CPitfallIndividual final : public CIndividual<CPitfallIndividual, CBit> {
 public:
  static inline bool everyBelowFloor = false;

  double Fitness(int /*context*/) override {
    if (genes[0]->value) return std::numeric_limits<double>::quiet_NaN();
    if (genes[1]->value || everyBelowFloor) return -1e13;
    return static_cast<double>(demo::DecodeBits(*this) % 7);
  }
};

using CPitfallGenerator = CGeneratorEx<CPitfallIndividual>;

// Elitism sorts every generation; the best rule must then take what the scan would find, and
// nothing at all when every fitness is at the floor or NaN.
TEST(FastPaths, TheFittestAfterASortIsTheOneTheScanFinds) {
  for (const bool belowFloor : {false, true}) {
    const ScopedSeedSchedule schedule(5, Engine::Mt19937);
    CPitfallIndividual::everyBelowFloor = belowFloor;
    CPitfallGenerator generator;
    generator.mutationRate = 0.2;
    generator.Initialize(40, 6);
    int replacements = 0;
    for (int g = 0; g < 200; ++g) {
      const double before = generator.best != nullptr ? generator.best->fitness : -INFINITY;
      generator.NextGeneration();
      CPitfallIndividual* fittest = generator.FindFittest();
      if (generator.bestGeneration != generator.generation) {
        ASSERT_TRUE(fittest == nullptr || !(before < fittest->fitness)) << "generation " << g;
        continue;
      }
      ++replacements;
      ASSERT_NE(fittest, nullptr);
      EXPECT_TRUE(generator.best->IsEqual(fittest)) << "generation " << g;
      EXPECT_EQ(generator.best->fitness, fittest->fitness);
    }
    CPitfallIndividual::everyBelowFloor = false;
    EXPECT_EQ(replacements > 0, !belowFloor);
    EXPECT_EQ(generator.best == nullptr, belowFloor);
  }
}

// The demonstration's fitness on chromosomes of up to 32 genes, the share of set genes on
// longer ones.
template <class TIndividual>
double Score(TIndividual& individual, int context) {
  if (individual.geneCount > 32) {
    int ones = 0;
    for (int j = 0; j < individual.geneCount; ++j) ones += individual.genes[j]->value ? 1 : 0;
    return static_cast<double>(ones) / individual.geneCount;
  }
  demo::CMyIndividual twin;
  twin.AllocateGenes(individual.geneCount);
  for (int j = 0; j < individual.geneCount; ++j) {
    twin.genes[j] = new CBit();
    twin.genes[j]->value = individual.genes[j]->value;
  }
  return twin.Fitness(context);
}

class CScoredIndividual final : public CIndividual<CScoredIndividual, CBit> {
 public:
  double Fitness(int context) override { return Score(*this, context); }
};

// The same with an IsEqual of its own (the same comparison), which keeps the proportional
// operators on IsEqual rather than on packed genes.
class CSelfComparingIndividual final : public CIndividual<CSelfComparingIndividual, CBit> {
 public:
  bool IsEqual(CSelfComparingIndividual* other) override { return CIndividual::IsEqual(other); }
  double Fitness(int context) override { return Score(*this, context); }
};

template <class TIndividual>
std::vector<std::pair<std::vector<bool>, double>> Evolve(int selectionType, int genes,
                                                         int generations) {
  const ScopedSeedSchedule schedule(21, Engine::Mt19937);
  CGeneratorEx<TIndividual> generator;
  generator.selectionType = selectionType;
  generator.mutationRate = 0.05;
  generator.Initialize(300, genes);
  for (int g = 0; g < generations; ++g) generator.NextGeneration();
  std::vector<std::pair<std::vector<bool>, double>> slots;
  for (int i = 0; i < generator.population->count; ++i) {
    const TIndividual& individual = *generator.population->individuals[i];
    std::vector<bool> bits;
    for (int j = 0; j < individual.geneCount; ++j) bits.push_back(individual.genes[j]->value);
    slots.emplace_back(bits, individual.fitness);
  }
  return slots;
}

// Lengths within one word, of exactly one word, just past it, and of several words.
TEST(FastPaths, GroupingByPackedGenesGroupsAsIsEqualDoes) {
  for (const int genes : {14, 64, 65, 130}) {
    for (const int selectionType : {SelectionRouletteWheel, SelectionStochasticRemainder}) {
      EXPECT_EQ(Evolve<CScoredIndividual>(selectionType, genes, 25),
                Evolve<CSelfComparingIndividual>(selectionType, genes, 25))
          << "selection " << selectionType << ", " << genes << " genes";
    }
  }
}

// Records IsEqual and Clone calls by the slot each individual started in.
class CLoggingIndividual final : public CIndividual<CLoggingIndividual, CBit> {
 public:
  static inline std::vector<std::string> calls;
  int slot = -1;

  bool IsEqual(CLoggingIndividual* other) override {
    calls.push_back("E" + std::to_string(slot) + std::to_string(other->slot));
    return CIndividual::IsEqual(other);
  }
  CLoggingIndividual* Clone() override {
    calls.push_back("C" + std::to_string(slot));
    return CIndividual::Clone();
  }
};

// A user's own IsEqual is called exactly as the walk calls it: each representative on every
// later unmarked individual, each group's whole copies cloned before the next group is formed.
TEST(FastPaths, AUsersIsEqualIsCalledAsTheWalkCallsIt) {
  // Slots 0 and 3 are equal, and so are 1, 4 and 5; all fitness 1, so each group earns as many
  // whole copies as it has members, and stochastic remainder draws nothing.
  const std::vector<double> fitness(6, 1.0);
  auto population = testing::MakePopulation<CLoggingIndividual>(fitness);
  for (const auto& [twin, of] : {std::pair{3, 0}, std::pair{4, 1}, std::pair{5, 1}}) {
    for (int j = 0; j < 8; ++j) {
      population->individuals[twin]->genes[j]->value = population->individuals[of]->genes[j]->value;
    }
  }
  for (int i = 0; i < 6; ++i) population->individuals[i]->slot = i;
  CLoggingIndividual::calls.clear();
  const testing::ScriptedDraws draws;
  CGeneratorEx<CLoggingIndividual>::StochasticRemainderSelection(population.get(), 1.0);
  EXPECT_EQ(CLoggingIndividual::calls,
            (std::vector<std::string>{"E01", "E02", "E03", "E04", "E05", "C0", "C0", "E12", "E14",
                                      "E15", "C1", "C1", "C1", "C2"}));
  EXPECT_EQ(draws.Drawn(), 0u);
}

// Gene j is set in the first of three individuals when j is even and in all three when it is
// odd: majority shares of 2/3 and 1, on the stack tally (up to 64 genes) and past it.
TEST(FastPaths, ConvergenceTalliesShortAndLongChromosomes) {
  for (const int n : {1, 14, 64, 65, 200}) {
    testing::Population population;
    population.AllocateIndividuals(3);
    for (int i = 0; i < 3; ++i) {
      auto* individual = new testing::CMyIndividual();
      individual->AllocateGenes(n);
      for (int j = 0; j < n; ++j) {
        individual->genes[j] = new CBit();
        individual->genes[j]->value = j % 2 == 1 || i == 0;
      }
      population.individuals[i] = individual;
    }
    const int evens = (n + 1) / 2;
    EXPECT_NEAR(population.Convergence(), (2.0 / 3.0 * evens + (n - evens)) / n, 1e-12) << n;
  }
}

}  // namespace
}  // namespace allelix
