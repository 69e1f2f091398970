#include "allelix/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "invariants.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Scores a chromosome as its binary number plus the context; throws once the countdown runs out.
std::atomic<int> fitnessCountdown{INT_MAX};

class CNumber final : public CIndividual<CNumber, CBit> {
 public:
  double Fitness(int context) override {
    if (fitnessCountdown.fetch_sub(1) <= 1) throw std::runtime_error("fitness failed");
    return demo::DecodeBits(*this) + context;
  }
};

TEST(Generator, DefaultsAreTheWidenedSinglePrecisionConstants) {
  const CGeneratorEx<CMyIndividual> g;
  EXPECT_EQ(g.mutationRate, 0.0010000000474974513);
  EXPECT_EQ(g.crossoverRate, 0.6000000238418579);
  EXPECT_EQ(g.uniformRate, 0.10000000149011612);
  EXPECT_EQ(g.convergenceThreshold, 0.8999999761581421);
  EXPECT_EQ(g.tournamentRate, 0.75);
  EXPECT_EQ(g.crossoverType, CrossoverTwoPoint);
  EXPECT_EQ(g.selectionType, SelectionElitism);
}

// Initialize draws one gene a draw in slot order (odd: set), scores, sorts, and keeps a clone of
// the top; Initialize() is the demonstration's shape whatever populationSize held.
TEST(Initialize, BuildsScoresAndSortsExactlyTheAskedShape) {
  {
    const ScriptedDraws draws({1, 2, 7, 4, 4, 3});
    CGeneratorEx<CMyIndividual> generator;
    generator.Initialize(2, 3);
    // 101 (fitness of 5) sorts ahead of 001 (1): both square far below 1522756.
    EXPECT_EQ(demo::Decode(*generator.population->individuals[0]), 5);
    EXPECT_EQ(demo::Decode(*generator.population->individuals[1]), 1);
  }
  const struct {
    int size, genes, threads;
  } shapes[] = {{.size = 0, .genes = 0, .threads = 1},  // Initialize(): 1000 x 14
                {.size = 1, .genes = 1, .threads = 2},
                {.size = 2, .genes = 100, .threads = 2},
                {.size = 37, .genes = 5, .threads = 2}};
  for (const auto& shape : shapes) {
    const int size = shape.size > 0 ? shape.size : 1000, genes = shape.size > 0 ? shape.genes : 14;
    SCOPED_TRACE(std::to_string(size) + " x " + std::to_string(genes));
    ScopedSeedSchedule schedule(5);
    CGeneratorEx<CNumber> generator;
    generator.evaluationThreads = shape.threads;
    generator.fitnessContext = 1;  // no individual scores 0.0, a new one's fitness
    generator.populationSize = 500;
    const CountedDraws draws;
    shape.size > 0 ? generator.Initialize(size, genes) : generator.Initialize();
    EXPECT_EQ(draws.Drawn(), static_cast<std::size_t>(size) * genes);
    EXPECT_EQ(generator.populationSize, size);
    ASSERT_EQ(BrokenInvariant(generator, size, genes), "");
    for (int i = 0; i < size; ++i) {
      CNumber* individual = generator.population->individuals[i];
      EXPECT_EQ(individual->fitness, individual->Fitness(1));
      EXPECT_GE(generator.population->individuals[i > 0 ? i - 1 : 0]->fitness, individual->fitness);
    }
    EXPECT_EQ(IndividualStateOf(*generator.best),
              IndividualStateOf(*generator.population->individuals[0]));
  }
}

