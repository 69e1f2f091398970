// The shortcuts a generation takes for speed give what the plain procedures give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

// The demonstration's individual with an IsEqual of its own (the same comparison), which
// keeps the proportional operators on IsEqual rather than on packed genes.
class CSelfComparingIndividual final : public CIndividual<CSelfComparingIndividual, CBit> {
 public:
  bool IsEqual(CSelfComparingIndividual* other) override {
    return CIndividual::IsEqual(other);
  }
  double Fitness(int context) override {
    demo::CMyIndividual twin;
    twin.AllocateGenes(geneCount);
    for (int i = 0; i < geneCount; ++i) {
      twin.genes[i] = new CBit();
      twin.genes[i]->value = genes[i]->value;
    }
    return twin.Fitness(context);
  }
};

template <class TIndividual>
std::vector<std::pair<std::uint32_t, double>> Evolve(int selectionType, int generations) {
  const ScopedSeedSchedule schedule(21, Engine::Mt19937);
  CGeneratorEx<TIndividual> generator;
  generator.selectionType = selectionType;
  generator.mutationRate = 0.05;
  generator.Initialize(300, 14);
  for (int g = 0; g < generations; ++g) generator.NextGeneration();
  std::vector<std::pair<std::uint32_t, double>> slots;
  for (int i = 0; i < generator.population->count; ++i) {
    const TIndividual& individual = *generator.population->individuals[i];
    slots.emplace_back(demo::DecodeBits(individual), individual.fitness);
  }
  return slots;
}

TEST(FastPaths, GroupingByPackedGenesGroupsAsIsEqualDoes) {
  for (const int selectionType : {1, 2}) {
    EXPECT_EQ(Evolve<testing::CMyIndividual>(selectionType, 25),
              Evolve<CSelfComparingIndividual>(selectionType, 25))
        << "selection " << selectionType;
  }
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
