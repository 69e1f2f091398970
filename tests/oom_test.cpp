// Memory exhaustion: the global operator new (counting_allocator.h, hence a binary of its own)
// fails on its n-th call, for every n up to the first run that completes. After each failure
// the generator must still be usable and releasable, its state whole, and nothing may leak.
// Built twice: with every object on the global allocator, and with the pools.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

#include "allelix/generator.h"
#include "counting_allocator.h"
#include "invariants.h"
#include "support.h"

namespace allelix {
namespace {

using testing::BrokenInvariant;
using testing::CMyIndividual;

using Generator = CGeneratorEx<CMyIndividual>;

constexpr int slots = 8;
constexpr int geneCount = 6;

// One run: Initialize, a generation under every pair of operator types (crossing always, so
// every pair's operator runs), a convergence reading, a second Initialize of another shape and
// one more generation. The shape the generator should hold is tracked for the checks.
struct Workload {
  int count = 0;
  int genes = 0;
  bool initializing = false;

  // Initialize releases the held population first: while it runs, the generator holds either
  // no population or the new one.
  void Initialize(Generator& generator, int size, int genesEach) {
    count = size;
    genes = genesEach;
    initializing = true;
    generator.Initialize(size, genesEach);
    initializing = false;
  }

  void operator()(Generator& generator) {
    Initialize(generator, slots, geneCount);
    generator.crossoverRate = 1.0;
    generator.mutationRate = 0.5;
    generator.eliteCount = 3;
    for (int selection = SelectionNone; selection <= SelectionTournament; ++selection) {
      for (int crossover = CrossoverNone; crossover <= CrossoverUniform; ++crossover) {
        generator.selectionType = selection;
        generator.crossoverType = crossover;
        generator.NextGeneration();
      }
    }
    static_cast<void>(generator.population->Convergence());
    Initialize(generator, 5, 4);
    generator.selectionType = SelectionStochasticRemainder;
    generator.NextGeneration();
  }
};

// Runs body on a thread of its own and waits for it. With pooled allocation the thread's pools
// end with it, so every chunk it made is back when the leak count is read.
template <class Body>
void OnItsOwnThread(Body body) {
  std::thread(body).join();
}

TEST(OutOfMemory, EveryFailedAllocationLeavesAValidReleasableGenerator) {
  long long n = 1;
  for (;; ++n) {
    const long long liveBefore = allocations.live;
    bool completed = false;
    OnItsOwnThread([&] {
      const ScopedSeedSchedule schedule(1234u, Engine::Mt19937);
      Generator generator;
      Workload run;
      Arm(n);
      try {
        run(generator);
        completed = true;
      } catch (const std::bad_alloc&) {
      }
      Disarm();
      const std::string context = "allocation " + std::to_string(n) + " failed";
      if (generator.population != nullptr) {
        ASSERT_EQ(BrokenInvariant(generator, run.count, run.genes), "") << context;
        EXPECT_EQ(generator.populationSize, run.count) << context;
        // Still usable: a full generation runs on what the failure left.
        const int before = generator.generation;
        generator.NextGeneration();
        EXPECT_EQ(generator.generation, before + 1) << context;
        ASSERT_EQ(BrokenInvariant(generator, run.count, run.genes), "") << context;
      } else {
        EXPECT_TRUE(run.initializing) << context << ": a held population was lost";
        generator.Initialize(slots, geneCount);
        ASSERT_EQ(BrokenInvariant(generator, slots, geneCount), "") << context;
      }
      generator.ClearAll();
    });
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(allocations.live, liveBefore) << "allocation " << n << " failed: a leak";
    if (completed) break;
  }
  EXPECT_EQ(allocations.failed, n - 1);
  if (detail::PooledAllocation) {
    // Failures reached the pools' chunks beyond the first population's arrays.
    EXPECT_GT(n, 2 + slots);
  } else {
    // Failures reached beyond the first population (slot array, individuals, gene arrays, genes).
    EXPECT_GT(n, 1 + slots * (2 + geneCount));
  }
}

}  // namespace
}  // namespace allelix
