#include "allelix/run.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "snapshot.h"
#include "support.h"

namespace allelix {
namespace {

using demo::CMyGenerator;
using demo::CMyIndividual;

// A generator that has run: its population exists, so every criterion can be evaluated.
class StopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScopedSeedSchedule schedule(21);
    generator.Initialize(40, 14);
    generator.convergenceThreshold = 2.0;  // out of reach unless a test lowers it
  }
  CMyGenerator generator;
};

TEST_F(StopTest, DefaultFlagsNeverStop) {
  CGeneratorEx<CMyIndividual> plain;
  plain.generation = 1'000'000;
  plain.elapsedSeconds = 1'000'000;
  EXPECT_EQ(TestStop(plain), StopReason::None);
}

TEST_F(StopTest, MinutesAreWholeMinutesOfElapsedSeconds) {
  generator.elapsedSeconds = 299;
  EXPECT_EQ(TestStop(generator), StopReason::None);
  generator.elapsedSeconds = 300;
  EXPECT_EQ(TestStop(generator), StopReason::Minutes);
}

TEST_F(StopTest, ConvergenceStopsAtTheThresholdAndNeverOnNaN) {
  generator.convergenceThreshold = generator.population->Convergence();
  EXPECT_EQ(TestStop(generator), StopReason::Convergence);
  generator.convergenceThreshold = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(TestStop(generator), StopReason::None);
}

TEST_F(StopTest, StagnationCountsGenerationsSinceTheLastNewBest) {
  generator.bestGeneration = 120;
  generator.generation = 169;
  EXPECT_EQ(TestStop(generator), StopReason::None);
  generator.generation = 170;
  EXPECT_EQ(TestStop(generator), StopReason::Stagnation);
}

TEST_F(StopTest, CriteriaAreTestedInOrderAndOnlyWhenEnabled) {
  generator.generation = 3000;
  generator.elapsedSeconds = 600;
  generator.convergenceThreshold = 0.0;
  EXPECT_EQ(TestStop(generator), StopReason::Convergence);
  generator.stopFlags = StopOnMinutes | StopOnGenerations | StopOnStagnation;
  EXPECT_EQ(TestStop(generator), StopReason::Minutes);
  generator.stopFlags = StopOnGenerations | StopOnStagnation | 1u | 2u | 64u;
  EXPECT_EQ(TestStop(generator), StopReason::Generations);
  generator.stopFlags = StopOnStagnation;
  EXPECT_EQ(TestStop(generator), StopReason::Stagnation);
  // Convergence is not computed when its bit is clear, so no population is needed.
  generator.ClearAll();
  EXPECT_EQ(TestStop(generator), StopReason::Stagnation);
}

TEST(RunLoop, ObservesBeforeEveryStopTestAndEndsOnTheFiringCriterion) {
  ScopedSeedSchedule schedule(8);
  CMyGenerator generator;
  generator.stopFlags = StopOnGenerations;
  generator.maxGenerations = 3;
  std::vector<int> observed;
  const StopReason reason = allelix::Run(
      generator, [&](const CMyGenerator& seen) { observed.push_back(seen.generation); });
  EXPECT_EQ(reason, StopReason::Generations);
  EXPECT_EQ(observed, (std::vector<int>{0, 1, 2, 3}));
}

TEST(RunLoop, CanEndBeforeTheFirstGeneration) {
  ScopedSeedSchedule schedule(8);
  CMyGenerator generator;
  generator.convergenceThreshold = 0.5;  // any population of 14-bit individuals meets it
  EXPECT_EQ(allelix::Run(generator), StopReason::Convergence);
  EXPECT_EQ(generator.generation, 0);
  EXPECT_NE(generator.best, nullptr);
}

// Run starts from nothing: on a generator that has run before it repeats exactly the run a new
// generator makes from the same seed.
TEST(RunLoop, ASecondRunOnOneGeneratorIsTheRunOfANewOne) {
  testing::ManualClock clock;
  CMyGenerator reused;
  {
    ScopedSeedSchedule schedule(8);
    allelix::Run(reused);
  }
  ASSERT_GT(reused.generation, 0);
  CMyGenerator fresh;
  for (CMyGenerator* generator : {&reused, &fresh}) {
    ScopedSeedSchedule schedule(30);
    allelix::Run(*generator);
  }
  EXPECT_EQ(testing::GeneratorStateOf(reused), testing::GeneratorStateOf(fresh));
}

// Without a population no generation changes anything, so Evolve refuses instead of looping.
TEST(RunLoop, EvolvingWithoutAPopulationThrows) {
  const struct {
    const char* when;
    bool initialize, releaseInObserver;
  } cases[] = {
      {.when = "never initialized", .initialize = false, .releaseInObserver = false},
      {.when = "released by the observer", .initialize = true, .releaseInObserver = true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    ScopedSeedSchedule schedule(8);
    CMyGenerator generator;
    if (c.initialize) generator.Initialize(20, 14);
    int observed = 0;
    const auto observe = [&](const CMyGenerator&) {
      if (++observed > 100) throw std::runtime_error("still evolving");  // the loop would not end
      if (c.releaseInObserver && observed == 2) generator.ClearAll();
    };
    try {
      Evolve(generator, observe);
      ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_NE(std::string(error.what()).find("Initialize"), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace allelix
