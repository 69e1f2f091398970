// Parallel fitness evaluation: the same runs whatever evaluationThreads says, for a pure Fitness.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
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

// The state the observer sees before each stop test, then the state the run ends in.
template <class TGenerator>
std::vector<GeneratorState> Traced(TGenerator& generator, std::uint32_t seed, int size, int genes) {
  ScopedSeedSchedule schedule(seed);
  ManualClock clock;
  std::vector<GeneratorState> trace;
  generator.Initialize(size, genes);
  Evolve(generator, [&](const TGenerator& g) { trace.push_back(GeneratorStateOf(g)); });
  trace.push_back(GeneratorStateOf(generator));
  return trace;
}

// One point per set bit: many ties, so any change of order shows in the sort and the selection.
class COnes final : public CIndividual<COnes, CBit> {
 public:
  double Fitness(int /*context*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

// With `reseat`, the crossover flips a gene of its first individual and swaps the working
// variables, so the pass scores the partner at slot i and leaves the individual there stale.
class COnesRun : public CGeneratorEx<COnes> {
 public:
  COnesRun(int threads, int crossover, int selection, bool reseat) : reseat_(reseat) {
    evaluationThreads = threads;
    crossoverType = crossover;
    selectionType = selection;
    mutationRate = reseat ? 0.5 : 0.3;
    eliteCount = 6;
    stopFlags = StopOnGenerations;
    maxGenerations = 15;
  }
  void Crossover(COnes*& first, COnes*& second) override {
    CGeneratorEx<COnes>::Crossover(first, second);
    if (!reseat_) return;
    first->genes[0]->value = !first->genes[0]->value;
    std::swap(first, second);
  }

 private:
  bool reseat_;
};

class ParallelRun : public ::testing::TestWithParam<std::tuple<int, int, bool>> {};

TEST_P(ParallelRun, IsTheSameOnOneAndFourThreads) {
  const auto [crossover, selection, reseat] = GetParam();
  COnesRun sequential(1, crossover, selection, reseat);
  COnesRun parallel(4, crossover, selection, reseat);
  COnesRun deferred(4, crossover, selection, reseat);  // its evaluator takes precedence
  SequentialEvaluator<COnes> evaluator;
  deferred.evaluator = &evaluator;
  const std::vector<GeneratorState> expected = Traced(sequential, 5, 120, 24);
  EXPECT_EQ(Traced(parallel, 5, 120, 24), expected);
  EXPECT_EQ(Traced(deferred, 5, 120, 24), expected);
  if (!reseat) return;
  // The reseating case is only meaningful if some individual kept a fitness from before its change.
  int stale = 0;
  for (int i = 0; i < parallel.populationSize; ++i) {
    COnes* individual = parallel.population->individuals[i];
    stale += individual->fitness != individual->Fitness(0) ? 1 : 0;
  }
  EXPECT_GT(stale, 0);
}

// Every crossover and every selection at least once, and the reseating hook.
INSTANTIATE_TEST_SUITE_P(Operators, ParallelRun,
                         ::testing::Values(std::tuple{0, 0, false}, std::tuple{1, 1, false},
                                           std::tuple{2, 2, false}, std::tuple{3, 3, false},
                                           std::tuple{1, 4, false}, std::tuple{2, 0, true}));

// Scores the chromosome as its number plus the context, and throws for the numbers in `poison`.
std::set<std::uint32_t> poison;

class CPoisoned final : public CIndividual<CPoisoned, CBit> {
 public:
  double Fitness(int context) override {
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

// The individuals re-scored before the failure: a prefix of the slots, with no marks left.
int RescoredPrefix(const GeneratorState& state) {
  std::size_t prefix = 0;
  while (prefix < state.population.size() && state.population[prefix].fitness >= 1000) ++prefix;
  for (std::size_t i = 0; i < state.population.size(); ++i) {
    EXPECT_FALSE(state.population[i].marked);
    EXPECT_EQ(state.population[i].fitness >= 1000, i < prefix) << "slot " << i;
  }
  return static_cast<int>(prefix);
}

TEST(ParallelFailure, AThrowingFitnessOrHookLeavesTheSameStateOnOneAndFourThreads) {
  // Poison the numbers of slots 10 and 30 of the population Initialize builds.
  ScopedSeedSchedule schedule(12);
  CFailing probe(1, 0);
  probe.Initialize(60, 10);
  const std::uint32_t first = demo::DecodeBits(*probe.population->individuals[10]);
  const std::uint32_t second = demo::DecodeBits(*probe.population->individuals[30]);

  const struct {
    int failAt;
    std::set<std::uint32_t> poisoned;
    std::string message;
    int minPrefix, maxPrefix;
  } cases[] = {{0, {first, second}, std::to_string(first), 1, 10},
               {25, {}, "mutation failed", 24, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const auto [sequentialMessage, sequential] = FailedGeneration(1, c.failAt, c.poisoned);
    const auto [parallelMessage, parallel] = FailedGeneration(4, c.failAt, c.poisoned);
    EXPECT_EQ(sequentialMessage, c.message);
    EXPECT_EQ(parallelMessage, sequentialMessage);
    EXPECT_EQ(parallel, sequential);
    EXPECT_GE(RescoredPrefix(parallel), c.minPrefix);
    EXPECT_LE(RescoredPrefix(parallel), c.maxPrefix);
  }
}

}  // namespace
}  // namespace allelix::testing
