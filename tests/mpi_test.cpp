// Fitness evaluation on MPI ranks, run under mpirun with three ranks: rank 0 runs every test,
// the other ranks serve each test's Fitness calls and report nothing.
#include "allelix/mpi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Every rank runs every test in the same order: rank 0 runs `body` with an evaluator whose
// destruction, at the end of the test or on a failed assertion, releases the workers.
template <class TIndividual, class Body>
void OnRanks(Body&& body) {
  if (mpi::detail::RankOf(MPI_COMM_WORLD) != 0) {
    mpi::ServeFitness<TIndividual>();
    return;
  }
  mpi::MpiEvaluator<TIndividual> evaluator;
  ASSERT_EQ(evaluator.Workers(), 2);
  body(evaluator);
}

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

class CLockedRun : public CGeneratorEx<CLockedOnes> {
 public:
  CLockedRun(int selection, int crossover) {
    selectionType = selection;
    crossoverType = crossover;
    mutationRate = 0.3;
    eliteCount = 6;
    stopFlags = StopOnGenerations;
    maxGenerations = 12;
  }
};

// Initialize, lock every third individual's gene 3, then evolve; the states seen at each stop
// test and at the end.
std::vector<GeneratorState> Traced(CLockedRun& generator, int size, int genes) {
  ScopedSeedSchedule schedule(9);
  ManualClock clock;
  std::vector<GeneratorState> trace;
  generator.Initialize(size, genes);
  for (int i = 0; i < size; i += 3) {
    CLockedOnes* individual = generator.population->individuals[i];
    individual->genes[3 % genes]->locked = true;
    individual->fitness = individual->Fitness(0);
  }
  Evolve(generator, [&](const CLockedRun& g) { trace.push_back(GeneratorStateOf(g)); });
  trace.push_back(GeneratorStateOf(generator));
  return trace;
}

TEST(MpiEvaluation, RunsAreTheSameAsOnOneProcess) {
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
  OnRanks<CLockedOnes>([&](mpi::MpiEvaluator<CLockedOnes>& evaluator) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << "selection " << c.selection << ", size " << c.size);
      CLockedRun sequential(c.selection, c.crossover);
      CLockedRun distributed(c.selection, c.crossover);
      distributed.evaluationThreads = 4;  // the evaluator takes precedence
      distributed.evaluator = &evaluator;
      EXPECT_EQ(Traced(distributed, c.size, c.genes), Traced(sequential, c.size, c.genes));
    }
  });
}

// One generation, scored at the end of its pass, in which some individuals throw; the message
// and the state it leaves.
std::pair<std::string, GeneratorState> Poisoned(mpi::MpiEvaluator<CLockedOnes>* evaluator,
                                                int* rank) {
  ScopedSeedSchedule schedule(4);
  ManualClock clock;
  CLockedRun generator(SelectionNone, CrossoverTwoPoint);
  generator.evaluationThreads = 2;
  generator.evaluator = evaluator;
  generator.Initialize(60, 12);
  generator.fitnessContext = 9;  // nine ones throw; a handful of the 60
  std::string message;
  try {
    generator.NextGeneration();
  } catch (const mpi::WorkerError& error) {
    message = error.WorkerMessage();
    *rank = error.Rank();
  } catch (const std::exception& error) {
    message = error.what();
  }
  return {message, GeneratorStateOf(generator)};
}

TEST(MpiEvaluation, AWorkersExceptionReachesRankZeroAndTheWorkersServeOn) {
  OnRanks<CLockedOnes>([&](mpi::MpiEvaluator<CLockedOnes>& evaluator) {
    int rank = 0;
    const auto [threadsMessage, threads] = Poisoned(nullptr, &rank);
    const auto [message, state] = Poisoned(&evaluator, &rank);
    EXPECT_EQ(threadsMessage, "poisoned 9");
    EXPECT_EQ(message, threadsMessage);
    EXPECT_TRUE(rank == 1 || rank == 2) << rank;
    EXPECT_EQ(state, threads);  // the scores before the failure are stored, no later one

    // The workers still answer.
    CLockedRun sequentialRun(SelectionElitism, CrossoverOnePoint);
    CLockedRun distributedRun(SelectionElitism, CrossoverOnePoint);
    distributedRun.evaluator = &evaluator;
    EXPECT_EQ(Traced(distributedRun, 30, 16), Traced(sequentialRun, 30, 16));
  });
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
