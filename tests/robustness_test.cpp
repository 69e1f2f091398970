// The generator outside its documented ranges: defined behaviour, and a valid state kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "allelix/generator.h"
#include "invariants.h"
#include "support.h"

namespace allelix {
namespace {

using testing::BrokenInvariant;
using testing::CMyIndividual;
using testing::CountedDraws;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Counts the hooks the pairing pass calls; no selection, so only the pass draws.
class CCountingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  int mutations = 0;
  int crossovers = 0;

  CCountingGenerator() { selectionType = 0; }
  void Mutate(CMyIndividual*& individual) override {
    ++mutations;
    CGeneratorEx::Mutate(individual);
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    ++crossovers;
    CGeneratorEx::Crossover(first, second);
  }
};

TEST(BadSettings, RatesOutsideZeroToOneActAsNeverOrAlways) {
  struct Case {
    double rate;
    bool always;
  };
  const std::vector<Case> cases = {{nan, false}, {-inf, false}, {-1.0, false}, {0.0, false},
                                   {1.0, true},  {1e300, true}, {inf, true}};
  for (const Case& c : cases) {
    const ScopedSeedSchedule schedule(5);
    CCountingGenerator generator;
    generator.Initialize(10, 6);
    generator.mutationRate = c.rate;
    generator.crossoverRate = c.rate;
    generator.NextGeneration();
    EXPECT_EQ(generator.mutations, c.always ? 10 : 0) << c.rate;
    EXPECT_EQ(generator.crossovers > 0, c.always) << c.rate;
    EXPECT_EQ(BrokenInvariant(generator, 10, 6), "") << c.rate;
  }
}

TEST(BadSettings, PopulationSizeChangedAfterInitializeStopsAtTheSlotCount) {
  // Larger than the population: the same draws and results as the population's own size.
  std::vector<std::size_t> draws;
  std::vector<std::vector<std::uint32_t>> chromosomes;
  for (const int size : {6, 7, 1000, std::numeric_limits<int>::max()}) {
    const ScopedSeedSchedule schedule(3);
    CCountingGenerator generator;
    generator.Initialize(6, 5);
    generator.mutationRate = 0.5;
    generator.populationSize = size;
    const CountedDraws counted;
    generator.NextGeneration();
    EXPECT_EQ(BrokenInvariant(generator, 6, 5), "") << size;
    draws.push_back(counted.Drawn());
    chromosomes.emplace_back();
    for (int i = 0; i < 6; ++i) {
      chromosomes.back().push_back(demo::DecodeBits(*generator.population->individuals[i]));
    }
  }
  EXPECT_EQ(draws, std::vector<std::size_t>(4, draws[0]));
  EXPECT_EQ(chromosomes, std::vector<std::vector<std::uint32_t>>(4, chromosomes[0]));

  // Smaller: the pass visits only the first slots; zero or negative: none, yet it counts.
  for (const int size : {3, 0, -1, std::numeric_limits<int>::min()}) {
    const ScopedSeedSchedule schedule(3);
    CCountingGenerator generator;
    generator.Initialize(6, 5);
    generator.mutationRate = 1.0;
    generator.populationSize = size;
    generator.NextGeneration();
    EXPECT_EQ(generator.mutations, size > 0 ? size : 0) << size;
    EXPECT_EQ(generator.generation, 1);
    EXPECT_EQ(BrokenInvariant(generator, 6, 5), "") << size;
  }
}

TEST(BadSettings, WithoutAPopulationNothingRunsAndNothingIsDrawn) {
  CCountingGenerator generator;
  const CountedDraws counted;
  generator.NextGeneration();
  EXPECT_EQ(generator.FindFittest(), nullptr);
  EXPECT_EQ(counted.Drawn(), 0u);
  generator.Initialize(4, 3);
  generator.ClearAll();
  const std::size_t afterInitialize = counted.Drawn();
  generator.NextGeneration();
  EXPECT_EQ(generator.FindFittest(), nullptr);
  EXPECT_EQ(counted.Drawn(), afterInitialize);
  EXPECT_EQ(generator.generation, 0);
}

TEST(BadSettings, GenerationWrapsPastTheLargestInt) {
  const ScopedSeedSchedule schedule(2);
  CCountingGenerator generator;
  generator.Initialize(4, 3);
  generator.generation = std::numeric_limits<int>::max();
  generator.best->fitness = -inf;  // the generation's fittest replaces it
  generator.NextGeneration();
  EXPECT_EQ(generator.generation, std::numeric_limits<int>::min());
  EXPECT_EQ(generator.bestGeneration, std::numeric_limits<int>::min());
}

// Scores like the demonstration's individual, but throws while the budget says so.
int fitnessCallsLeft = -1;  // negative: never throw
class CFragile final : public CIndividual<CFragile, CBit> {
 public:
  double Fitness(int) const override {
    if (fitnessCallsLeft == 0) throw std::runtime_error("fitness failed");
    if (fitnessCallsLeft > 0) --fitnessCallsLeft;
    return geneCount > 0 && genes[0]->value ? 1.0 : 0.5;
  }
};

TEST(BadSettings, AFailedInitializeLeavesTheGeneratorAsItWas) {
  const ScopedSeedSchedule schedule(9);
  CGeneratorEx<CFragile> generator;
  generator.Initialize(5, 4);
  const auto* population = generator.population;
  const auto* best = generator.best;
  fitnessCallsLeft = 7;
  EXPECT_THROW(generator.Initialize(9, 2), std::runtime_error);
  fitnessCallsLeft = -1;
  EXPECT_EQ(generator.population, population);
  EXPECT_EQ(generator.best, best);
  EXPECT_EQ(generator.populationSize, 5);
  EXPECT_EQ(BrokenInvariant(generator, 5, 4), "");
}

}  // namespace
}  // namespace allelix
