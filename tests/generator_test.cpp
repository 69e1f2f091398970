#include "allelix/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace allelix {
namespace {

using testing::CMyIndividual;
using testing::ScriptedDraws;

// Records the hooks the pairing pass calls, by the slot each individual held at the start.
class CRecordingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  std::map<const CMyIndividual*, int> slotOf;
  std::vector<std::string> events;

  CRecordingGenerator() {
    selectionType = 0;
    ScopedSeedSchedule schedule(11);
    Initialize(4, 3);
    for (int i = 0; i < 4; ++i) slotOf[population->individuals[i]] = i;
  }
  void Mutate(CMyIndividual*& individual) override {
    events.push_back("M" + std::to_string(slotOf[individual]));
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    events.push_back("C" + std::to_string(slotOf[first]) + std::to_string(slotOf[second]));
  }
};

std::vector<std::string> Events(std::initializer_list<std::string> events) { return events; }

TEST(Generator, DefaultsAreTheWidenedSinglePrecisionConstants) {
  const CGeneratorEx<CMyIndividual> generator;
  EXPECT_EQ(generator.elapsedSeconds, 0);
  EXPECT_EQ(generator.populationSize, 1000);
  EXPECT_EQ(generator.mutationRate, 0.0010000000474974513);
  EXPECT_EQ(generator.crossoverRate, 0.6000000238418579);
  EXPECT_EQ(generator.generation, 0);
  EXPECT_EQ(generator.population, nullptr);
  EXPECT_EQ(generator.best, nullptr);
  EXPECT_EQ(generator.fitnessContext, 0);
  EXPECT_EQ(generator.bestGeneration, 0);
  EXPECT_EQ(generator.crossoverType, 2);
  EXPECT_EQ(generator.uniformRate, 0.10000000149011612);
  EXPECT_EQ(generator.selectionType, 3);
  EXPECT_EQ(generator.eliteCount, 20);
  EXPECT_EQ(generator.tournamentRate, 0.75);
  EXPECT_EQ(generator.stopFlags, 2u);
  EXPECT_EQ(generator.convergenceThreshold, 0.8999999761581421);
  EXPECT_EQ(generator.maxMinutes, 5);
  EXPECT_EQ(generator.maxGenerations, 3000);
  EXPECT_EQ(generator.maxStagnation, 50);
}

TEST(Initialize, BuildsScoresAndSortsAThousandIndividualsOfFourteenGenes) {
  ScopedSeedSchedule schedule(3);
  testing::CountedDraws counted;
  CGeneratorEx<CMyIndividual> generator;
  generator.populationSize = 500;
  generator.Initialize();
  EXPECT_EQ(counted.Drawn(), 14000u);
  ASSERT_EQ(generator.populationSize, 1000);
  ASSERT_EQ(generator.population->count, 1000);
  for (int i = 0; i < 1000; ++i) {
    CMyIndividual* individual = generator.population->individuals[i];
    ASSERT_EQ(individual->geneCount, 14);
    for (int j = 0; j < 14; ++j) EXPECT_FALSE(individual->genes[j]->locked);
    EXPECT_EQ(individual->fitness, individual->Fitness(0));
    EXPECT_FALSE(individual->marked);
    if (i > 0) {
      EXPECT_GE(generator.population->individuals[i - 1]->fitness, individual->fitness);
    }
  }
  CMyIndividual* first = generator.population->individuals[0];
  EXPECT_NE(generator.best, first);
  EXPECT_TRUE(generator.best->IsEqual(first));
  EXPECT_EQ(generator.best->fitness, first->fitness);
  EXPECT_EQ(generator.generation, 0);
  EXPECT_EQ(generator.bestGeneration, 0);
}

