// Parallel fitness evaluation: the same runs whatever evaluationThreads says, for a pure Fitness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "allelix/checkpoint.h"
#include "allelix/generator.h"
#include "allelix/run.h"
#include "invariants.h"
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

// With `replace`, the hooks delete the individuals in their variables and put changed copies
// there instead: Mutate a copy with gene 0 flipped, Crossover copies of the crossed pair in
// exchanged variables.
class COnesRun : public CGeneratorEx<COnes> {
 public:
  COnesRun(int threads, int crossover, int selection, bool replace) : replace_(replace) {
    evaluationThreads = threads;
    crossoverType = crossover;
    selectionType = selection;
    mutationRate = replace ? 0.5 : 0.3;
    eliteCount = 6;
    stopFlags = StopOnGenerations;
    maxGenerations = 15;
  }
  void Mutate(COnes*& individual) override {
    CGeneratorEx<COnes>::Mutate(individual);
    if (!replace_) return;
    Replace(individual);
    individual->genes[0]->value = !individual->genes[0]->value;
  }
  void Crossover(COnes*& first, COnes*& second) override {
    CGeneratorEx<COnes>::Crossover(first, second);
    if (!replace_) return;
    Replace(first);
    Replace(second);
    std::swap(first, second);
  }

 private:
  static void Replace(COnes*& individual) {
    COnes* copy = individual->Clone();
    delete individual;
    individual = copy;
  }

  bool replace_;
};

class ParallelRun : public ::testing::TestWithParam<std::tuple<int, int, bool>> {};

// Also: the population holds what the hooks left (nothing leaks, nothing is held twice) and every
// individual is scored after its last change.
TEST_P(ParallelRun, IsTheSameOnOneAndFourThreads) {
  const auto [crossover, selection, replace] = GetParam();
  COnesRun sequential(1, crossover, selection, replace);
  COnesRun parallel(4, crossover, selection, replace);
  COnesRun deferred(4, crossover, selection, replace);  // its evaluator takes precedence
  SequentialEvaluator<COnes> evaluator;
  deferred.evaluator = &evaluator;
  const std::vector<GeneratorState> expected = Traced(sequential, 5, 120, 24);
  EXPECT_EQ(Traced(parallel, 5, 120, 24), expected);
  EXPECT_EQ(Traced(deferred, 5, 120, 24), expected);
  for (const COnesRun* run : {&sequential, &parallel, &deferred}) {
    EXPECT_EQ(BrokenInvariant(*run, 120, 24), "");
    for (int i = 0; i < run->populationSize; ++i) {
      COnes* individual = run->population->individuals[i];
      EXPECT_EQ(individual->fitness, individual->Fitness(0)) << "slot " << i;
    }
  }
  EXPECT_EQ(COnes::alive, 3 * (120 + 1));
}

// Every crossover and every selection at least once, and the replacing hooks.
INSTANTIATE_TEST_SUITE_P(
    Operators, ParallelRun,
    ::testing::Values(std::tuple{CrossoverNone, SelectionNone, false},
                      std::tuple{CrossoverOnePoint, SelectionRouletteWheel, false},
                      std::tuple{CrossoverTwoPoint, SelectionStochasticRemainder, false},
                      std::tuple{CrossoverUniform, SelectionElitism, true},
                      std::tuple{CrossoverOnePoint, SelectionTournament, false}));

// Scores the chromosome as its number plus the context, and throws for the numbers in `poison`;
// Clone throws once the countdown `clonesLeft` runs out.
std::set<std::uint32_t> poison;
int clonesLeft = -1;

class CPoisoned final : public CIndividual<CPoisoned, CBit> {
 public:
  double Fitness(int context) override {
    const std::uint32_t value = demo::DecodeBits(*this);
    if (poison.count(value) != 0) throw std::runtime_error(std::to_string(value));
    return value + context;
  }
  CPoisoned* Clone() override {
    if (clonesLeft == 0) throw std::runtime_error("clone failed");
    if (clonesLeft > 0) --clonesLeft;
    return CIndividual::Clone();
  }
};

