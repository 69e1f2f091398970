#include "allelix/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "support.h"

namespace allelix {
namespace {

std::vector<int> Draws(int n) {
  std::vector<int> draws;
  for (int i = 0; i < n; ++i) draws.push_back(Rand());
  return draws;
}

// Each engine's sequence and name; switching engines leaves the other engine's state alone.
TEST(RandomSource, EnginesProduceTheirKnownSequencesUnderTheirNames) {
  ScopedSeedSchedule keep(0, Engine::Classic);
  Srand(1);
  EXPECT_EQ(Rand(), 41);
  SetEngine(Engine::Mt19937);
  Srand(5489);
  std::mt19937 reference(5489);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Rand(), static_cast<int>(reference() >> 1));
  SetEngine(Engine::Classic);
  EXPECT_EQ(Draws(4), (std::vector<int>{18467, 6334, 26500, 19169}));
  SetEngine(Engine::Runtime);
  std::srand(77);
  const int expected = std::rand();
  Srand(77);
  EXPECT_EQ(Rand(), expected);
  for (const Engine engine : {Engine::Mt19937, Engine::Classic, Engine::Runtime}) {
    EXPECT_EQ(EngineFromName(EngineName(engine)), engine);
  }
  EXPECT_EQ(EngineName(Engine::Classic), std::string_view("classic"));
}

// A schedule seeds the k-th reseed with base + k, wrapping; clock seeding takes the clock's low
// 32 bits, so a reseed in the same second repeats. Seeding by hand does not advance either.
TEST(Reseed, ScheduleSeedsWithBasePlusKAndClockSeedingWithTheSecond) {
  testing::ManualClock clock(0x100000005LL);
  ScopedSeedSchedule schedule(0xFFFFFFFEu, Engine::Classic);
  for (const std::uint32_t seed : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u, 5u, 5u, 6u}) {
    if (seed == 5u) UseClockSeeding();
    if (seed == 6u) clock.Advance(1);
    Reseed();
    const std::vector<int> drawn = Draws(3);
    Srand(seed);
    EXPECT_EQ(Draws(3), drawn) << "seed " << seed;
  }
}

// Without a schedule every run takes a fresh base and reports it, even with the clock standing
// still; the base repeats the run; a position taken between two reseeds continues the same seeds
// on another thread, whatever the seeding.
TEST(Reseed, DefaultSeedingTakesAFreshBasePerRunThatRepeatsIt) {
  testing::ManualClock clock;
  ScopedSeedSchedule keep(0, Engine::Classic);
  RemoveSeedSchedule();
  const auto run = [] {
    const std::optional<std::uint32_t> continued = CurrentRandomPosition().nextSeed;
    ReseedForRun();
    if (!SeedScheduleInstalled()) {
      EXPECT_NE(LastRunSeed(), continued) << "the run continued the previous run's schedule";
    }
    std::vector<int> drawn = Draws(3);
    const RandomPosition position = CurrentRandomPosition();
    Reseed();
    const std::vector<int> second = Draws(3);
    EXPECT_NE(second, drawn) << "a generation repeats the previous one's draws";
    std::vector<int> resumed;
    std::thread([&] {
      RestoreRandomPosition(position);
      Reseed();
      resumed = Draws(3);
    }).join();
    EXPECT_EQ(resumed, second);
    drawn.insert(drawn.end(), second.begin(), second.end());
    return drawn;
  };
  const std::vector<int> first = run();
  const std::optional<std::uint32_t> firstBase = LastRunSeed();
  const std::vector<int> second = run();
  ASSERT_TRUE(LastRunSeed().has_value());
  const std::uint32_t base = *LastRunSeed();
  EXPECT_NE(firstBase, base);
  EXPECT_NE(first, second);
  InstallSeedSchedule(base);
  EXPECT_EQ(run(), second);
  EXPECT_EQ(LastRunSeed(), base);
  UseClockSeeding();
  EXPECT_FALSE(CurrentRandomPosition().nextSeed.has_value());
}

TEST(PickList, KeepsOrderOfAppendingAndRejectsBadIndices) {
  int a = 0;
  int b = 0;
  PickList<int> list;
  EXPECT_THROW(list.At(0), std::invalid_argument);
  list.AddTail(&a, 2);
  list.AddTail(&b);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.At(1), &a);
  EXPECT_EQ(list.At(2), &b);
  EXPECT_THROW(list.At(3), std::invalid_argument);
  EXPECT_THROW(list.At(-1), std::invalid_argument);
}

}  // namespace
}  // namespace allelix
