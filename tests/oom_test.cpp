// Allocation, counted and failed at will by this binary's own global operator new
// (counting_allocator.h, hence a binary of its own): the global operator new fails on its n-th
// call, for every n up to the first run that completes; after each failure the generator must
// still be usable and releasable, its state whole, and nothing may leak. Built twice: with every
// object on the global allocator, and with the pools.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "allelix/generator.h"
#include "counting_allocator.h"
#include "exchange_sort.h"
#include "invariants.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Each run is on a thread of its own: with pooled allocation the thread's pools end with it, so
// every chunk it made is back when the leak count is read. A run: Initialize, a generation under
// every pair of operator types (crossing always, so every pair's operator runs), a second
// Initialize of another shape and one more generation. The shape the generator should hold is
// tracked for the checks; while Initialize runs, it holds either no population or the new one.
TEST(OutOfMemory, EveryFailedAllocationLeavesAValidReleasableGenerator) {
  long long n = 1;
  for (bool completed = false; !completed; ++n) {
    const long long liveBefore = allocations.live;
    std::thread([&] {
      const ScopedSeedSchedule schedule(1234u, Engine::Mt19937);
      CGeneratorEx<CMyIndividual> generator;
      generator.crossoverRate = 1.0;
      int count = 8, genes = 6;
      bool initializing = true;
      Arm(n);
      try {
        generator.Initialize(count, genes);
        initializing = false;
        for (int types = 0; types < 20; ++types) {
          generator.selectionType = types / 4;
          generator.crossoverType = types % 4;
          generator.NextGeneration();
        }
        std::tie(count, genes, initializing) = std::tuple(5, 4, true);
        generator.Initialize(count, genes);
        initializing = false;
        generator.selectionType = SelectionStochasticRemainder;
        generator.NextGeneration();
        completed = true;
      } catch (const std::bad_alloc&) {
      }
      Disarm();
      SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
      if (generator.population == nullptr) {
        EXPECT_TRUE(initializing) << "a held population was lost";
        generator.Initialize(count, genes);
      }
      ASSERT_EQ(BrokenInvariant(generator, count, genes), "");
      EXPECT_EQ(generator.populationSize, count);
      // Still usable: a full generation runs on what the failure left.
      const int before = generator.generation;
      generator.NextGeneration();
      EXPECT_EQ(generator.generation, before + 1);
      ASSERT_EQ(BrokenInvariant(generator, count, genes), "");
      generator.ClearAll();
    }).join();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(allocations.live, liveBefore) << "allocation " << n << " failed: a leak";
  }
  EXPECT_EQ(allocations.failed, n - 2);
  // Failures reached the pools' chunks beyond the first population's arrays, or, without pools,
  // beyond the first population (slot array, individuals, gene arrays, genes).
  EXPECT_GT(n, detail::PooledAllocation ? 3 + 8 : 2 + 8 * (2 + 6));
}

// Every allocation the first sort makes fails in turn: each failure leaves every slot as it
// was, and a sort that then succeeds gives the exchange sort's order.
TEST(OutOfMemory, AFailedSortLeavesEverySlotAsItWas) {
  std::vector<double> values;
  for (int i = 0; i < 50; ++i) values.push_back(i == 7 ? std::nan("") : -i / 3);
  auto population = MakePopulation(values);
  CMyIndividual** slots = population->individuals;
  const std::vector<CMyIndividual*> before(slots, slots + 50);
  std::vector<CMyIndividual*> expected = before;
  ExchangeSortByFitness(expected.data(), 50);
  long long n = 1;
  for (bool sorted = false; !sorted; ++n) {
    Arm(n);
    try {
      population->SortByFitness();
      sorted = true;
    } catch (const std::bad_alloc&) {
    }
    Disarm();
    ASSERT_EQ(std::vector(slots, slots + 50), sorted ? expected : before) << n;
  }
  EXPECT_GT(n, 2);  // an allocation failed
}

// Individuals scored 0 by the base Fitness. With a Clone of its own, this one's selections pick
// and clone in the plain course.
class CPlainCloneIndividual final : public CIndividual<CPlainCloneIndividual, CBit> {
 public:
  CPlainCloneIndividual* Clone() override { return CIndividual::Clone(); }
};

// With the library's own Clone, whose selections may draw their picks ahead of the clones.
class COwnCloneIndividual final : public CIndividual<COwnCloneIndividual, CBit> {};

// Every count of draws a generation of the given selection had made when one of its
// allocations failed, the engine found by replaying the generation's seed.
template <class TIndividual>
std::set<int> DrawsAtFailures(int selectionType) {
  std::set<int> counts;
  for (long long n = 1;; ++n) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CGeneratorEx<TIndividual> generator;
    generator.selectionType = selectionType;
    generator.Initialize(12, 14);
    std::mt19937 plain(CurrentRandomPosition().nextSeed.value());
    Arm(n);
    try {
      generator.NextGeneration();
      Disarm();
      return counts;
    } catch (const std::bad_alloc&) {
      Disarm();
    }
    const std::mt19937 engine = SaveEngineState().value().mt;
    int draws = 0;
    for (; draws < 10000 && !(plain == engine); ++draws) plain();
    counts.insert(draws);
  }
}

// Under every selection a generation frees as many objects as it makes; with the
// demonstration's elitism it allocates nothing but its clones, each the individual, its gene
// array and one object per gene (the other selections add a few buffers of their own).
TEST(Allocation, AGenerationAllocatesOnlyWholeClones) {
  if (detail::PooledAllocation) GTEST_SKIP() << "counts objects, not the pools' chunks";
  for (int selection = SelectionNone; selection <= SelectionTournament; ++selection) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CGeneratorEx<CMyIndividual> generator;
    generator.selectionType = selection;
    generator.Initialize(40, 14);
    generator.NextGeneration();
    const long long live = allocations.live;
    for (int g = 0; g < 20; ++g) {
      Arm(std::numeric_limits<long long>::max());
      generator.NextGeneration();
      Disarm();
      if (selection == SelectionElitism) {
        ASSERT_EQ(allocations.calls % (2 + 14), 0) << g;
      }
      ASSERT_EQ(allocations.live, live) << "selection " << selection << ", " << g;
    }
  }
}

// Memory running out among a selection's clones leaves the engine where the plain course, pick
// then clone, leaves it, although the picks may have been drawn ahead of the clones.
TEST(Allocation, AFailedCloneLeavesTheDrawsOfThePlainCourse) {
  if (detail::PooledAllocation) GTEST_SKIP() << "fails the pools' chunks, not the clones";
  for (const int selection :
       {SelectionRouletteWheel, SelectionStochasticRemainder, SelectionTournament}) {
    const std::set<int> plain = DrawsAtFailures<CPlainCloneIndividual>(selection);
    EXPECT_GE(plain.size(), 2u) << "selection " << selection;  // a clone failed after a pick
    EXPECT_EQ(DrawsAtFailures<COwnCloneIndividual>(selection), plain) << "selection " << selection;
  }
}

}  // namespace
}  // namespace allelix::testing
