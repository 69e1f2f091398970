#include "allelix/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "invariants.h"
#include "snapshot.h"
#include "support.h"

namespace allelix {
namespace {

using demo::CMyGenerator;
using demo::CMyIndividual;
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The stop test on a generator of the demonstration's limits (5 minutes, 3000 generations, 50
// without a new best); `threshold` is added to the population's convergence.
TEST(StopTest, CriteriaFireAtTheirLimitsInOrderAndOnlyWhenEnabled) {
  constexpr std::uint32_t All =
      StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
  const struct {
    std::uint32_t flags;
    int generation = 0, bestGeneration = 0;
    std::int64_t elapsedSeconds = 0;
    double threshold = 2.0;  // out of reach by default
    StopReason expected;
  } cases[] = {
      // clang-format off
      {.flags = 2u, .generation = 1'000'000, .elapsedSeconds = 1'000'000, .expected = StopReason::None},
      {.flags = StopOnMinutes, .elapsedSeconds = 299, .expected = StopReason::None},
      {.flags = StopOnMinutes, .elapsedSeconds = 300, .expected = StopReason::Minutes},
      {.flags = StopOnConvergence, .threshold = 0.0, .expected = StopReason::Convergence},
      {.flags = StopOnConvergence, .threshold = NaN, .expected = StopReason::None},
      {.flags = StopOnGenerations, .generation = 2999, .expected = StopReason::None},
      {.flags = StopOnGenerations, .generation = 3000, .expected = StopReason::Generations},
      {.flags = StopOnStagnation, .generation = 169, .bestGeneration = 120, .expected = StopReason::None},
      {.flags = StopOnStagnation, .generation = 170, .bestGeneration = 120, .expected = StopReason::Stagnation},
      {.flags = All, .generation = 3000, .elapsedSeconds = 600, .threshold = 0.0, .expected = StopReason::Convergence},
      {.flags = All & ~StopOnConvergence, .generation = 3000, .elapsedSeconds = 600, .expected = StopReason::Minutes},
      {.flags = StopOnGenerations | StopOnStagnation | 1u | 2u | 64u, .generation = 3000, .expected = StopReason::Generations},
      // clang-format on
  };
  ScopedSeedSchedule schedule(21);
  CMyGenerator generator;
  generator.Initialize(40, 14);
  const double convergence = generator.population->Convergence();
  for (const auto& c : cases) {
    generator.stopFlags = c.flags;
    generator.generation = c.generation;
    generator.bestGeneration = c.bestGeneration;
    generator.elapsedSeconds = c.elapsedSeconds;
    generator.convergenceThreshold = convergence + c.threshold;
    EXPECT_EQ(TestStop(generator), c.expected) << c.flags << ", generation " << c.generation;
  }
  // Convergence is not computed when its bit is clear, so no population is needed.
  generator.ClearAll();
  EXPECT_EQ(TestStop(generator), StopReason::Generations);
}

// The observer sees every state the stop test sees; and Run starts from nothing, so on a
// generator that has run before it repeats the run of a new one.
TEST(RunLoop, ObservesBeforeEveryStopTestAndASecondRunIsTheRunOfANewOne) {
  testing::ManualClock clock;
  CMyGenerator reused;
  reused.stopFlags = StopOnGenerations;
  reused.maxGenerations = 3;
  std::vector<int> observed;
  {
    ScopedSeedSchedule schedule(8);
    const auto observe = [&](const CMyGenerator& seen) { observed.push_back(seen.generation); };
    EXPECT_EQ(allelix::Run(reused, observe), StopReason::Generations);
  }
  EXPECT_EQ(observed, (std::vector<int>{0, 1, 2, 3}));
  CMyGenerator fresh;
  fresh.stopFlags = StopOnGenerations;
  fresh.maxGenerations = 3;
  for (CMyGenerator* generator : {&reused, &fresh}) {
    ScopedSeedSchedule schedule(30);
    allelix::Run(*generator);
  }
  EXPECT_EQ(testing::GeneratorStateOf(reused), testing::GeneratorStateOf(fresh));
}

// Without a population no generation changes anything, so Evolve refuses instead of looping.
TEST(RunLoop, EvolvingWithoutAPopulationThrows) {
  for (const bool initialize : {false, true}) {
    ScopedSeedSchedule schedule(8);
    CMyGenerator generator;
    if (initialize) generator.Initialize(20, 14);
    int observed = 0;
    const auto observe = [&](const CMyGenerator&) {
      if (++observed > 100) throw std::runtime_error("still evolving");  // the loop would not end
      if (observed == 2) generator.ClearAll();
    };
    EXPECT_THROW(Evolve(generator, observe), std::logic_error);
  }
}

// Counts the mutations and crossovers of the pairing pass; no selection, so only the pass draws.
class CCountingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  int mutations = 0;
  int crossovers = 0;

  CCountingGenerator() { selectionType = SelectionNone; }
  void Mutate(CMyIndividual*& individual) override {
    ++mutations;
    CGeneratorEx::Mutate(individual);
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    ++crossovers;
    CGeneratorEx::Crossover(first, second);
  }
};

// Rates outside 0 to 1 act as never or always; a populationSize changed after Initialize stops
// the pass at the slot count (zero or negative: no pass, yet the generation counts); the
// generation counter wraps past the largest int. Each leaves a valid state.
TEST(BadSettings, DefinedBehaviourAndAValidStateOutsideTheRanges) {
  for (const double rate : {NaN, -Inf, 0.0, 1.0, 1e300, Inf}) {
    const ScopedSeedSchedule schedule(5);
    CCountingGenerator generator;
    generator.Initialize(10, 6);
    generator.mutationRate = generator.crossoverRate = rate;
    generator.NextGeneration();
    EXPECT_EQ(generator.mutations, rate >= 1.0 ? 10 : 0) << rate;
    EXPECT_EQ(generator.crossovers > 0, rate >= 1.0) << rate;
    EXPECT_EQ(testing::BrokenInvariant(generator, 10, 6), "") << rate;
  }
  for (const int size :
       {7, std::numeric_limits<int>::max(), 3, 0, std::numeric_limits<int>::min()}) {
    const ScopedSeedSchedule schedule(3);
    CCountingGenerator generator;
    generator.Initialize(6, 5);
    generator.mutationRate = 1.0;
    generator.populationSize = size;
    generator.generation = std::numeric_limits<int>::max();
    generator.best->fitness = -Inf;  // the generation's fittest, if any, replaces it
    generator.NextGeneration();
    EXPECT_EQ(generator.mutations, std::clamp(size, 0, 6)) << size;
    EXPECT_EQ(generator.generation, std::numeric_limits<int>::min());
    if (size <= 0) generator.bestGeneration = generator.generation;  // no fittest without a pass
    EXPECT_EQ(testing::BrokenInvariant(generator, 6, 5), "") << size;
  }
}

}  // namespace
}  // namespace allelix