// Bad shapes throw naming the argument before any change or draw, the seed schedule included;
// a Fitness that throws leaves no population but keeps best and the counters.
TEST(Initialize, FailsBeforeAnyChangeOrLeavesNoPopulation) {
  ScopedSeedSchedule schedule(21);
  ManualClock clock;
  CGeneratorEx<CNumber> generator;
  generator.Initialize(30, 6);
  generator.NextGeneration();
  const GeneratorState before = GeneratorStateOf(generator);
  const struct {
    int size, genes;
    const char* named;
  } shapes[] = {{.size = INT_MIN, .genes = 14, .named = "populationSize"},
                {.size = 0, .genes = 0, .named = "populationSize"},
                {.size = 10, .genes = 0, .named = "geneCount"},
                {.size = INT_MAX / 2, .genes = INT_MAX / 4, .named = "populationSize"}};
  for (const auto& shape : shapes) {
    const CountedDraws draws;
    try {
      generator.Initialize(shape.size, shape.genes);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).rfind(shape.named, 0), 0u) << error.what();
    }
    EXPECT_EQ(draws.Drawn(), 0u);
    EXPECT_EQ(GeneratorStateOf(generator), before);
  }
  generator.NextGeneration();
  ScopedSeedSchedule twinSchedule(21);
  CGeneratorEx<CNumber> twin;
  twin.Initialize(30, 6);
  twin.NextGeneration();
  twin.NextGeneration();
  EXPECT_EQ(GeneratorStateOf(generator).population, GeneratorStateOf(twin).population);

  for (const int threads : {1, 4}) {
    generator.evaluationThreads = threads;
    const CNumber* best = generator.best;
    fitnessCountdown = 10;  // the old population is released before the new one is built
    EXPECT_THROW(generator.Initialize(50, 9), std::runtime_error);
    fitnessCountdown = INT_MAX;
    EXPECT_EQ(generator.population, nullptr);
    EXPECT_EQ(generator.best, best);
    generator.NextGeneration();  // nothing to evolve: counts nothing
    EXPECT_EQ(generator.generation, 2);
    generator.Initialize(50, 9);
  }
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
      // clang-format off
      {.call = "Initialize", .apply = [](Generator& g) { g.Initialize(30, 14); }, .keepsCounters = true, .keepsBest = true, .holdsPopulation = true, .elapsedSeconds = 1},
      {.call = "ClearAll", .apply = [](Generator& g) { g.ClearAll(); }, .keepsCounters = true, .keepsBest = false, .holdsPopulation = false, .elapsedSeconds = 4},
      {.call = "Reset", .apply = [](Generator& g) { g.Reset(); }, .keepsCounters = false, .keepsBest = false, .holdsPopulation = false, .elapsedSeconds = 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    ScopedSeedSchedule schedule(4);
    const ManualClock clock(1000, 1);  // every call lasts one second
    Generator generator;
    generator.mutationRate = 0.25;
    generator.Initialize(30, 14);
    for (int g = 0; g < 3; ++g) generator.NextGeneration();
    generator.bestGeneration = 2;
    generator.best->fitness = 2.0;  // fitter than anything the problem scores
    const CMyIndividual* best = generator.best;
    c.apply(generator);
    EXPECT_EQ(generator.generation, c.keepsCounters ? 3 : 0);
    EXPECT_EQ(generator.bestGeneration, c.keepsCounters ? 2 : 0);
    EXPECT_EQ(generator.elapsedSeconds, c.elapsedSeconds);
    EXPECT_EQ(generator.best, c.keepsBest ? best : nullptr);
    EXPECT_EQ(generator.population != nullptr, c.holdsPopulation);
    EXPECT_EQ(generator.mutationRate, 0.25);
  }
}

