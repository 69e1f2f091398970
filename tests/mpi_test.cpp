// Fitness evaluation on MPI ranks, run under mpirun with three ranks: rank 0 runs every test,
// the other ranks serve each test's Fitness calls and report nothing.
#include "allelix/mpi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Ones count, plus half a point per locked gene: ties for the sort, and locks that matter.
// With a positive context, an individual of exactly `context` ones throws.
class CLockedOnes final : public CIndividual<CLockedOnes, CBit> {
 public:
  double Fitness(int context) override {
    int ones = 0;
    int locks = 0;
    for (int i = 0; i < geneCount; ++i) {
      ones += genes[i]->value ? 1 : 0;
      locks += genes[i]->locked ? 1 : 0;
    }
    if (context > 0 && ones == context)
      throw std::runtime_error("poisoned " + std::to_string(ones));
    return ones + 0.5 * locks;
  }
};

using Evaluator = mpi::MpiEvaluator<CLockedOnes>;
using LockedRun = CGeneratorEx<CLockedOnes>;

// The run's settings, scored on the evaluator's ranks or, without one, on this process.
void Configure(LockedRun& generator, int selection, int crossover, Evaluator* evaluator) {
  generator.selectionType = selection;
  generator.crossoverType = crossover;
  generator.mutationRate = 0.3;
  generator.eliteCount = 6;
  generator.stopFlags = StopOnGenerations;
  generator.maxGenerations = 12;
  if (evaluator != nullptr) generator.evaluationThreads = 4;  // the evaluator takes precedence
  generator.evaluator = evaluator;
}

// Initialize, lock every third individual's gene 3, then evolve; the states seen
// at each stop test and at the end.
std::vector<GeneratorState> Traced(Evaluator* evaluator, int selection, int crossover, int size,
                                   int genes) {
  ScopedSeedSchedule schedule(9);
  ManualClock clock;
  LockedRun generator;
  Configure(generator, selection, crossover, evaluator);
  std::vector<GeneratorState> trace;
  generator.Initialize(size, genes);
  for (int i = 0; i < size; i += 3) {
    CLockedOnes* individual = generator.population->individuals[i];
    individual->genes[3 % genes]->locked = true;
    individual->fitness = individual->Fitness(0);
  }
  Evolve(generator, [&](const LockedRun& g) { trace.push_back(GeneratorStateOf(g)); });
  trace.push_back(GeneratorStateOf(generator));
  return trace;
}

// One generation, scored at the end of its pass, in which some individuals throw; the message,
// the rank that threw (0 on this process) and the state it leaves.
std::tuple<std::string, int, GeneratorState> Poisoned(Evaluator* evaluator) {
  ScopedSeedSchedule schedule(4);
  ManualClock clock;
  LockedRun generator;
  Configure(generator, SelectionNone, CrossoverTwoPoint, evaluator);
  generator.evaluationThreads = 2;
  generator.Initialize(60, 12);
  generator.fitnessContext = 9;  // nine ones throw; a handful of the 60
  try {
    generator.NextGeneration();
  } catch (const mpi::WorkerError& error) {
    return {error.WorkerMessage(), error.Rank(), GeneratorStateOf(generator)};
  } catch (const std::exception& error) {
    return {error.what(), 0, GeneratorStateOf(generator)};
  }
  return {"no exception", 0, GeneratorStateOf(generator)};
}

// A worker's exception reaches rank 0 with the state threads leave, and the workers serve on:
// the runs after it are those of one process.
TEST(MpiEvaluation, RunsAreTheSameAsOnOneProcessAndWorkersSurviveAnException) {
  if (mpi::detail::RankOf(MPI_COMM_WORLD) != 0) return mpi::ServeFitness<CLockedOnes>();
  Evaluator evaluator;  // its destruction, even on a failed assertion, releases the workers
  ASSERT_EQ(evaluator.Workers(), 2);
  const auto [threadsMessage, threadsRank, threads] = Poisoned(nullptr);
  const auto [message, rank, state] = Poisoned(&evaluator);
  EXPECT_EQ(threadsMessage, "poisoned 9");
  EXPECT_EQ(message, threadsMessage);
  EXPECT_TRUE(rank == 1 || rank == 2) << rank;
  EXPECT_EQ(state, threads);  // the scores before the failure are stored, no later one
  const struct {
    int selection, crossover, size, genes;
  } cases[] = {
      // clang-format off
      {.selection = SelectionRouletteWheel, .crossover = CrossoverOnePoint, .size = 90, .genes = 37},
      {.selection = SelectionElitism, .crossover = CrossoverUniform, .size = 91, .genes = 70},
      {.selection = SelectionTournament, .crossover = CrossoverTwoPoint, .size = 90, .genes = 8},
      // Fewer individuals than workers: one worker has nothing to do.
      {.selection = SelectionTournament, .crossover = CrossoverOnePoint, .size = 1, .genes = 9},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "selection " << c.selection << ", size " << c.size);
    EXPECT_EQ(Traced(&evaluator, c.selection, c.crossover, c.size, c.genes),
              Traced(nullptr, c.selection, c.crossover, c.size, c.genes));
  }
}

}  // namespace
}  // namespace allelix::testing

// Rank 0 reports; the workers' listeners are silenced. The job fails when rank 0 does.
int main(int argc, char** argv) {
  allelix::mpi::Environment environment(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (environment.Rank() != 0) {
    delete ::testing::UnitTest::GetInstance()->listeners().Release(
        ::testing::UnitTest::GetInstance()->listeners().default_result_printer());
  }
  const int status = RUN_ALL_TESTS();
  return environment.Rank() == 0 ? status : 0;
}