// A generator whose pass pairs individuals but changes no gene, and whose Mutate puts a copy in
// place of its individual, then throws on its `failAt`-th call. Select records the state it
// receives and the numbers drawn before it in its generation.
class CFailing : public CGeneratorEx<CPoisoned> {
 public:
  CFailing(int threads, int failAt, int selection) : failAt_(failAt) {
    evaluationThreads = threads;
    crossoverType = CrossoverNone;
    crossoverRate = 1.0;
    selectionType = selection;
    mutationRate = failAt > 0 ? 1.0 : 0.0;
  }
  void Mutate(CPoisoned*& individual) override {
    CPoisoned* copy = individual->Clone();
    delete individual;
    individual = copy;
    if (++calls_ == failAt_) throw std::logic_error("mutation failed");
  }
  bool Select(Population*& selected) override {
    atSelect = GeneratorStateOf(*this);
    drawnBeforeSelect = draws != nullptr ? draws->Drawn() : 0;
    return CGeneratorEx::Select(selected);
  }

  const CountedDraws* draws = nullptr;
  GeneratorState atSelect;
  std::size_t drawnBeforeSelect = 0;

 private:
  int failAt_;
  int calls_ = 0;
};

// How a generation fails: a Mutate call, the numbers whose Fitness throws, or a Clone.
struct Failure {
  int failAt = 0;
  std::vector<std::uint32_t> poisoned = {};
  int clonesBeforeFailure = -1;
  int selection = SelectionNone;
};

// What a failed generation leaves, and what the next generation finds when it reaches Select.
struct Aftermath {
  std::string message, brokenInvariant;
  GeneratorState initial, failed, atNextSelect;
  std::size_t drawnBeforeNextSelect = 0;
};

// With `repairAtOnce`, RepairFailedGeneration is called right after the failure; otherwise the
// next NextGeneration calls it.
Aftermath FailedGeneration(int threads, const Failure& failure, bool repairAtOnce) {
  ScopedSeedSchedule schedule(12);
  ManualClock clock;
  CFailing generator(threads, failure.failAt, failure.selection);
  poison.clear();
  generator.Initialize(60, 10);
  generator.fitnessContext = 1000;  // a re-scored individual shows it
  Aftermath after;
  after.initial = GeneratorStateOf(generator);
  poison = {failure.poisoned.begin(), failure.poisoned.end()};
  clonesLeft = failure.clonesBeforeFailure;
  try {
    generator.NextGeneration();
  } catch (const std::exception& error) {
    after.message = error.what();
  }
  poison.clear();
  clonesLeft = -1;
  after.failed = GeneratorStateOf(generator);
  after.brokenInvariant = BrokenInvariant(generator, 60, 10);
  const CountedDraws draws;
  if (repairAtOnce) generator.RepairFailedGeneration();
  generator.draws = &draws;
  generator.NextGeneration();
  after.atNextSelect = generator.atSelect;
  after.drawnBeforeNextSelect = generator.drawnBeforeSelect;
  return after;
}

// The individuals re-scored: a prefix of the slots, with no marks left.
int RescoredPrefix(const GeneratorState& state) {
  std::size_t prefix = 0;
  while (prefix < state.population.size() && state.population[prefix].fitness >= 1000) ++prefix;
  for (std::size_t i = 0; i < state.population.size(); ++i) {
    EXPECT_FALSE(state.population[i].marked);
    EXPECT_EQ(state.population[i].fitness >= 1000, i < prefix) << "slot " << i;
  }
  return static_cast<int>(prefix);
}

bool SortedByFitness(const GeneratorState& state) {
  return std::is_sorted(
      state.population.begin(), state.population.end(),
      [](const IndividualState& a, const IndividualState& b) { return a.fitness > b.fitness; });
}

