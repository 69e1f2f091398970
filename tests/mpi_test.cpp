// Fitness evaluation on MPI ranks, run under mpirun with three ranks: rank 0 runs every test,
// the other ranks serve each test's Fitness calls and report nothing.
#include "allelix/mpi.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "allelix/generator.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Ones count, plus half a point per locked gene: ties for the sort, and locks that matter.
// With a positive context, an individual of exactly `context` ones throws.
class CLockedOnes final : public CIndividual<CLockedOnes, CBit> {
 public:
  double Fitness(int context) override {
    int ones = 0, locks = 0;
    for (int i = 0; i < geneCount; ++i) {
      ones += genes[i]->value ? 1 : 0;
      locks += genes[i]->locked ? 1 : 0;
    }
    if (context > 0 && ones == context) throw std::runtime_error("poisoned");
    return ones + 0.5 * locks;
  }
};

using Trace = std::pair<std::vector<GeneratorState>, std::string>;

struct Case {
  int selection, crossover, size, genes, poison = 0;  // individuals of `poison` ones throw
};

// Initialize, lock every third individual's gene 3, then run 12 generations, scored on the
// evaluator's ranks or, without one, on four threads: the state after each (or after a failure,
// which ends the run), and the message of what it threw, if anything.
Trace Traced(mpi::MpiEvaluator<CLockedOnes>* evaluator, const Case& c) {
  ScopedSeedSchedule schedule(9);
  ManualClock clock;
  CGeneratorEx<CLockedOnes> generator;
  generator.selectionType = c.selection;
  generator.crossoverType = c.crossover;
  generator.evaluationThreads = 4;  // the evaluator takes precedence
  generator.evaluator = evaluator;
  generator.Initialize(c.size, c.genes);
  for (int i = 0; i < c.size; i += 3)
    generator.population->individuals[i]->genes[3 % c.genes]->locked = true;
  generator.fitnessContext = c.poison;
  Trace trace;
  for (int g = 0; g < 12 && trace.second.empty(); ++g) {
    try {
      generator.NextGeneration();
    } catch (const std::exception& error) {
      trace.second = error.what();
    }
    trace.first.push_back(GeneratorStateOf(generator));
  }
  return trace;
}

// A worker's exception reaches rank 0 with the state threads leave, and the workers serve on:
// the runs after it are those of one process.
TEST(MpiEvaluation, RunsAreTheSameAsOnOneProcessAndWorkersSurviveAnException) {
  if (mpi::detail::RankOf(MPI_COMM_WORLD) != 0) return mpi::ServeFitness<CLockedOnes>();
  // Its destruction, even on a failed assertion, releases the workers.
  mpi::MpiEvaluator<CLockedOnes> evaluator;
  const Case cases[] = {
      // clang-format off
      {.selection = SelectionNone, .crossover = CrossoverTwoPoint, .size = 60, .genes = 12, .poison = 9},
      {.selection = SelectionRouletteWheel, .crossover = CrossoverOnePoint, .size = 90, .genes = 37},
      {.selection = SelectionElitism, .crossover = CrossoverUniform, .size = 91, .genes = 70},
      {.selection = SelectionTournament, .crossover = CrossoverTwoPoint, .size = 90, .genes = 8},
      // Fewer individuals than workers: one worker has nothing to do.
      {.selection = SelectionTournament, .crossover = CrossoverOnePoint, .size = 1, .genes = 9},
      // clang-format on
  };
  for (const Case& c : cases) {
    const Trace threads = Traced(nullptr, c), ranks = Traced(&evaluator, c);
    EXPECT_EQ(ranks.first, threads.first) << "selection " << c.selection << ", size " << c.size;
    // The first failure is rank 1's: a worker's exception, named, and so the workers exist.
    EXPECT_EQ(ranks.second, c.poison > 0 ? "rank 1: poisoned" : "");
  }
}

}  // namespace
}  // namespace allelix::testing

// Rank 0 reports; the workers' listeners are silenced. The job fails when rank 0 does.
int main(int argc, char** argv) {
  allelix::mpi::Environment environment(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  if (environment.Rank() != 0) delete listeners.Release(listeners.default_result_printer());
  return RUN_ALL_TESTS() != 0 && environment.Rank() == 0 ? 1 : 0;
}