// Initialize starts a run of the seed schedule (from a fresh base without one), and each
// generation reseeds with the schedule's next seed.
TEST(Initialize, StartsARunAndEachGenerationTakesTheNextSeed) {
  for (const bool scheduled : {true, false}) {
    const ScopedSeedSchedule schedule(70);
    if (!scheduled) RemoveSeedSchedule();
    CGeneratorEx<CMyIndividual> generator;
    generator.Initialize(10, 4);
    ASSERT_TRUE(LastRunSeed().has_value());
    const std::uint32_t base = *LastRunSeed();
    EXPECT_EQ(base == 70u, scheduled);
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

// Records the hooks the pairing pass calls, by the slot each individual held at the start.
class CRecordingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  std::map<const CMyIndividual*, int> slotOf;
  std::string events;

  CRecordingGenerator(double crossover, double mutation) {
    selectionType = SelectionNone;
    crossoverRate = crossover;
    mutationRate = mutation;
    ScopedSeedSchedule schedule(11);
    Initialize(4, 3);
    for (int i = 0; i < 4; ++i) slotOf[population->individuals[i]] = i;
  }
  void Mutate(CMyIndividual*& individual) override {
    events += "M" + std::to_string(slotOf[individual]) + " ";
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    events += "C" + std::to_string(slotOf[first]) + std::to_string(slotOf[second]) + " ";
  }
};

// Per unmarked index: the partner offset, a trial draw only when a partner exists, then for
// every index the mutation trial; marks last only for the generation.
TEST(PairingPass, DrawsInOrderAndPairsEachIndexOnce) {
  const struct {
    const char* name;
    double crossoverRate, mutationRate;
    std::vector<int> draws;  // exactly those the pass must make
    std::string events;
  } cases[] = {
      // i0: offset 2 -> slot 2; i1: offset 0 counts as 1, slot 2 is taken so slot 3.
      {.name = "pairs",
       .crossoverRate = 1.0,
       .mutationRate = 1.0,
       .draws = {2, 9999999, 0, 0, 5, 0, 0, 0},
       .events = "C02 M0 C13 M1 M2 M3 "},
      {.name = "failed trials",
       .crossoverRate = 0.0,
       .mutationRate = 0.0,
       .draws = {3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
       .events = ""},
      // i0 starts its search at slot 3; i1 and i2 then find only the marked slot 3.
      {.name = "no partner",
       .crossoverRate = 1.0,
       .mutationRate = 0.0,
       .draws = {3, 0, 0, 2, 0, 0, 0, 0},
       .events = "C03 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRecordingGenerator generator(c.crossoverRate, c.mutationRate);
    for (int i = 0; i < 4; ++i) generator.population->individuals[i]->fitness = -5.0;
    const ScriptedDraws draws(c.draws);
    generator.NextGeneration();
    EXPECT_EQ(generator.events, c.events);
    EXPECT_EQ(draws.Drawn(), c.draws.size());
    for (int i = 0; i < 4; ++i) {
      CMyIndividual* individual = generator.population->individuals[i];
      EXPECT_FALSE(individual->marked);
      EXPECT_EQ(individual->fitness, individual->Fitness(0)) << "slot " << i;
    }
  }
}

// Marks slots in Select and, from every fourth crossover, a slot three beyond the partner, and
// records the pairs crossed and every number drawn.
class CMarkingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  std::vector<std::pair<int, int>> pairs;
  std::vector<int> drawn;

  CMarkingGenerator() {
    crossoverType = CrossoverNone;
    crossoverRate = 0.7;
    mutationRate = 0.0;  // the trials draw, Mutate never does
  }
  static bool MarkedBySelect(int slot) { return (slot >= 100 && slot < 300) || slot % 7 == 3; }
  bool Select(Population*& selected) override {
    for (int i = 0; i < selected->count; ++i) {
      selected->individuals[i]->fitness = i;  // the slot, for Crossover to read
      selected->individuals[i]->marked = MarkedBySelect(i);
    }
    SetDrawSource([this] { return drawn.emplace_back(EngineRand()); });
    return false;
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    const int slot = static_cast<int>(first->fitness), partner = static_cast<int>(second->fitness);
    pairs.emplace_back(slot, partner);
    if (slot % 4 == 0 && partner + 3 < population->count) {
      population->individuals[partner + 3]->marked = true;
    }
  }
};

// The partner is the first unmarked slot from the drawn offset on, whoever marked the others: the
// pairs a plain scan makes from the same marks and draws.
TEST(PairingPass, PartnerIsTheFirstUnmarkedSlotFromTheOffsetWhoeverMarkedTheOthers) {
  for (const std::uint32_t seed : {1u, 2u}) {
    ScopedSeedSchedule schedule(seed);
    CMarkingGenerator generator;
    generator.Initialize(400, 6);
    generator.NextGeneration();
    SetDrawSource(nullptr);
    std::vector<bool> marked;
    for (int i = 0; i < 400; ++i) marked.push_back(CMarkingGenerator::MarkedBySelect(i));
    std::vector<std::pair<int, int>> pairs;
    std::size_t k = 0;
    for (int i = 0; i < 400; ++i, ++k) {  // ++k: the mutation trial
      if (marked[i]) continue;
      int partner = i + std::max(1, generator.drawn.at(k++) % (400 - i));
      while (partner < 400 && marked[partner]) ++partner;
      if (partner == 400 || generator.drawn.at(k++) % 10000000 >= 7000000) continue;
      pairs.emplace_back(i, partner);
      if (i % 4 == 0 && partner + 3 < 400) marked[partner + 3] = true;
      marked[i] = marked[partner] = true;
    }
    EXPECT_EQ(k, generator.drawn.size());
    ASSERT_GT(pairs.size(), 50u);
    EXPECT_EQ(generator.pairs, pairs) << "seed " << seed;
  }
}

TEST(Mutate, FlipsTheDrawnGeneUnlessLocked) {
  CGeneratorEx<CMyIndividual> generator;
  CMyIndividual* individual = MakeIndividual({0, 0, 0});
  const std::unique_ptr<CMyIndividual> owner(individual);
  individual->genes[2]->locked = true;
  const ScriptedDraws draws({4, 2});
  generator.Mutate(individual);
  generator.Mutate(individual);
  EXPECT_EQ(draws.Drawn(), 2u);
  EXPECT_EQ(demo::DecodeBits(*individual), 2u);  // gene 1 flipped, locked gene 2 kept
  CMyIndividual empty;
  CMyIndividual* none = &empty;
  generator.Mutate(none);
  EXPECT_EQ(draws.Drawn(), 2u);
}

// An individual nobody can rank: FindFittest never finds one.
class CUnrankable final : public CIndividual<CUnrankable, CBit> {
 public:
  double Fitness(int) override { return std::numeric_limits<double>::quiet_NaN(); }
};

// The fittest is the first of equal maxima above the floor (the float -1e12 widened); best is
// replaced only by a strictly fitter one.
TEST(BestRule, ReplacesOnlyWhenStrictlyFitter) {
  CGeneratorEx<CMyIndividual> probe;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  probe.population = MakePopulation({nan, 3, 1, 3}).release();
  probe.populationSize = 4;
  EXPECT_EQ(probe.FindFittest(), probe.population->individuals[1]);
  probe.ClearAll();
  probe.population = MakePopulation({nan, -999999995904.0, -1e300}).release();
  probe.populationSize = 3;
  EXPECT_EQ(probe.FindFittest(), nullptr);
  probe.population->individuals[2]->fitness = -999999995903.99;
  EXPECT_EQ(probe.FindFittest(), probe.population->individuals[2]);

  ScopedSeedSchedule schedule(9);
  CGeneratorEx<CMyIndividual> generator;
  generator.selectionType = SelectionNone;
  generator.mutationRate = generator.crossoverRate = 0.0;
  generator.Initialize(30, 14);
  const CMyIndividual* best = generator.best;
  generator.NextGeneration();  // nothing changes: an equally fit fittest keeps best
  EXPECT_EQ(generator.best, best);
  generator.best->fitness = -1.0;
  generator.NextGeneration();
  EXPECT_NE(generator.best, best);
  EXPECT_EQ(generator.bestGeneration, 2);
  best = generator.best;
  generator.best->fitness = -1.0;
  generator.Initialize(30, 14);  // a fitter new population replaces best too
  EXPECT_NE(generator.best, best);

  CGeneratorEx<CUnrankable> unrankable;  // nobody ranks: no best, yet the generation counts
  unrankable.Initialize(10, 4);
  unrankable.NextGeneration();
  EXPECT_EQ(unrankable.best, nullptr);
  EXPECT_EQ(unrankable.generation, 1);
}

// Records IsEqual and Clone calls by the slot each individual started in.
class CLoggingIndividual final : public CIndividual<CLoggingIndividual, CBit> {
 public:
  static inline std::string calls;
  int slot = -1;

  bool IsEqual(CLoggingIndividual* other) override {
    calls += "E" + std::to_string(slot) + std::to_string(other->slot) + " ";
    return CIndividual::IsEqual(other);
  }
  CLoggingIndividual* Clone() override {
    calls += "C" + std::to_string(slot) + " ";
    return CIndividual::Clone();
  }
};

// A user's own IsEqual is called as the grouping walk calls it: each representative on every
// later unmarked individual, each group's whole copies cloned before the next group is formed.
TEST(Grouping, AUsersIsEqualIsCalledAsTheWalkCallsIt) {
  // Slots 0 and 3 are equal, and so are 1, 4 and 5; all fitness 1, so each group earns as many
  // whole copies as it has members, and stochastic remainder draws nothing.
  auto population = MakePopulation<CLoggingIndividual>(std::vector<double>(6, 1.0));
  for (const auto& [twin, of] : {std::pair{3, 0}, std::pair{4, 1}, std::pair{5, 1}}) {
    for (int j = 0; j < 8; ++j) {
      population->individuals[twin]->genes[j]->value = population->individuals[of]->genes[j]->value;
    }
  }
  for (int i = 0; i < 6; ++i) population->individuals[i]->slot = i;
  const ScriptedDraws draws;
  CGeneratorEx<CLoggingIndividual>::StochasticRemainderSelection(population.get(), 1.0);
  EXPECT_EQ(CLoggingIndividual::calls, "E01 E02 E03 E04 E05 C0 C0 E12 E14 E15 C1 C1 C1 C2 ");
  EXPECT_EQ(draws.Drawn(), 0u);
}

}  // namespace
}  // namespace allelix::testing
