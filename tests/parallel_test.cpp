// Parallel fitness evaluation: the same runs whatever evaluationThreads says, for a pure Fitness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "snapshot.h"
#include "square_root.h"
#include "support.h"

namespace allelix::testing {
namespace {

// What the observer sees before each stop test.
struct Step {
  int generation;
  double bestFitness;
  std::vector<double> fitness;
  bool operator==(const Step&) const = default;
};

template <class TGenerator>
Step Observe(const TGenerator& generator) {
  Step step{generator.generation, generator.best->fitness, {}};
  for (int i = 0; i < generator.populationSize; ++i) {
    step.fitness.push_back(generator.population->individuals[i]->fitness);
  }
  return step;
}

// The trace of a seeded run and the state it ends in.
struct Outcome {
  std::vector<Step> trace;
  GeneratorState state;
};

// Runs `generator` from Initialize(size, genes), or from Initialize() when size is 0.
template <class TGenerator>
Outcome Traced(TGenerator& generator, std::uint32_t seed, int size = 0, int genes = 0) {
  ScopedSeedSchedule schedule(seed);
  ManualClock clock;
  Outcome outcome;
  const auto record = [&](const TGenerator& g) { outcome.trace.push_back(Observe(g)); };
  if (size == 0) {
    Run(generator, record);
  } else {
    generator.Initialize(size, genes);
    Evolve(generator, record);
  }
  outcome.state = GeneratorStateOf(generator);
  return outcome;
}

class CDemoRun : public CGeneratorEx<demo::CMyIndividual> {
 public:
  explicit CDemoRun(int threads) {
    evaluationThreads = threads;
    stopFlags = StopOnGenerations;
    maxGenerations = 25;
  }
};

TEST(ParallelEvaluation, TheDemonstrationRunIsIdenticalOnOneTwoAndFourThreads) {
  CDemoRun sequential(1);
  const Outcome expected = Traced(sequential, 77);
  ASSERT_EQ(expected.trace.size(), 26u);
  for (const int threads : {2, 4}) {
    CDemoRun parallel(threads);
    const Outcome outcome = Traced(parallel, 77);
    EXPECT_EQ(outcome.trace, expected.trace) << threads << " threads";
    EXPECT_EQ(outcome.state, expected.state) << threads << " threads";
  }
}

// One point per set bit: many ties, so any change of order shows in the sort and the selection.
class COnes final : public CIndividual<COnes, CBit> {
 public:
  double Fitness(int /*context*/) const override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

class COnesRun : public CGeneratorEx<COnes> {
 public:
  COnesRun(int threads, int crossover, int selection) {
    evaluationThreads = threads;
    crossoverType = crossover;
    selectionType = selection;
    mutationRate = 0.3;
    eliteCount = 6;
    stopFlags = StopOnGenerations;
    maxGenerations = 15;
  }
};

class ParallelOperators : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(ParallelOperators, EveryOperatorGivesTheSameRunOnOneAndFourThreads) {
  const auto [crossover, selection] = GetParam();
  COnesRun sequential(1, crossover, selection);
  COnesRun parallel(4, crossover, selection);
  const Outcome expected = Traced(sequential, 5, 120, 24);
  const Outcome outcome = Traced(parallel, 5, 120, 24);
  EXPECT_EQ(outcome.trace, expected.trace);
  EXPECT_EQ(outcome.state, expected.state);
}

INSTANTIATE_TEST_SUITE_P(CrossoverBySelection, ParallelOperators,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(0, 1, 2, 3, 4)));

// A crossover that flips a gene of its first individual and then swaps the working variables,
// so the pass scores the partner at index i and leaves the individual of slot i stale.
class CReseating : public COnesRun {
 public:
  explicit CReseating(int threads) : COnesRun(threads, 2, 0) { mutationRate = 0.5; }
  void Crossover(COnes*& first, COnes*& second) override {
    COnesRun::Crossover(first, second);
    first->genes[0]->value = !first->genes[0]->value;
    std::swap(first, second);
  }
};

TEST(ParallelEvaluation, ReseatedWorkingVariablesAreScoredAsInTheSequentialPass) {
  CReseating sequential(1);
  CReseating parallel(4);
  const Outcome expected = Traced(sequential, 9, 60, 16);
  const Outcome outcome = Traced(parallel, 9, 60, 16);
  EXPECT_EQ(outcome.trace, expected.trace);
  EXPECT_EQ(outcome.state, expected.state);
  // The case is only meaningful if some individual kept a fitness from before its change.
  int stale = 0;
  for (int i = 0; i < parallel.populationSize; ++i) {
    const COnes* individual = parallel.population->individuals[i];
    stale += individual->fitness != individual->Fitness(0) ? 1 : 0;
  }
  EXPECT_GT(stale, 0);
}

// Records, for every Fitness call, how many draws the generator had made by then.
const CountedDraws* drawsSoFar = nullptr;
std::mutex seenMutex;
std::vector<std::size_t> drawsSeen;
std::set<std::thread::id> threadsSeen;

class CWatched final : public CIndividual<CWatched, CBit> {
 public:
  double Fitness(int /*context*/) const override {
    const std::lock_guard lock(seenMutex);
    drawsSeen.push_back(drawsSoFar->Drawn());
    threadsSeen.insert(std::this_thread::get_id());
    return genes[0]->value ? 1.0 : 0.0;
  }
};

// The fewest draws any Fitness call saw during `step`, and the draws `step` made in all.
template <class Step>
std::pair<std::size_t, std::size_t> DrawsAtFitness(Step&& step) {
  CountedDraws draws;
  drawsSoFar = &draws;
  drawsSeen.clear();
  threadsSeen.clear();
  step();
  drawsSoFar = nullptr;
  return {*std::min_element(drawsSeen.begin(), drawsSeen.end()), draws.Drawn()};
}

TEST(ParallelEvaluation, OnlyMoreThanOneThreadDefersTheFitnessCallsToTheEndOfThePass) {
  for (const int threads : {3, 1, 0, -3}) {
    SCOPED_TRACE(threads);
    ScopedSeedSchedule schedule(4);
    CGeneratorEx<CWatched> generator;
    generator.mutationRate = 0.5;
    generator.evaluationThreads = threads;
    const bool deferred = threads > 1;
    // Initialize: all 200 draws before the first Fitness call, or 5 (one individual's genes).
    EXPECT_EQ(DrawsAtFitness([&] { generator.Initialize(40, 5); }).first, deferred ? 200u : 5u);
    EXPECT_EQ(drawsSeen.size(), 40u);
    const auto [first, all] = DrawsAtFitness([&] { generator.NextGeneration(); });
    EXPECT_EQ(first == all, deferred);
    if (!deferred) {
      EXPECT_TRUE(std::is_sorted(drawsSeen.begin(), drawsSeen.end()));
      EXPECT_EQ(threadsSeen, std::set{std::this_thread::get_id()});
    }
  }
}

TEST(ParallelEvaluation, SeveralThreadsScoreWhenBuiltWithOpenMP) {
#if !defined(_OPENMP)
  GTEST_SKIP() << "built without OpenMP: evaluation stays on the calling thread";
#endif
  ScopedSeedSchedule schedule(4);
  CGeneratorEx<CWatched> generator;
  generator.evaluationThreads = 4;
  DrawsAtFitness([&] { generator.Initialize(400, 2); });
  EXPECT_GT(threadsSeen.size(), 1u);
}

// Scores the chromosome as its number plus the context, and throws for the numbers in `poison`.
std::set<std::uint32_t> poison;

class CPoisoned final : public CIndividual<CPoisoned, CBit> {
 public:
  double Fitness(int context) const override {
    const std::uint32_t value = demo::DecodeBits(*this);
    if (poison.count(value) != 0) throw std::runtime_error(std::to_string(value));
    return value + context;
  }
};

// A generator whose pass changes no gene, and whose Mutate throws on its `failAt`-th call.
class CFailing : public CGeneratorEx<CPoisoned> {
 public:
  CFailing(int threads, int failAt) : failAt_(failAt) {
    evaluationThreads = threads;
    crossoverRate = 0.0;
    selectionType = 0;
    mutationRate = failAt > 0 ? 1.0 : 0.0;
  }
  void Mutate(CPoisoned*& /*individual*/) override {
    if (++calls_ == failAt_) throw std::logic_error("mutation failed");
  }

