#include "allelix/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"

namespace allelix {
namespace {

std::vector<int> Draws(int n) {
  std::vector<int> draws;
  for (int i = 0; i < n; ++i) draws.push_back(Rand());
  return draws;
}

TEST(RandomSource, EnginesProduceTheirKnownSequences) {
  ScopedSeedSchedule keep(0, Engine::Classic);
  Srand(1);
  EXPECT_EQ(Draws(5), (std::vector<int>{41, 18467, 6334, 26500, 19169}));

  SetEngine(Engine::Mt19937);
  Srand(5489);
  std::mt19937 reference(5489);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Rand(), static_cast<int>(reference() >> 1));

  SetEngine(Engine::Runtime);
  Srand(77);
  std::srand(77);
  const int expected = std::rand();
  Srand(77);
  EXPECT_EQ(Rand(), expected);
}

TEST(RandomSource, EnginesKeepSeparateStateAndNamesRoundTrip) {
  ScopedSeedSchedule keep(0, Engine::Classic);
  Srand(1);
  EXPECT_EQ(Rand(), 41);
  SetEngine(Engine::Mt19937);
  Rand();
  SetEngine(Engine::Classic);
  EXPECT_EQ(Rand(), 18467);
  // The names programs accept on their command line.
  const std::pair<Engine, std::string_view> names[] = {
      {Engine::Mt19937, "mt19937"}, {Engine::Classic, "classic"}, {Engine::Runtime, "runtime"}};
  for (const auto& [engine, name] : names) {
    EXPECT_EQ(EngineName(engine), name);
    EXPECT_EQ(EngineFromName(name), engine);
  }
}

TEST(RandomSource, StateIsPerThread) {
  ScopedSeedSchedule keep(0, Engine::Classic);
  Srand(1);
  std::thread other([] {
    SetEngine(Engine::Classic);
    Srand(99);
    for (int i = 0; i < 100; ++i) Rand();
  });
  other.join();
  EXPECT_EQ(Rand(), 41);
}

TEST(Reseed, ScheduleSeedsWithBasePlusKAndWraps) {
  ScopedSeedSchedule schedule(0xFFFFFFFEu, Engine::Classic);
  for (const std::uint32_t seed : {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u}) {
    Reseed();
    const std::vector<int> drawn = Draws(3);
    Srand(seed);  // seeding by hand does not advance the schedule
    EXPECT_EQ(Draws(3), drawn) << "seed " << seed;
  }
}

TEST(Reseed, ClockSeedingSeedsWithTheClocksLow32Bits) {
  testing::ManualClock clock(0x100000005LL);
  ScopedSeedSchedule keep(0, Engine::Classic);
  UseClockSeeding();
  Reseed();
  const std::vector<int> first = Draws(4);
  Reseed();  // same second: the same sequence again
  EXPECT_EQ(Draws(4), first);
  Srand(5);
  EXPECT_EQ(Draws(4), first);
  clock.Advance(1);
  Reseed();
  Srand(6);
  const std::vector<int> next = Draws(4);
  Reseed();
  EXPECT_EQ(Draws(4), next);
}

// Without a schedule every run takes a fresh base, and its generations follow a schedule from it,
// even with the clock standing still; the base repeats the run.
TEST(Reseed, DefaultSeedingTakesAFreshBasePerRunAndReportsIt) {
  testing::ManualClock clock;
  ScopedSeedSchedule keep(0, Engine::Classic);
  RemoveSeedSchedule();
  std::vector<std::vector<int>> runs;
  std::vector<std::uint32_t> bases;
  for (int run = 0; run < 2; ++run) {
    const std::optional<std::uint32_t> continued = CurrentRandomPosition().nextSeed;
    ReseedForRun();
    EXPECT_NE(LastRunSeed(), continued) << "the run continued the previous run's schedule";
    std::vector<int> drawn = Draws(3);
    Reseed();
    const std::vector<int> second = Draws(3);
    EXPECT_NE(second, drawn) << "a generation repeats the previous one's draws";
    drawn.insert(drawn.end(), second.begin(), second.end());
    runs.push_back(drawn);
    ASSERT_TRUE(LastRunSeed().has_value());
    bases.push_back(*LastRunSeed());
  }
  EXPECT_NE(bases[0], bases[1]);
  EXPECT_NE(runs[0], runs[1]);
  InstallSeedSchedule(bases[1]);
  ReseedForRun();
  std::vector<int> repeated = Draws(3);
  Reseed();
  const std::vector<int> second = Draws(3);
  repeated.insert(repeated.end(), second.begin(), second.end());
  EXPECT_EQ(repeated, runs[1]);
  EXPECT_EQ(LastRunSeed(), bases[1]);
}

// A position taken between two reseeds continues the same seeds on another thread.
TEST(Reseed, RestoredPositionContinuesTheSchedule) {
  for (const Seeding seeding : {Seeding::Schedule, Seeding::Entropy}) {
    ScopedSeedSchedule keep(41, Engine::Classic);
    if (seeding == Seeding::Entropy) RemoveSeedSchedule();
    ReseedForRun();
    const RandomPosition position = CurrentRandomPosition();
    ASSERT_TRUE(position.nextSeed.has_value());
    EXPECT_EQ(position.seeding, seeding);
    Reseed();
    const std::vector<int> expected = Draws(5);
    std::vector<int> resumed;
    std::thread elsewhere([&] {
      RestoreRandomPosition(position);
      Reseed();
      resumed = Draws(5);
    });
    elsewhere.join();
    EXPECT_EQ(resumed, expected);
  }
  ScopedSeedSchedule keep(0);
  UseClockSeeding();
  EXPECT_FALSE(CurrentRandomPosition().nextSeed.has_value());
}

TEST(Reseed, ScopedScheduleRestoresThePreviousState) {
  SetEngine(Engine::Mt19937);
  UseClockSeeding();
  {
    ScopedSeedSchedule schedule(7, Engine::Classic);
    EXPECT_TRUE(SeedScheduleInstalled());
    EXPECT_EQ(CurrentEngine(), Engine::Classic);
  }
  EXPECT_EQ(CurrentSeeding(), Seeding::Clock);
  RemoveSeedSchedule();
  EXPECT_EQ(CurrentEngine(), Engine::Mt19937);
}

TEST(PickList, KeepsOrderOfAppendingAndRejectsBadIndices) {
  int a = 0;
  int b = 0;
  PickList<int> list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.At(0), std::invalid_argument);
  list.AddTail(&a, 2);
  list.AddTail(&b);
  list.AddTail(&a);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.At(0), &a);
  EXPECT_EQ(list.At(1), &a);
  EXPECT_EQ(list.At(2), &b);
  EXPECT_EQ(list.At(3), &a);
  EXPECT_THROW(list.At(4), std::invalid_argument);
  EXPECT_THROW(list.At(-1), std::invalid_argument);
}

}  // namespace
}  // namespace allelix
