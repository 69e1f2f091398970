// The per-thread pools behind genes and individuals: memory goes back when objects are released
// and when threads end, and objects may outlive their thread or be deleted on another one.
#include "allelix/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "allelix/generator.h"
#include "invariants.h"
#include "support.h"

namespace allelix::testing {
namespace {

std::int64_t Chunks() { return detail::ChunksAlive().load(); }

// Runs body on a thread of its own and waits for it; the thread's pools end with it.
void OnItsOwnThread(const std::function<void()>& body) { std::thread(body).join(); }

// Every chunk a test makes is gone once its threads have ended.
class Pools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!detail::PooledAllocation) GTEST_SKIP() << "built with ALLELIX_GLOBAL_ALLOCATION";
    before_ = Chunks();
  }
  void TearDown() override { EXPECT_EQ(Chunks(), before_); }
  std::int64_t before_ = 0;
};

TEST_F(Pools, ReleasedObjectsGiveTheirMemoryBack) {
  OnItsOwnThread([] {
    const std::int64_t start = Chunks();
    std::vector<CBit*> genes;
    for (int i = 0; i < 200000; ++i) genes.push_back(new CBit());
    EXPECT_GE(Chunks() - start, 40);  // 16-byte blocks, about 4,000 to a 64 KiB chunk
    for (CBit* gene : genes) delete gene;
    // The chunk in use and a few spares stay for reuse; the rest went back.
    EXPECT_LE(Chunks() - start, static_cast<std::int64_t>(detail::SpareChunks) + 1);
  });
}

// Several threads make objects and delete one another's, all at once, while their makers run:
// the makers take those blocks back and reuse them, so the chunks stay few. What is left outlives
// the threads that made it and is deleted here, on a thread without pools of its own so far.
TEST_F(Pools, ManyThreadsDeleteOneAnothersObjects) {
  std::mutex mutex;
  std::vector<CMyIndividual*> shared;
  std::vector<std::thread> threads;
  std::atomic<std::int64_t> mostChunks = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 300; ++round) {
        std::vector<CMyIndividual*> theirs;
        for (int i = 0; i < 50; ++i) theirs.push_back(MakeIndividual({t % 2, 1, 0, 1}, round));
        {
          const std::lock_guard lock(mutex);
          shared.swap(theirs);  // leaves this round's individuals, takes the others'
          mostChunks = std::max(mostChunks.load(), Chunks());
        }
        for (CMyIndividual* individual : theirs) delete individual;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Without reuse, the 60,000 individuals and their genes would take about 150 chunks.
  EXPECT_LT(mostChunks, 40);
  EXPECT_GT(Chunks(), 0);
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
    thread_local LateUser late;  // constructed before the pools are, so destroyed after them
    late.individual = MakeIndividual({1, 1, 0});
  });
}

// An individual of a size no pool serves comes from the global allocator, and one aligned beyond
// new's default gets that alignment, from Initialize and from selection's clones alike.
class CBulkyIndividual final : public CIndividual<CBulkyIndividual, CBit> {
 public:
  double notes[40] = {};  // 320 bytes of a user's own state
};
class alignas(128) CWideIndividual final : public CIndividual<CWideIndividual, CBit> {};

TEST_F(Pools, LargeAndOverAlignedIndividualsRunWhole) {
  static_assert(sizeof(CBulkyIndividual) > detail::PoolLargest);
  const auto run = []<class TIndividual>(TIndividual*, int selection) {
    CGeneratorEx<TIndividual> generator;
    generator.selectionType = selection;
    generator.Initialize(300, 14);
    for (int g = 0; g < 3; ++g) generator.NextGeneration();
    EXPECT_EQ(BrokenInvariant(generator, 300, 14), "");
    for (int i = 0; i < 300; ++i) {
      const auto address = reinterpret_cast<std::uintptr_t>(generator.population->individuals[i]);
      EXPECT_EQ(address % alignof(TIndividual), 0u);
    }
  };
  OnItsOwnThread([&] {
    run(static_cast<CBulkyIndividual*>(nullptr), SelectionRouletteWheel);
    run(static_cast<CWideIndividual*>(nullptr), SelectionTournament);
  });
}

}  // namespace
}  // namespace allelix::testing