TEST(Initialize, GeneIsSetByAnOddDrawInSlotOrder) {
  ScriptedDraws draws({1, 2, 7, 4, 4, 3});
  CGeneratorEx<CMyIndividual> generator;
  generator.Initialize(2, 3);
  // 101 (fitness of 5) sorts ahead of 001 (1): both square far below 1522756.
  EXPECT_EQ(demo::Decode(*generator.population->individuals[0]), 5);
  EXPECT_EQ(demo::Decode(*generator.population->individuals[1]), 1);
  EXPECT_EQ(draws.Drawn(), 6u);
}

TEST(Initialize, ASecondCallReplacesThePopulationAndKeepsACurrentBest) {
  ScopedSeedSchedule schedule(5);
  CGeneratorEx<CMyIndividual> generator;
  generator.Initialize(50, 14);
  generator.best->fitness = 2.0;  // fitter than anything the problem can score
  const CMyIndividual* best = generator.best;
  generator.generation = 7;
  generator.bestGeneration = 3;
  generator.Initialize(50, 14);
  EXPECT_EQ(generator.best, best);
  EXPECT_EQ(generator.generation, 7);
  EXPECT_EQ(generator.bestGeneration, 3);
  generator.best->fitness = -1.0;
  generator.Initialize(50, 14);
  EXPECT_NE(generator.best, best);
  EXPECT_EQ(generator.best->fitness, generator.population->individuals[0]->fitness);
}

