#include "allelix/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"

namespace allelix {
namespace {

// Each engine's sequence; switching engines leaves the other engine's state alone. (The names:
// lab_test's runs that choose an engine.)
TEST(RandomSource, EnginesProduceTheirKnownSequences) {
  ScopedSeedSchedule keep(0, Engine::Classic);
  Srand(1);
  EXPECT_EQ(Rand(), 41);
  SetEngine(Engine::Mt19937);
  Srand(5489);
  EXPECT_EQ(Rand(), static_cast<int>(std::mt19937(5489)() >> 1));
  SetEngine(Engine::Classic);
  EXPECT_EQ((std::vector{Rand(), Rand(), Rand()}), (std::vector{18467, 6334, 26500}));
  SetEngine(Engine::Runtime);
  std::srand(77);
  const int expected = std::rand();
  Srand(77);
  EXPECT_EQ(Rand(), expected);
}

// A schedule seeds the k-th reseed with base + k, wrapping; clock seeding takes the clock's low
// 32 bits, so a reseed in the same second repeats; seeding by hand advances neither. Without a
// schedule every run takes a fresh base and reports it, even with the clock standing still; a
// schedule from that base repeats the run; a position taken between two reseeds continues the
// same seeds on another thread.
TEST(Reseed, SeedsFollowTheScheduleTheClockOrAFreshBasePerRun) {
  testing::ManualClock clock(0x100000005LL);
  ScopedSeedSchedule schedule(0xFFFFFFFEu, Engine::Classic);
  for (const std::uint32_t seed : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u, 5u, 5u, 6u}) {
    if (seed == 5u) UseClockSeeding();
    if (seed == 6u) clock.Advance(1);
    Reseed();
    const int drawn = Rand();
    Srand(seed);
    EXPECT_EQ(Rand(), drawn) << "seed " << seed;
  }
  RemoveSeedSchedule();
  // A run's first draw, then the first after a reseed on another thread, from its position.
  const auto run = [] {
    ReseedForRun();
    std::vector<int> drawn{Rand()};
    std::thread([&drawn, position = CurrentRandomPosition()] {
      RestoreRandomPosition(position);
      Reseed();
      drawn.push_back(Rand());
    }).join();
    return drawn;
  };
  run();
  const auto continued = CurrentRandomPosition().nextSeed;
  const std::vector<int> second = run();
  EXPECT_NE(LastRunSeed(), continued);  // a fresh base, not the first run's schedule continued
  InstallSeedSchedule(LastRunSeed().value());
  EXPECT_EQ(run(), second);
}

TEST(PickList, KeepsOrderOfAppendingAndRejectsBadIndices) {
  int a = 0, b = 0;
  PickList<int> list;
  list.AddTail(&a, 2);
  list.AddTail(&b);
  EXPECT_EQ((std::vector{list.At(0), list.At(1), list.At(2)}), (std::vector{&a, &a, &b}));
  EXPECT_THROW(list.At(3), std::invalid_argument);
}

// Past 2^20 entries the list keeps runs instead of entries, so that a roulette over scores of
// both signs, which may ask for count entries per individual, does not take memory quadratic in
// the population. The lookup must not change at the switch or after it.
TEST(PickList, LongRunsKeepTheirOrderAcrossTheSwitchToRuns) {
  int a = 0, b = 0, c = 0;
  PickList<int> list;
  list.AddTail(&a, (1 << 20) - 1);
  list.AddTail(&b);  // exactly 2^20 entries: still one by one
  list.AddTail(&c, 3);
  list.AddTail(&a, 1 << 29);
  list.AddTail(&b, 0);
  list.AddTail(&c);
  const int n = (1 << 20) + 4 + (1 << 29);
  ASSERT_EQ(list.Count(), n);
  const std::vector<std::pair<int, int*>> expected = {
      {0, &a},       {(1 << 20) - 2, &a}, {(1 << 20) - 1, &b},
      {1 << 20, &c}, {(1 << 20) + 2, &c}, {(1 << 20) + 3, &a},
      {n - 2, &a},   {n - 1, &c}};
  for (const auto& [index, entry] : expected) EXPECT_EQ(list.At(index), entry) << index;
  EXPECT_THROW(list.At(n), std::invalid_argument);
  EXPECT_THROW(list.AddTail(&a, std::size_t{1} << 31), std::length_error);
  EXPECT_EQ(list.Count(), n);
}

}  // namespace
}  // namespace allelix
