#include "allelix/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <stdexcept>
#include <vector>

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
      {.flags = StopOnGenerations, .generation = 3000, .expected = StopReason::Generations},
      {.flags = StopOnStagnation, .generation = 170, .bestGeneration = 120, .expected = StopReason::Stagnation},
      {.flags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation, .generation = 3000, .elapsedSeconds = 600, .threshold = 0.0, .expected = StopReason::Convergence},
      {.flags = StopOnMinutes | StopOnGenerations | StopOnStagnation, .generation = 3000, .elapsedSeconds = 600, .threshold = 0.0, .expected = StopReason::Minutes},
      {.flags = StopOnGenerations | StopOnStagnation | 1u | 2u | 64u, .generation = 3000, .expected = StopReason::Generations},
      // clang-format on
  };
  CMyGenerator generator;
  generator.Initialize(40, 14);  // any population: the thresholds are relative to its convergence
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

// The observer sees every state the stop test sees; Run starts from nothing, so on a generator
// that has run before it repeats the run of a new one; and without a population Evolve refuses
// instead of looping.
TEST(RunLoop, ObservesEveryStopTestStartsAfreshAndNeedsAPopulation) {
  ScopedSeedSchedule schedule(8);
  testing::ManualClock clock;
  CMyGenerator reused, fresh;
  std::vector<int> observed;
  reused.stopFlags = fresh.stopFlags = StopOnGenerations;
  reused.maxGenerations = fresh.maxGenerations = 3;
  const auto observe = [&](const CMyGenerator& seen) { observed.push_back(seen.generation); };
  EXPECT_EQ(allelix::Run(reused, observe), StopReason::Generations);
  EXPECT_EQ(observed, (std::vector<int>{0, 1, 2, 3}));
  for (CMyGenerator* generator : {&reused, &fresh}) {
    ScopedSeedSchedule same(30);
    allelix::Run(*generator);
  }
  EXPECT_EQ(testing::GeneratorStateOf(reused), testing::GeneratorStateOf(fresh));

  fresh.ClearAll();  // keeps the counters, so a loop that went on would stop at once
  EXPECT_THROW(Evolve(fresh, observe), std::logic_error);
}

// Counts the mutations of the pairing pass; no selection, so only the pass draws.
class CCountingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  int mutations = 0;

  CCountingGenerator() { selectionType = SelectionNone; }
  void Mutate(CMyIndividual*& individual) override {
    ++mutations;
    CGeneratorEx::Mutate(individual);
  }
};

// Rates outside 0 to 1 act as never or always (the crossover's trial is the mutation's); a
// populationSize changed after Initialize stops the pass at the slot count (zero or negative: no
// pass, yet the generation counts); the generation counter wraps past the largest int. (That
// such settings leave a valid state, the fuzz target checks.)
TEST(BadSettings, DefinedBehaviourOutsideTheRanges) {
  for (const auto& [rate, size] :
       {std::pair{NaN, 0}, {-Inf, INT_MIN}, {0.0, 7}, {1.0, 3}, {1e300, INT_MAX}, {Inf, 6}}) {
    const ScopedSeedSchedule schedule(5);
    CCountingGenerator generator;
    generator.Initialize(6, 5);
    generator.mutationRate = generator.crossoverRate = rate;
    generator.populationSize = size;
    generator.generation = INT_MAX;
    generator.NextGeneration();
    EXPECT_EQ(generator.mutations, rate >= 1.0 ? std::clamp(size, 0, 6) : 0) << rate;
    EXPECT_EQ(generator.generation, INT_MIN);
  }
}

}  // namespace
}  // namespace allelix