// What each call keeps of a generator that has run three generations: Initialize keeps the
// counters and a best at least as fit as its new population, ClearAll keeps the counters and
// the elapsed time, and Reset keeps only the settings.
TEST(StartingOver, EachCallKeepsWhatItSays) {
  using Generator = CGeneratorEx<CMyIndividual>;
  const struct {
    const char* call;
    void (*apply)(Generator&);
    bool keepsCounters, keepsBest, holdsPopulation;
    std::int64_t elapsedSeconds;
  } cases[] = {
      {.call = "Initialize",
       .apply = [](Generator& g) { g.Initialize(30, 14); },
       .keepsCounters = true,
       .keepsBest = true,
       .holdsPopulation = true,
       .elapsedSeconds = 1},
      {.call = "ClearAll",
       .apply = [](Generator& g) { g.ClearAll(); },
       .keepsCounters = true,
       .keepsBest = false,
       .holdsPopulation = false,
       .elapsedSeconds = 4},
      {.call = "Reset",
       .apply = [](Generator& g) { g.Reset(); },
       .keepsCounters = false,
       .keepsBest = false,
       .holdsPopulation = false,
       .elapsedSeconds = 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    ScopedSeedSchedule schedule(4);
    std::int64_t now = 1000;
    SetClock([&now] { return now++; });  // every call lasts one second
    Generator generator;
    generator.mutationRate = 0.25;
    generator.Initialize(30, 14);
    for (int g = 0; g < 3; ++g) generator.NextGeneration();
    generator.bestGeneration = 2;
    generator.best->fitness = 2.0;  // fitter than anything the problem scores
    const CMyIndividual* best = generator.best;
    c.apply(generator);
    SetClock(nullptr);
    EXPECT_EQ(generator.generation, c.keepsCounters ? 3 : 0);
    EXPECT_EQ(generator.bestGeneration, c.keepsCounters ? 2 : 0);
    EXPECT_EQ(generator.elapsedSeconds, c.elapsedSeconds);
    EXPECT_EQ(generator.best, c.keepsBest ? best : nullptr);
    EXPECT_EQ(generator.population != nullptr, c.holdsPopulation);
    EXPECT_EQ(generator.mutationRate, 0.25);
    EXPECT_EQ(generator.populationSize, 30);
  }
}

// Initialize starts a run of the seed schedule (from a fresh base without one), and each
// generation reseeds with the schedule's next seed.
TEST(Initialize, StartsARunAndEachGenerationTakesTheNextSeed) {
  for (const bool scheduled : {true, false}) {
    SCOPED_TRACE(scheduled ? "scheduled" : "unscheduled");
    const ScopedSeedSchedule schedule(70);
    if (!scheduled) RemoveSeedSchedule();
    CGeneratorEx<CMyIndividual> generator;
    generator.Initialize(10, 4);
    ASSERT_TRUE(LastRunSeed().has_value());
    const std::uint32_t base = *LastRunSeed();
    if (scheduled) {
      EXPECT_EQ(base, 70u);
    }
    EXPECT_EQ(CurrentRandomPosition().nextSeed, base + 1);
    generator.NextGeneration();
    EXPECT_EQ(CurrentRandomPosition().nextSeed, base + 2);
  }
}

// Exposes the rate trial of the pairing pass.
class CTrialProbe final : public CGeneratorEx<CMyIndividual> {
 public:
  using CGeneratorEx::Trial;
};

TEST(Trial, SucceedsWhenTheDrawModuloTenMillionIsBelowRateTimesTenMillion) {
  const struct {
    double rate;
    int draw;
    bool succeeds;
  } cases[] = {
      {.rate = 0.25, .draw = 2499999, .succeeds = true},
      {.rate = 0.25, .draw = 2500000, .succeeds = false},
      {.rate = 0.25, .draw = 12499999, .succeeds = true},
      {.rate = 0.25, .draw = 12500000, .succeeds = false},
      // The default 0.001f widened is 0.0010000000474974513: its threshold lies above 10000.
      {.rate = static_cast<double>(0.001f), .draw = 10000, .succeeds = true},
  };
  for (const auto& c : cases) {
    const ScriptedDraws draws({c.draw});
    EXPECT_EQ(CTrialProbe::Trial(c.rate), c.succeeds) << c.rate << ", draw " << c.draw;
    EXPECT_EQ(draws.Drawn(), 1u);
  }
}

TEST(PairingPass, DrawsInOrderAndPairsEachIndexOnce) {
  CRecordingGenerator generator;
  generator.crossoverRate = 1.0;
  generator.mutationRate = 1.0;
  // i0: offset 2 -> slot 2, trial, mutation; i1: offset 0 counts as 1, slot 2 is taken so slot 3.
  ScriptedDraws draws({2, 9999999, 0, 0, 5, 0, 0, 0});
  generator.NextGeneration();
  EXPECT_EQ(generator.events, Events({"C02", "M0", "C13", "M1", "M2", "M3"}));
  EXPECT_EQ(draws.Drawn(), 8u);
}

TEST(PairingPass, FailedTrialsStillDrawAndLeaveEveryoneUnmarked) {
  CRecordingGenerator generator;
  generator.crossoverRate = 0.0;
  generator.mutationRate = 0.0;
  for (int i = 0; i < 4; ++i) generator.population->individuals[i]->fitness = -5.0;
  // Per index: partner draw, a trial draw when a partner exists, the mutation trial.
  ScriptedDraws draws({3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
  generator.NextGeneration();
  EXPECT_TRUE(generator.events.empty());
  EXPECT_EQ(draws.Drawn(), 11u);
  for (int i = 0; i < 4; ++i) {
    CMyIndividual* individual = generator.population->individuals[i];
    EXPECT_FALSE(individual->marked);
    EXPECT_EQ(individual->fitness, individual->Fitness(0)) << "slot " << i;
  }
}

TEST(PairingPass, SearchSkipsTheOffsetAndGoesOnAfterAnIndividualWithoutPartner) {
  CRecordingGenerator generator;
  generator.crossoverRate = 1.0;
  generator.mutationRate = 0.0;
  // i0 starts its search at slot 3 (slots 1 and 2 are never looked at); i1 and i2 then find only
  // the marked slot 3 and have no partner, so no trial draw; i3 is marked.
  ScriptedDraws draws({3, 0, 0, 2, 0, 0, 0, 0});
  generator.NextGeneration();
  EXPECT_EQ(generator.events, Events({"C03"}));
  EXPECT_EQ(draws.Drawn(), 8u);
}

// Marks runs of slots in Select and, from some crossovers, a slot three beyond the partner; records
// the pairs crossed and every number drawn.
class CMarkingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  std::map<const CMyIndividual*, int> slotOf;
  std::vector<std::pair<int, int>> pairs;
  std::vector<int> drawn;

  CMarkingGenerator() {
    crossoverType = CrossoverNone;
    crossoverRate = 0.7;
    mutationRate = 0.0;  // the trials draw, Mutate never does
  }
  static bool MarkedBySelect(int slot) { return (slot >= 100 && slot < 300) || slot % 7 == 3; }
  static bool CrossoverMarks(int first) { return first % 4 == 0; }

  bool Select(Population*& selected) override {
    for (int i = 0; i < selected->count; ++i) {
      slotOf[selected->individuals[i]] = i;
      selected->individuals[i]->marked = MarkedBySelect(i);
    }
    SetDrawSource([this] { return drawn.emplace_back(EngineRand()); });
    return false;
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    pairs.emplace_back(slotOf[first], slotOf[second]);
    const int beyond = slotOf[second] + 3;
    if (CrossoverMarks(slotOf[first]) && beyond < population->count) {
      population->individuals[beyond]->marked = true;
    }
  }
};

// The pairs a straightforward search makes from the same marks and draws: each unmarked slot
// scans every slot from its offset on.
std::vector<std::pair<int, int>> PairsOfALinearSearch(int n, const std::vector<int>& drawn,
                                                      double crossoverRate) {
  std::vector<bool> marked(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) marked[i] = CMarkingGenerator::MarkedBySelect(i);
  std::vector<std::pair<int, int>> pairs;
  std::size_t k = 0;
  for (int i = 0; i < n; ++i) {
    if (!marked[i]) {
      const int offset = std::max(1, drawn.at(k++) % (n - i));
      int partner = i + offset;
      while (partner < n && marked[partner]) ++partner;
      if (partner < n && drawn.at(k++) % 10000000 < crossoverRate * 10000000.0) {
        pairs.emplace_back(i, partner);
        if (CMarkingGenerator::CrossoverMarks(i) && partner + 3 < n) marked[partner + 3] = true;
        marked[i] = marked[partner] = true;
      }
    }
    ++k;  // the mutation trial
  }
  EXPECT_EQ(k, drawn.size());
  return pairs;
}

TEST(PairingPass, PartnerIsTheFirstUnmarkedSlotFromTheOffsetWhoeverMarkedTheOthers) {
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    ScopedSeedSchedule schedule(seed);
    CMarkingGenerator generator;
    generator.Initialize(400, 6);
    generator.NextGeneration();
    SetDrawSource(nullptr);
    ASSERT_GT(generator.pairs.size(), 50u);
    EXPECT_EQ(generator.pairs, PairsOfALinearSearch(400, generator.drawn, generator.crossoverRate))
        << "seed " << seed;
  }
}

TEST(Mutate, FlipsTheDrawnGeneUnlessLocked) {
  CGeneratorEx<CMyIndividual> generator;
  CMyIndividual* individual = testing::MakeIndividual({0, 0, 0});
  {
    ScriptedDraws draws({4});
    generator.Mutate(individual);
    EXPECT_TRUE(individual->genes[1]->value);
    EXPECT_EQ(draws.Drawn(), 1u);
  }
  individual->genes[2]->locked = true;
  {
    ScriptedDraws draws({2, 0});
    generator.Mutate(individual);
    EXPECT_FALSE(individual->genes[2]->value);
    EXPECT_FALSE(individual->genes[0]->value);
    EXPECT_EQ(draws.Drawn(), 1u);
  }
  delete individual;
  CMyIndividual* empty = new CMyIndividual();
  ScriptedDraws draws;
  generator.Mutate(empty);
  EXPECT_EQ(draws.Drawn(), 0u);
  delete empty;
}

TEST(BestRule, ReplacesOnlyWhenStrictlyFitter) {
  ScopedSeedSchedule schedule(9);
  CGeneratorEx<CMyIndividual> generator;
  generator.selectionType = 0;
  generator.mutationRate = 0.0;
  generator.crossoverRate = 0.0;
  generator.Initialize(30, 14);
  const CMyIndividual* best = generator.best;
  generator.NextGeneration();  // nothing changes: an equally fit fittest keeps best
  EXPECT_EQ(generator.best, best);
  EXPECT_EQ(generator.generation, 1);
  EXPECT_EQ(generator.bestGeneration, 0);

  generator.best->fitness = -1.0;
  generator.NextGeneration();
  EXPECT_NE(generator.best, best);
  EXPECT_EQ(generator.bestGeneration, 2);
  for (int i = 0; i < generator.populationSize; ++i) {
    EXPECT_NE(generator.population->individuals[i], generator.best);
  }
}

// Elitism asks for a sort after the pass (with eliteCount 0 it copies nothing); no selection
// leaves the order the mutations of the pass made.
TEST(NextGeneration, SortsAfterThePassOnlyWhenSelectionAsks) {
  for (const int selection : {SelectionElitism, SelectionNone}) {
    ScopedSeedSchedule schedule(4);
    CGeneratorEx<CMyIndividual> generator;
    generator.selectionType = selection;
    generator.eliteCount = 0;
    generator.mutationRate = 1.0;
    generator.Initialize(50, 14);
    generator.NextGeneration();
    const CMyIndividual* const* slots = generator.population->individuals;
    const bool sorted = std::is_sorted(
        slots, slots + 50, [](const auto* a, const auto* b) { return a->fitness > b->fitness; });
    EXPECT_EQ(sorted, selection == SelectionElitism) << "selection " << selection;
  }
}

TEST(FindFittest, TakesTheFirstOfEqualMaximaAboveTheFloor) {
  CGeneratorEx<CMyIndividual> generator;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  generator.population = testing::MakePopulation({nan, 3, 1, 3}).release();
  generator.populationSize = 4;
  EXPECT_EQ(generator.FindFittest(), generator.population->individuals[1]);
  generator.ClearAll();

  generator.population = testing::MakePopulation({nan, -999999995904.0, -1e300}).release();
  generator.populationSize = 3;
  EXPECT_EQ(generator.FindFittest(), nullptr);
  generator.population->individuals[2]->fitness = -999999995903.99;
  EXPECT_EQ(generator.FindFittest(), generator.population->individuals[2]);
}

// An individual nobody can rank: FindFittest never finds one.
class CUnrankable final : public CIndividual<CUnrankable, CBit> {
 public:
  double Fitness(int) override { return std::numeric_limits<double>::quiet_NaN(); }
};

TEST(BestRule, WithoutAFittestIndividualNothingChanges) {
  ScopedSeedSchedule schedule(1);
  CGeneratorEx<CUnrankable> generator;
  generator.Initialize(10, 4);
  EXPECT_EQ(generator.best, nullptr);
  generator.NextGeneration();
  EXPECT_EQ(generator.best, nullptr);
  EXPECT_EQ(generator.generation, 1);
  EXPECT_EQ(generator.bestGeneration, 0);
}

TEST(ElapsedSeconds, CountsWholeSecondsOfEachCall) {
  ScopedSeedSchedule schedule(1);
  std::int64_t now = 1000;
  SetClock([&now] { return now++; });  // every reading is one second later
  CGeneratorEx<CMyIndividual> generator;
  generator.Initialize(20, 14);
  EXPECT_EQ(generator.elapsedSeconds, 1);
  generator.NextGeneration();
  generator.NextGeneration();
  EXPECT_EQ(generator.elapsedSeconds, 3);
  SetClock([] { return std::int64_t{5000}; });
  generator.NextGeneration();
  EXPECT_EQ(generator.elapsedSeconds, 3);
  generator.Initialize(20, 14);  // restarts the count
  EXPECT_EQ(generator.elapsedSeconds, 0);
  SetClock(nullptr);
}

}  // namespace
}  // namespace allelix
