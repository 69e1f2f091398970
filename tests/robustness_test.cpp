// The generator outside its documented ranges: defined behaviour, and a valid state kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
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
  const std::vector<Case> cases = {{nan, false}, {-inf, false}, {0.0, false},
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

// Larger than the population: the draws of the population's own size. Smaller: the pass visits
// only the first slots; zero or negative: none, yet the generation counts.
TEST(BadSettings, PopulationSizeChangedAfterInitializeStopsAtTheSlotCount) {
  std::size_t ownDraws = 0;
  for (const int size :
       {6, 7, std::numeric_limits<int>::max(), 3, 0, -1, std::numeric_limits<int>::min()}) {
    const ScopedSeedSchedule schedule(3);
    CCountingGenerator generator;
    generator.Initialize(6, 5);
    generator.mutationRate = 1.0;
    generator.populationSize = size;
    const CountedDraws counted;
    generator.NextGeneration();
    if (size == 6) ownDraws = counted.Drawn();
    if (size >= 6) {
      EXPECT_EQ(counted.Drawn(), ownDraws) << size;
    }
    EXPECT_EQ(generator.mutations, std::clamp(size, 0, 6)) << size;
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

}  // namespace
}  // namespace allelix
