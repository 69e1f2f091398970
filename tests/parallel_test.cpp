// Parallel fitness evaluation gives the runs one thread gives, and a generation that fails on any
// thread leaves a state the next one puts right.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
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

// A run on CFaulty whose Mutate leaves a copy of its individual in its place, with gene 0 flipped
// (after the usual mutation, unless `failAt`), and throws on its `failAt`-th call. Select records
// the state it receives.
class CHooked : public CGeneratorEx<CFaulty> {
 public:
  CHooked(int threads, int failAt, int selection) : failAt_(failAt) {
    evaluationThreads = threads;
    selectionType = selection;
  }
  void Mutate(CFaulty*& individual) override {
    if (failAt_ == 0) CGeneratorEx::Mutate(individual);
    delete std::exchange(individual, individual->Clone());
    individual->genes[0]->value = !individual->genes[0]->value;
    if (++calls_ == failAt_) throw std::logic_error("mutation failed");
  }
  bool Select(Population*& selected) override {
    atSelect = GeneratorStateOf(*this);
    return CGeneratorEx::Select(selected);
  }

  GeneratorState atSelect;

 private:
  int failAt_;
  int calls_ = 0;
};

// A run of 15 generations that crosses over by `selection % 4` (so every crossover runs too): the
// states the observer sees, the last of them the state the run ends in, which must hold what the
// hooks left, each individual scored after its last change.
std::vector<GeneratorState> Traced(int threads, int selection) {
  ScopedSeedSchedule schedule(5);
  ManualClock clock;
  CHooked generator(threads, 0, selection);
  generator.crossoverType = selection % 4;
  generator.mutationRate = 0.3;
  generator.stopFlags = StopOnGenerations;
  generator.maxGenerations = 15;
  std::vector<GeneratorState> trace;
  generator.Initialize(120, 24);
  Evolve(generator, [&](const CHooked& g) { trace.push_back(GeneratorStateOf(g)); });
  EXPECT_EQ(BrokenInvariant(generator, 120, 24), "");
  for (CFaulty* individual : std::span(generator.population->individuals, 120)) {
    EXPECT_EQ(individual->fitness, individual->Fitness(0));
  }
  return trace;
}

// (An evaluator in place of the threads: mpi_test.)
TEST(ParallelRun, IsTheSameOnOneAndFourThreads) {
  const int alive = CFaulty::alive;
  for (int selection = SelectionNone; selection <= SelectionTournament; ++selection) {
    SCOPED_TRACE("selection " + std::to_string(selection));
    EXPECT_EQ(Traced(4, selection), Traced(1, selection));
  }
  EXPECT_EQ(CFaulty::alive, alive);
}

// A thread count no system could start is capped, not passed on to OpenMP, which would end the
// process.
TEST(ParallelRun, AnyThreadCountGivesTheOneThreadRun) {
  EXPECT_EQ(Traced(std::numeric_limits<int>::max(), SelectionTournament),
            Traced(1, SelectionTournament));
}

// How a generation fails (a Mutate call, the numbers whose Fitness throws, or a Clone), and the
// message and the slots it rescores before it fails.
struct Failure {
  int failAt = 0, clonesBeforeFailure = -1, selection = SelectionNone;
  std::vector<std::uint32_t> poisoned = {};
  std::string message;
  int rescored;
};

// What a failed generation leaves, and what the next generation finds when it reaches Select.
struct Aftermath {
  std::string message;
  GeneratorState failed, atNextSelect;
  bool operator==(const Aftermath&) const = default;
};

