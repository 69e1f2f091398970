// The per-thread pools behind genes and individuals: memory goes back when objects are released
// and when threads end, and objects may outlive their thread or be deleted on another one.
#include "allelix/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "allelix/generator.h"
#include "invariants.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

using detail::ChunksAlive;

std::int64_t Chunks() { return ChunksAlive().load(); }

// Runs body on a thread of its own and waits for it; the thread's pools end with it.
template <class Body>
void OnItsOwnThread(Body body) {
  std::thread thread(body);
  thread.join();
}

class Pools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!detail::PooledAllocation) GTEST_SKIP() << "built with ALLELIX_GLOBAL_ALLOCATION";
    before_ = Chunks();
  }
  // Every chunk made during the test is gone once its threads have ended.
  void TearDown() override {
    if (detail::PooledAllocation) {
      EXPECT_EQ(Chunks(), before_);
    }
  }

 private:
  std::int64_t before_ = 0;
};

TEST_F(Pools, ReleasedObjectsGiveTheirMemoryBack) {
  OnItsOwnThread([] {
    const std::int64_t start = Chunks();
    std::vector<CBit*> genes;
    for (int i = 0; i < 200000; ++i) genes.push_back(new CBit());
    const std::int64_t full = Chunks() - start;
    EXPECT_GE(full, 40);  // 16-byte blocks, about 4,000 to a 64 KiB chunk
    for (CBit* gene : genes) delete gene;
    // The chunk in use and a few spares stay for reuse; the rest went back.
    EXPECT_LE(Chunks() - start, static_cast<std::int64_t>(detail::SpareChunks) + 1);
    // Made again, the genes reuse what stayed before taking more.
    genes.clear();
    for (int i = 0; i < 200000; ++i) genes.push_back(new CBit());
    EXPECT_EQ(Chunks() - start, full);
    for (CBit* gene : genes) delete gene;
  });
}

TEST_F(Pools, ObjectsOutliveTheThreadThatMadeThem) {
  std::vector<CMyIndividual*> made;
  OnItsOwnThread([&made] {
    for (int i = 0; i < 5000; ++i) made.push_back(MakeIndividual({1, 0, 1, 1, 0, 1}, i));
  });
  EXPECT_GT(Chunks(), 0);
  // Deleted here (a thread without pools of its own so far: the test makes no pooled object on
  // its main thread), the last object of each chunk frees it.
  OnItsOwnThread([&made] {
    for (CMyIndividual* individual : made) delete individual;
  });
}

// A thread deletes half of what another makes, round after round, while that one goes on: the
// maker takes those blocks back and reuses them, so its chunks stay few.
TEST_F(Pools, ObjectsMayBeDeletedOnAnotherThreadWhileTheirOwnerRuns) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<CMyIndividual*> handed;
  bool done = false;
  std::int64_t mostChunks = 0;
  std::thread deleter([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return done || !handed.empty(); });
      if (handed.empty()) return;
      for (CMyIndividual* individual : handed) delete individual;
      handed.clear();
      changed.notify_all();
    }
  });
  OnItsOwnThread([&] {
    for (int round = 0; round < 40; ++round) {
      std::vector<CMyIndividual*> batch;
      for (int i = 0; i < 2000; ++i) batch.push_back(MakeIndividual({0, 1, 1, 0, 1, 0, 0, 1}, i));
      std::unique_lock lock(mutex);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (i % 2 == 0) {
          delete batch[i];  // on its own thread
        } else {
          handed.push_back(batch[i]);
        }
      }
      changed.notify_all();
      changed.wait(lock, [&] { return handed.empty(); });
      mostChunks = std::max(mostChunks, Chunks());
    }
    const std::lock_guard lock(mutex);
    done = true;
    changed.notify_all();
  });
  deleter.join();
  // Each round's 2,000 individuals and their genes take 6 chunks; 40 rounds would take 240 if
  // nothing were reused.
  EXPECT_LT(mostChunks, 40);
}

