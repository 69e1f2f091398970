// The shortcuts a generation takes for speed give what the plain procedures give.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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

  double Fitness(int /*context*/) const override {
    if (genes[0]->value) return std::numeric_limits<double>::quiet_NaN();
    if (genes[1]->value || everyBelowFloor) return -1e13;
    return static_cast<double>(demo::DecodeBits(*this) % 7);
  }
};

class CPitfallGenerator final : public CGeneratorEx<CPitfallIndividual> {};

TEST(FastPaths, TheFittestAfterASortIsTheOneTheScanFinds) {
  const ScopedSeedSchedule schedule(5, Engine::Mt19937);
  CPitfallGenerator generator;  // elitism: every generation sorts
  generator.mutationRate = 0.2;
  generator.Initialize(40, 6);
  int replacements = 0;
  for (int g = 0; g < 200; ++g) {
    const double before = generator.best != nullptr ? generator.best->fitness : -INFINITY;
    generator.NextGeneration();
    const CPitfallIndividual* fittest = generator.FindFittest();
    if (generator.bestGeneration != generator.generation) {
      ASSERT_TRUE(fittest == nullptr || !(before < fittest->fitness)) << "generation " << g;
      continue;
    }
    ++replacements;
    ASSERT_NE(fittest, nullptr);
    EXPECT_TRUE(generator.best->IsEqual(fittest)) << "generation " << g;
    EXPECT_EQ(generator.best->fitness, fittest->fitness);
  }
  EXPECT_GT(replacements, 0);
}

TEST(FastPaths, NoFittestAfterASortWhenEveryFitnessIsAtTheFloorOrNaN) {
  const ScopedSeedSchedule schedule(6, Engine::Mt19937);
  CPitfallIndividual::everyBelowFloor = true;
  CPitfallGenerator generator;
  generator.Initialize(30, 4);
  for (int g = 0; g < 20; ++g) generator.NextGeneration();
  CPitfallIndividual::everyBelowFloor = false;
  EXPECT_EQ(generator.best, nullptr);
  EXPECT_EQ(generator.bestGeneration, 0);
}

// The demonstration's individual with an IsEqual of its own (the same comparison), which
// keeps the proportional operators on IsEqual rather than on packed genes.
class CSelfComparingIndividual final : public CIndividual<CSelfComparingIndividual, CBit> {
 public:
  bool IsEqual(const CSelfComparingIndividual* other) const override {
    return CIndividual::IsEqual(other);
  }
  double Fitness(int context) const override {
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

// Convergence kept in doubles, as the tally was first written.
double ReferenceConvergence(const testing::Population& population) {
  const int n = population.individuals[0]->geneCount;
  std::vector<double> tally(static_cast<std::size_t>(n), 0.0);
  for (int i = 0; i < population.count; ++i) {
    for (int j = 0; j < n; ++j) {
      if (population.individuals[i]->genes[j]->value) tally[static_cast<std::size_t>(j)] += 1.0;
    }
  }
  double mean = 0.0;
  for (int j = 0; j < n; ++j) {
    double share = tally[static_cast<std::size_t>(j)] / population.count;
    if (share < 0.5) share = 1.0 - share;
    mean = (mean * j + share) / (j + 1);
  }
  return mean;
}

TEST(FastPaths, ConvergenceMatchesADoubleTallyOnShortAndLongChromosomes) {
  std::mt19937 engine(3u);
  for (const int geneCount : {1, 14, 64, 65, 200}) {
    for (const int count : {1, 3, 1000}) {
      testing::Population population;
      population.AllocateIndividuals(count);
      std::bernoulli_distribution bit(geneCount % 2 == 0 ? 0.3 : 0.8);
      for (int i = 0; i < count; ++i) {
        auto* individual = new testing::CMyIndividual();
        individual->AllocateGenes(geneCount);
        for (int j = 0; j < geneCount; ++j) {
          individual->genes[j] = new CBit();
          individual->genes[j]->value = bit(engine);
        }
        population.individuals[i] = individual;
      }
      EXPECT_EQ(population.Convergence(), ReferenceConvergence(population))
          << geneCount << " genes, " << count << " individuals";
    }
  }
}

}  // namespace
}  // namespace allelix
