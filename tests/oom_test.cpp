// Allocation, counted and failed at will by this binary's own global operator new
// (counting_allocator.h, hence a binary of its own): the global operator new fails on its n-th
// call, for every n up to the first run that completes; after each failure the generator must
// still be usable and releasable, its state whole, and nothing may leak. Built twice: with every
// object on the global allocator, and with the pools. With the global allocator, a run's
// allocations are counted too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "counting_allocator.h"
#include "exchange_sort.h"
#include "invariants.h"
#include "support.h"

namespace allelix::testing {
namespace {

using Generator = CGeneratorEx<CMyIndividual>;

constexpr int slots = 8;
constexpr int geneCount = 6;

// One run: Initialize, a generation under every pair of operator types (crossing always, so
// every pair's operator runs), a convergence reading, a second Initialize of another shape and
// one more generation. The shape the generator should hold is tracked for the checks; while
// Initialize runs, the generator holds either no population or the new one.
struct Workload {
  int count = 0;
  int genes = 0;
  bool initializing = false;

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

// Each run is on a thread of its own: with pooled allocation the thread's pools end with it, so
// every chunk it made is back when the leak count is read.
TEST(OutOfMemory, EveryFailedAllocationLeavesAValidReleasableGenerator) {
  long long n = 1;
  for (;; ++n) {
    const long long liveBefore = allocations.live;
    bool completed = false;
    std::thread([&] {
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
    }).join();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(allocations.live, liveBefore) << "allocation " << n << " failed: a leak";
    if (completed) break;
  }
  EXPECT_EQ(allocations.failed, n - 1);
  // Failures reached the pools' chunks beyond the first population's arrays, or, without pools,
  // beyond the first population (slot array, individuals, gene arrays, genes).
  EXPECT_GT(n, detail::PooledAllocation ? 2 + slots : 1 + slots * (2 + geneCount));
}

// Every allocation the first sort makes fails in turn: each failure leaves every slot as it
// was, and a sort that then succeeds gives the exchange sort's order.
TEST(OutOfMemory, AFailedSortLeavesEverySlotAsItWas) {
  std::vector<double> values;
  for (int i = 0; i < 50; ++i) values.push_back(-i / 3);
  values[7] = std::nan("");
  auto population = MakePopulation(values);
  const std::vector<CMyIndividual*> before(population->individuals,
                                           population->individuals + population->count);
  std::vector<CMyIndividual*> expected = before;
  ExchangeSortByFitness(expected.data(), population->count);
  long long n = 1;
  for (;; ++n) {
    Arm(n);
    try {
      population->SortByFitness();
      Disarm();
      break;
    } catch (const std::bad_alloc&) {
      Disarm();
    }
    ASSERT_TRUE(std::equal(before.begin(), before.end(), population->individuals)) << n;
  }
  EXPECT_GT(n, 1);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), population->individuals));
}

// The demonstration's individual with a fitness that ties and drifts, counting its clones.
class CCountedIndividual final : public CIndividual<CCountedIndividual, CBit> {
 public:
  static inline long long clones = 0;

  CCountedIndividual* Clone() override {
    ++clones;
    return CIndividual::Clone();
  }
  double Fitness(int /*context*/) override {
    return 1.0 / (1.0 + std::abs(1234.0 - static_cast<double>(demo::DecodeBits(*this))));
  }
};

// From the first generation on, the live allocations stay flat under every operator, and a
// generation with the demonstration's settings allocates only its clones (each the individual,
// its gene array and one object per gene).
TEST(Allocation, AGenerationAllocatesOnlyItsClonesAndLeavesAsManyLive) {
  if (detail::PooledAllocation) GTEST_SKIP() << "counts objects, not the pools' chunks";
  for (const auto& [selection, crossover] : {std::pair{SelectionElitism, CrossoverTwoPoint},
                                             {SelectionRouletteWheel, CrossoverTwoPoint},
                                             {SelectionStochasticRemainder, CrossoverOnePoint},
                                             {SelectionTournament, CrossoverUniform},
                                             {SelectionNone, CrossoverNone}}) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CGeneratorEx<CCountedIndividual> generator;
    generator.selectionType = selection;
    generator.crossoverType = crossover;
    generator.stopFlags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
    generator.Initialize();
    generator.NextGeneration();
    TestStop(generator);
    generator.NextGeneration();
    const long long live = allocations.live;
    for (int g = 3; g < 42; ++g) {
      const long long made = allocations.made, clones = CCountedIndividual::clones;
      TestStop(generator);
      generator.NextGeneration();
      ASSERT_EQ(allocations.live, live) << "selection " << selection << ", generation " << g;
      if (selection == SelectionElitism) {
        ASSERT_EQ(allocations.made - made, (CCountedIndividual::clones - clones) * (2 + 14)) << g;
      }
    }
  }
}

// CCountedIndividual's fitness with the library's own Clone, whose selections may draw their
// picks ahead of the clones.
class COwnCloneIndividual final : public CIndividual<COwnCloneIndividual, CBit> {
 public:
  double Fitness(int /*context*/) override {
    return 1.0 / (1.0 + std::abs(1234.0 - static_cast<double>(demo::DecodeBits(*this))));
  }
};

// Every count of draws a generation of the given selection had made when one of its
// allocations failed, the engine found by replaying the generation's seed.
template <class TIndividual>
std::set<int> DrawsAtFailures(int selectionType) {
  std::set<int> counts;
  for (long long n = 1;; ++n) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CGeneratorEx<TIndividual> generator;
    generator.selectionType = selectionType;
    generator.crossoverType = CrossoverNone;
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

// Memory running out among a selection's clones leaves the engine where the plain course, pick
// then clone, leaves it, although the picks may have been drawn ahead of the clones.
TEST(Allocation, AFailedCloneLeavesTheDrawsOfThePlainCourse) {
  if (detail::PooledAllocation) GTEST_SKIP() << "fails the pools' chunks, not the clones";
  for (const int selection :
       {SelectionRouletteWheel, SelectionStochasticRemainder, SelectionTournament}) {
    const std::set<int> plain = DrawsAtFailures<CCountedIndividual>(selection);
    EXPECT_GE(plain.size(), 2u) << "selection " << selection;  // a clone failed after a pick
    EXPECT_EQ(DrawsAtFailures<COwnCloneIndividual>(selection), plain) << "selection " << selection;
  }
}

}  // namespace
}  // namespace allelix::testing