// A generation that throws keeps best and the counters, leaves the same state on one and four
// threads, and the next generation first rescores what it left unscored and sorts again where
// selection sorts, drawing nothing before its Select. On one thread the repair is asked for at
// once, so the two also show that it is the same either way and is made once.
TEST(ParallelFailure, AThrowingFitnessOrHookLeavesAStateTheNextGenerationPutsRight) {
  // Poison the numbers of slots 10 and 30 of the population Initialize builds.
  ScopedSeedSchedule schedule(12);
  CFailing probe(1, 0, SelectionNone);
  probe.Initialize(60, 10);
  const std::uint32_t first = demo::DecodeBits(*probe.population->individuals[10]);
  const std::uint32_t second = demo::DecodeBits(*probe.population->individuals[30]);

  const struct {
    Failure failure;
    std::string message;
    int minPrefix, maxPrefix;  // slots rescored by the failed generation
    int rescoredAtNextSelect;
  } cases[] = {
      // clang-format off
      {.failure = {.poisoned = {first, second}}, .message = std::to_string(first), .minPrefix = 1, .maxPrefix = 10, .rescoredAtNextSelect = 60},
      {.failure = {.failAt = 25}, .message = "mutation failed", .minPrefix = 24, .maxPrefix = 24, .rescoredAtNextSelect = 60},
      {.failure = {.poisoned = {first, second}, .selection = SelectionElitism}, .message = std::to_string(first), .minPrefix = 1, .maxPrefix = 10, .rescoredAtNextSelect = 60},
      // Elitism fails half way through its clones: no pass, nothing to rescore, but the copies
      // it made break the order.
      {.failure = {.clonesBeforeFailure = 5, .selection = SelectionElitism}, .message = "clone failed", .minPrefix = 0, .maxPrefix = 0, .rescoredAtNextSelect = 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + ", selection " + std::to_string(c.failure.selection));
    const Aftermath sequential = FailedGeneration(1, c.failure, true);
    const Aftermath parallel = FailedGeneration(4, c.failure, false);
    EXPECT_EQ(sequential.message, c.message);
    EXPECT_EQ(parallel.message, sequential.message);
    EXPECT_EQ(parallel.failed, sequential.failed);
    EXPECT_EQ(sequential.brokenInvariant, "");
    EXPECT_EQ(parallel.brokenInvariant, "");
    EXPECT_GE(RescoredPrefix(parallel.failed), c.minPrefix);
    EXPECT_LE(RescoredPrefix(parallel.failed), c.maxPrefix);
    EXPECT_EQ(sequential.failed.best, sequential.initial.best);
    EXPECT_EQ(sequential.failed.generation, 0);

    EXPECT_EQ(parallel.atNextSelect, sequential.atNextSelect);
    EXPECT_EQ(RescoredPrefix(sequential.atNextSelect), c.rescoredAtNextSelect);
    if (c.failure.selection == SelectionElitism) {
      EXPECT_FALSE(SortedByFitness(sequential.failed));
      EXPECT_TRUE(SortedByFitness(sequential.atNextSelect));
    }
    EXPECT_EQ(sequential.drawnBeforeNextSelect, 0u);
    EXPECT_EQ(parallel.drawnBeforeNextSelect, 0u);
  }
}

// A repair belongs to the population that failed: a checkpoint loaded into the generator after
// the failure continues the saved run exactly, unsorted and unrescored.
TEST(ParallelFailure, ACheckpointLoadedAfterAFailureContinuesTheSavedRun) {
  ManualClock clock;
  poison.clear();
  std::string saved;
  GeneratorState continued;
  {
    ScopedSeedSchedule schedule(3);
    CFailing run(1, 0, SelectionTournament);
    run.Initialize(60, 10);
    run.NextGeneration();
    saved = EncodeCheckpoint(run);
    run.NextGeneration();
    continued = GeneratorStateOf(run);
  }
  ScopedSeedSchedule schedule(12);
  CFailing generator(1, 0, SelectionElitism);
  generator.Initialize(60, 10);
  poison = {demo::DecodeBits(*generator.population->individuals[30])};
  EXPECT_THROW(generator.NextGeneration(), std::runtime_error);
  poison.clear();
  RestoreCheckpoint(generator, saved, "saved run");
  generator.NextGeneration();
  EXPECT_EQ(GeneratorStateOf(generator), continued);
}

}  // namespace
}  // namespace allelix::testing