 private:
  int failAt_;
  int calls_ = 0;
};

// Runs one generation that throws; returns the message and the state it leaves.
std::pair<std::string, GeneratorState> FailedGeneration(int threads, int failAt,
                                                        std::set<std::uint32_t> poisoned) {
  ScopedSeedSchedule schedule(12);
  ManualClock clock;
  CFailing generator(threads, failAt);
  poison.clear();
  generator.Initialize(60, 10);
  generator.fitnessContext = 1000;  // a re-scored individual shows it
  poison = std::move(poisoned);
  std::string message;
  try {
    generator.NextGeneration();
  } catch (const std::exception& error) {
    message = error.what();
  }
  poison.clear();
  return {message, GeneratorStateOf(generator)};
}

// The individuals re-scored by the failed generation: a prefix of the slots, and no marks left.
int RescoredPrefix(const GeneratorState& state) {
  int prefix = 0;
  while (prefix < static_cast<int>(state.population.size()) &&
         state.population[prefix].fitness >= 1000) {
    ++prefix;
  }
  for (std::size_t i = 0; i < state.population.size(); ++i) {
    EXPECT_FALSE(state.population[i].marked);
    if (static_cast<int>(i) >= prefix) {
      EXPECT_LT(state.population[i].fitness, 1000);
    }
  }
  return prefix;
}

TEST(ParallelFailure, AThrowingFitnessStopsWhereTheSequentialPassStops) {
  // Poison the numbers of slots 10 and 30 of the population Initialize builds.
  ScopedSeedSchedule schedule(12);
  CFailing probe(1, 0);
  probe.Initialize(60, 10);
  const std::uint32_t first = demo::DecodeBits(*probe.population->individuals[10]);
  const std::uint32_t second = demo::DecodeBits(*probe.population->individuals[30]);

  const auto [sequentialMessage, sequential] = FailedGeneration(1, 0, {first, second});
  const auto [parallelMessage, parallel] = FailedGeneration(4, 0, {first, second});
  EXPECT_EQ(sequentialMessage, std::to_string(first));
  EXPECT_EQ(parallelMessage, sequentialMessage);
  EXPECT_EQ(parallel, sequential);
  EXPECT_LE(RescoredPrefix(parallel), 10);
  EXPECT_GT(RescoredPrefix(parallel), 0);
}

TEST(ParallelFailure, AThrowingHookStillLeavesTheVisitedIndividualsScored) {
  const auto [sequentialMessage, sequential] = FailedGeneration(1, 25, {});
  const auto [parallelMessage, parallel] = FailedGeneration(4, 25, {});
  EXPECT_EQ(sequentialMessage, "mutation failed");
  EXPECT_EQ(parallelMessage, sequentialMessage);
  EXPECT_EQ(parallel, sequential);
  EXPECT_EQ(RescoredPrefix(parallel), 24);
}

}  // namespace
}  // namespace allelix::testing