// With `repairAtOnce`, RepairFailedGeneration is called right after the failure; otherwise the
// next NextGeneration calls it. Until then, the generator cannot be saved.
Aftermath FailedGeneration(int threads, const Failure& failure, bool repairAtOnce) {
  ScopedSeedSchedule schedule(12);
  ManualClock clock;
  CHooked generator(threads, failure.failAt, failure.selection);
  generator.crossoverType = CrossoverNone;  // the pass pairs individuals but changes no gene
  generator.crossoverRate = 1.0;
  generator.mutationRate = failure.failAt > 0 ? 1.0 : 0.0;
  generator.Initialize(60, 10);
  generator.fitnessContext = 1000;  // a re-scored individual shows it
  Aftermath after;
  CFaulty::poison = {failure.poisoned.begin(), failure.poisoned.end()};
  CFaulty::clonesLeft = failure.clonesBeforeFailure;
  try {
    generator.NextGeneration();
  } catch (const std::exception& error) {
    after.message = error.what();
  }
  CFaulty::poison.clear();
  CFaulty::clonesLeft = -1;
  after.failed = GeneratorStateOf(generator);
  EXPECT_EQ(BrokenInvariant(generator, 60, 10), "");
  EXPECT_THROW(EncodeCheckpoint(generator), std::invalid_argument);
  if (repairAtOnce) generator.RepairFailedGeneration();
  generator.NextGeneration();
  after.atNextSelect = generator.atSelect;
  return after;
}

// The number of individuals re-scored (their fitness shows the context), which must be a prefix
// of the slots.
int RescoredPrefix(const GeneratorState& state) {
  const auto rescored = [](const IndividualState& slot) { return slot.fitness >= 1000; };
  EXPECT_TRUE(std::ranges::is_partitioned(state.population, rescored));
  return static_cast<int>(std::ranges::count_if(state.population, rescored));
}

// A generation that throws keeps the counters, leaves a whole unmarked population, the same on
// one and four threads, and the next generation first rescores what it left unscored and sorts
// again where selection sorts. On one thread the repair is asked for at once, so the two also
// show that it is the same either way.
TEST(ParallelFailure, AThrowingFitnessOrHookLeavesAStateTheNextGenerationPutsRight) {
  // Poison the numbers of slots 10 and 30 of the population Initialize builds.
  ScopedSeedSchedule schedule(12);
  CHooked probe(1, 0, SelectionNone);
  probe.Initialize(60, 10);
  CFaulty** slots = probe.population->individuals;
  const Failure cases[] = {
      // clang-format off
      {.failAt = 25, .message = "mutation failed", .rescored = 24},
      {.selection = SelectionElitism, .poisoned = {demo::DecodeBits(*slots[10]), demo::DecodeBits(*slots[30])}, .message = std::to_string(demo::DecodeBits(*slots[10])), .rescored = 10},
      // Elitism fails half way through its clones: no pass, nothing to rescore, but the copies
      // it made break the order.
      {.clonesBeforeFailure = 5, .selection = SelectionElitism, .message = "clone failed", .rescored = 0},
      // clang-format on
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.message + ", selection " + std::to_string(c.selection));
    const Aftermath sequential = FailedGeneration(1, c, true);
    const Aftermath parallel = FailedGeneration(4, c, false);
    EXPECT_TRUE(parallel == sequential);  // the message and the states
    EXPECT_EQ(sequential.message, c.message);
    EXPECT_EQ(sequential.failed.generation, 0);
    EXPECT_EQ(RescoredPrefix(sequential.failed), c.rescored);
    EXPECT_EQ(RescoredPrefix(sequential.atNextSelect), c.rescored > 0 ? 60 : 0);
    EXPECT_TRUE(c.selection != SelectionElitism ||
                std::ranges::is_sorted(sequential.atNextSelect.population, std::greater<>(),
                                       &IndividualState::fitness));
  }
}

// A repair belongs to the population that failed: a checkpoint loaded into the generator after
// the failure continues the saved run exactly, unsorted and unrescored.
TEST(ParallelFailure, ACheckpointLoadedAfterAFailureContinuesTheSavedRun) {
  ScopedSeedSchedule schedule(3);
  ManualClock clock;
  CHooked generator(1, 0, SelectionTournament);
  generator.Initialize(60, 10);
  generator.NextGeneration();
  const std::string saved = EncodeCheckpoint(generator);
  generator.NextGeneration();
  const GeneratorState continued = GeneratorStateOf(generator);
  generator.selectionType = SelectionElitism;  // so the repair would sort
  CFaulty::poison = {demo::DecodeBits(*generator.population->individuals[30])};
  EXPECT_THROW(generator.NextGeneration(), std::runtime_error);
  CFaulty::poison.clear();
  RestoreCheckpoint(generator, saved, "saved run");
  generator.NextGeneration();
  EXPECT_EQ(GeneratorStateOf(generator), continued);
}

}  // namespace
}  // namespace allelix::testing