// Several threads make objects and delete one another's, all at once.
TEST_F(Pools, ManyThreadsDeleteOneAnothersObjects) {
  constexpr int Threads = 4;
  std::mutex mutex;
  std::vector<CMyIndividual*> shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 300; ++round) {
        std::vector<CMyIndividual*> mine;
        for (int i = 0; i < 50; ++i) mine.push_back(MakeIndividual({t % 2, 1, 0, 1}, round));
        std::vector<CMyIndividual*> theirs;
        {
          const std::lock_guard lock(mutex);
          shared.swap(theirs);
          shared.insert(shared.end(), mine.begin(), mine.end());
        }
        for (CMyIndividual* individual : theirs) delete individual;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (CMyIndividual* individual : shared) delete individual;
}

// A thread-local object destroyed after the thread's pools ended still makes and deletes genes,
// and deletes an individual made while the pools lived.
struct LateUser {
  CMyIndividual* individual = nullptr;
  ~LateUser() {
    delete new CBit();
    delete individual;
  }
};

TEST_F(Pools, ObjectsMadeAndDeletedAfterTheThreadsPoolsEnded) {
  OnItsOwnThread([] {
    // Constructed before the pools are, so destroyed after them.
    thread_local LateUser late;
    late.individual = MakeIndividual({1, 1, 0});
  });
}

// An individual of a size no pool serves comes from the global allocator, and a run with it
// keeps the ownership invariants.
class CBulkyIndividual final : public CIndividual<CBulkyIndividual, CBit> {
 public:
  double notes[40] = {};  // 320 bytes of a user's own state
  double Fitness(int context) override { return notes[0] + demo::DecodeBits(*this) + context; }
};

TEST_F(Pools, IndividualsTooLargeForAPoolUseTheGlobalAllocator) {
  static_assert(sizeof(CBulkyIndividual) > detail::PoolLargest);
  OnItsOwnThread([&] {
    const ScopedSeedSchedule schedule(9, Engine::Mt19937);
    CGeneratorEx<CBulkyIndividual> generator;
    generator.selectionType = SelectionRouletteWheel;
    generator.Initialize(300, 14);
    for (int g = 0; g < 5; ++g) generator.NextGeneration();
    EXPECT_EQ(BrokenInvariant(generator, 300, 14), "");
  });
}

// An individual class aligned beyond new's default gets that alignment, from Initialize and from
// the clones of selection alike.
class alignas(128) CWideIndividual final : public CIndividual<CWideIndividual, CBit> {};

TEST(OverAlignedIndividuals, KeepTheirAlignment) {
  const ScopedSeedSchedule schedule(4, Engine::Mt19937);
  CGeneratorEx<CWideIndividual> generator;
  generator.selectionType = SelectionTournament;
  generator.Initialize(40, 6);
  for (int g = 0; g < 2; ++g) {
    for (int i = 0; i < generator.population->count; ++i) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(generator.population->individuals[i]) % 128, 0u);
    }
    generator.NextGeneration();
  }
}

// A run handed from one thread to another, as a batch or a user may do, gives what a run on one
// thread gives.
class CTournamentGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  CTournamentGenerator() { selectionType = SelectionTournament; }
};

TEST_F(Pools, ARunMayMoveBetweenThreads) {
  using Generator = CTournamentGenerator;
  const auto run = [](Generator& generator, int generations) {
    for (int g = 0; g < generations; ++g) generator.NextGeneration();
  };
  GeneratorState alone;
  OnItsOwnThread([&] {
    const ScopedSeedSchedule schedule(3, Engine::Mt19937);
    Generator generator;
    generator.Initialize(500, 14);
    run(generator, 10);
    alone = GeneratorStateOf(generator);
  });
  auto moved = std::make_unique<Generator>();
  OnItsOwnThread([&] {
    const ScopedSeedSchedule schedule(3, Engine::Mt19937);
    moved->Initialize(500, 14);
    run(*moved, 4);
  });
  OnItsOwnThread([&] {
    const ScopedSeedSchedule schedule(3 + 5, Engine::Mt19937);  // reseeds 5 to 10 follow
    run(*moved, 6);
    GeneratorState state = GeneratorStateOf(*moved);
    state.elapsedSeconds = alone.elapsedSeconds;
    EXPECT_EQ(state, alone);
    moved.reset();
  });
}

}  // namespace
}  // namespace allelix::testing
