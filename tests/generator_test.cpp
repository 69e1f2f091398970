// The generator: building a population, the pairing pass and its draws, the best rule, and the
// crossover and selection operators, each checked on scripted draws.
#include "allelix/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "invariants.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
using Generator = CGeneratorEx<CMyIndividual>;

// Initialize draws one gene a draw in slot order (odd: set), scores and sorts. (Its other duties,
// the shape, the scores on many threads and the best, every golden and parallel run checks.)
TEST(Initialize, DrawsEachGeneInSlotOrderAndSorts) {
  const ScriptedDraws draws({1, 2, 7, 4, 4, 3});
  Generator generator;
  generator.Initialize(2, 3);
  // 101 (fitness of 5) sorts ahead of 001 (1): both square far below 1522756.
  EXPECT_EQ(demo::Decode(*generator.population->individuals[0]), 5);
  EXPECT_EQ(demo::Decode(*generator.population->individuals[1]), 1);
  EXPECT_EQ(draws.Drawn(), 6u);
  // On several threads, a batch of one is scored on the caller's thread: scored all the same.
  CGeneratorEx<CFaulty> single;
  single.evaluationThreads = 2;
  single.fitnessContext = 1;  // no individual scores 0.0, a new one's fitness
  single.Initialize(1, 3);
  EXPECT_EQ(single.population->individuals[0]->fitness, 1.0);
}

// Bad shapes throw naming the argument before any change or draw, the seed schedule included;
// a Fitness that throws leaves no population but keeps best and the counters.
TEST(Initialize, FailsBeforeAnyChangeOrLeavesNoPopulation) {
  ScopedSeedSchedule schedule(21);
  ManualClock clock;
  CGeneratorEx<CFaulty> generator;
  generator.Initialize(30, 6);
  generator.NextGeneration();
  const GeneratorState before = GeneratorStateOf(generator);
  const std::optional<std::uint32_t> nextSeed = CurrentRandomPosition().nextSeed;
  for (const auto& [size, genes, named] : {std::tuple{INT_MIN, 14, "populationSize"},
                                           {0, 0, "populationSize"},
                                           {10, 0, "geneCount"},
                                           {INT_MAX / 2, INT_MAX / 4, "populationSize"}}) {
    const CountedDraws draws;
    try {
      generator.Initialize(size, genes);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).rfind(named, 0), 0u) << error.what();
    }
    EXPECT_EQ(draws.Drawn(), 0u);
    EXPECT_EQ(GeneratorStateOf(generator), before);
    EXPECT_EQ(CurrentRandomPosition().nextSeed, nextSeed);
  }
  for (const int threads : {1, 4}) {
    generator.evaluationThreads = threads;
    const CFaulty* best = generator.best;
    CFaulty::fitnessesLeft = 9;  // the old population is released before the new one is built
    EXPECT_THROW(generator.Initialize(50, 9), std::runtime_error);
    CFaulty::fitnessesLeft = -1;
    EXPECT_EQ(generator.population, nullptr);
    EXPECT_EQ(generator.best, best);
    generator.NextGeneration();  // nothing to evolve: counts nothing
    EXPECT_EQ(generator.generation, 1);
    generator.Initialize(50, 9);
  }
}

// What each call keeps of a generator that has run three generations: Initialize keeps the
// counters and a best at least as fit as its new population, ClearAll keeps the counters and
// the elapsed time, and Reset keeps only the settings.
TEST(StartingOver, EachCallKeepsWhatItSays) {
  const struct {
    void (*apply)(Generator&);
    bool keepsCounters, keepsBest, holdsPopulation;
    std::int64_t elapsedSeconds;
  } cases[] = {
      {[](Generator& g) { g.Initialize(30, 14); }, true, true, true, 1},
      {[](Generator& g) { g.ClearAll(); }, true, false, false, 4},
      {[](Generator& g) { g.Reset(); }, false, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.elapsedSeconds);
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
    Generator generator;
    generator.Initialize(10, 4);
    ASSERT_TRUE(LastRunSeed().has_value());
    const std::uint32_t base = *LastRunSeed();
    EXPECT_EQ(base == 70u, scheduled);
    EXPECT_EQ(CurrentRandomPosition().nextSeed, base + 1);
    generator.NextGeneration();
    EXPECT_EQ(CurrentRandomPosition().nextSeed, base + 2);
  }
}

// Records the hooks the pairing pass calls, by the slot each individual held at the start.
class CRecordingGenerator final : public Generator {
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
// every index the mutation trial; marks last only for the generation. A rate trial succeeds when
// the draw modulo ten million lies below rate times ten million: a rate of 0 never does.
TEST(PairingPass, DrawsInOrderAndPairsEachIndexOnce) {
  const struct {
    double crossoverRate, mutationRate;
    std::vector<int> draws;  // exactly those the pass must make
    std::string events;
  } cases[] = {
      // i0: offset 2 -> slot 2; i1: offset 0 counts as 1, slot 2 is taken so slot 3.
      {1.0, 1.0, {2, 9999999, 0, 0, 5, 0, 0, 0}, "C02 M0 C13 M1 M2 M3 "},
      {0.0, 0.0, {3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, ""},
      // i0 starts its search at slot 3; i1 and i2 then find only the marked slot 3.
      {1.0, 0.0, {3, 0, 0, 2, 0, 0, 0, 0}, "C03 "},
  };
  for (const auto& c : cases) {
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
class CMarkingGenerator final : public Generator {
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
  ScopedSeedSchedule schedule(1);
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
  EXPECT_EQ(generator.pairs, pairs);
}

TEST(Mutate, FlipsTheDrawnGeneUnlessLocked) {
  Generator generator;
  std::unique_ptr<CMyIndividual> owner(MakeIndividual({0, 0, 0}));
  CMyIndividual* individual = owner.get();
  individual->genes[2]->locked = true;
  const ScriptedDraws draws({4, 2});
  generator.Mutate(individual);
  generator.Mutate(individual);
  EXPECT_EQ(demo::DecodeBits(*individual), 2u);  // gene 1 flipped, locked gene 2 kept
  CMyIndividual empty;
  CMyIndividual* none = &empty;
  generator.Mutate(none);
  EXPECT_EQ(draws.Drawn(), 2u);
}

// An individual nobody can rank: FindFittest never finds one.
class CUnrankable final : public CIndividual<CUnrankable, CBit> {
 public:
  double Fitness(int) override { return NaN; }
};

// The fittest is the first of equal maxima above the floor (the float -1e12 widened); best is
// replaced only by a strictly fitter one.
TEST(BestRule, ReplacesOnlyWhenStrictlyFitter) {
  Generator probe;
  probe.population = MakePopulation({NaN, 3, 1, 3}).release();
  probe.populationSize = 4;
  EXPECT_EQ(probe.FindFittest(), probe.population->individuals[1]);
  probe.ClearAll();
  probe.population = MakePopulation({NaN, -999999995904.0, -1e300}).release();
  probe.populationSize = 3;
  EXPECT_EQ(probe.FindFittest(), nullptr);
  probe.population->individuals[2]->fitness = -999999995903.99;
  EXPECT_EQ(probe.FindFittest(), probe.population->individuals[2]);

  ScopedSeedSchedule schedule(9);
  Generator generator;
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
  for (const auto& [twin, of] : {std::pair{3, 0}, {4, 1}, {5, 1}}) {
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

// Crosses a first individual of `length` fresh genes with a second of 14 and maps, per index of
// the first, 'x' where the two swapped their gene objects and '.' where both kept theirs; a gene
// object anywhere else, or a change in the second's extra genes, fails.
std::string Exchanged(Generator& generator, int length) {
  const std::unique_ptr<CMyIndividual> first(MakeIndividual(std::vector<int>(length, 0)));
  const std::unique_ptr<CMyIndividual> second(MakeIndividual(std::vector<int>(14, 0)));
  const std::vector<CBit*> mine(first->genes, first->genes + length);
  const std::vector<CBit*> theirs(second->genes, second->genes + 14);
  CMyIndividual* a = first.get();
  CMyIndividual* b = second.get();
  generator.Crossover(a, b);
  EXPECT_TRUE(a == first.get() && b == second.get());
  std::string map;
  for (int i = 0; i < 14; ++i) {
    const bool inFirst = i < length;
    if ((!inFirst || first->genes[i] == mine[i]) && second->genes[i] == theirs[i]) {
      if (inFirst) map += '.';
    } else {
      EXPECT_TRUE(inFirst && first->genes[i] == theirs[i] && second->genes[i] == mine[i]) << i;
      map += 'x';
    }
  }
  return map;
}

// One-point cuts at p = draw % n; two-point draws a = draw % n, then b = a + draw % (n - a);
// uniform truncates its threshold rate * 1000 once and draws once per gene, taken % 1000.
TEST(Crossover, EachTypeDrawsItsPointsInOrderAndExchangesTheRightBlock) {
  constexpr int One = CrossoverOnePoint, Two = CrossoverTwoPoint, Uniform = CrossoverUniform;
  const struct {
    int type;
    std::vector<int> draws;  // exactly those the type should make
    std::string exchanged;   // over a first of this many genes
    double uniformRate = 0.5;
  } cases[] = {
      // One-point exchanges the shorter block holding the point; of equal blocks, the leading.
      {One, {20}, "xxxxxxx......."},
      {One, {7}, ".......xxxxxxx"},
      {One, {0}, "x............."},
      {One, {13}, ".............x"},
      {One, {2}, "xxx.."},
      {One, {2}, "..xx"},
      // Two-point: a span up to half of n exchanges the inner block, a longer one the outer.
      {Two, {17, 18}, "...xxxxxxxx..."},
      {Two, {0, 7}, "xxxxxxxx......"},
      {Two, {0, 8}, "x.......xxxxxx"},
      {Two, {2, 10}, "xxx.........xx"},
      {Two, {1, 2}, ".xxx."},
      {Two, {0, 3}, "x..xx"},  // half of 5 is 2
      {Two, {5, 0}, ".....x........"},
      {Two, {5, 5}, "x"},
      {Uniform, {289, 290, 1289}, "x.x", 0.29},
      {Uniform, {698, 699}, "x.", static_cast<double>(0.7f)},  // 699.99998...
      {Uniform, {999, 999}, "xx", Inf},
      {Uniform, {0}, ".", NaN},
      {Uniform + 1, {}, ".............."},
      {One, {}, ""},
      {Two, {}, ""},  // no genes: no draw
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + ": " + c.exchanged);
    Generator generator;
    generator.crossoverType = c.type;
    generator.uniformRate = c.uniformRate;
    const ScriptedDraws draws(c.draws);
    EXPECT_EQ(Exchanged(generator, static_cast<int>(c.exchanged.size())), c.exchanged);
    EXPECT_EQ(draws.Drawn(), c.draws.size());
  }
}

// One call of Select on a population of distinct individuals, with scripted draws.
struct SelectCase {
  std::string name;
  int type;
  std::vector<double> fitness;
  std::vector<int> draws;    // exactly those Select must make
  std::vector<int> sources;  // the old slot each new slot must copy
  int kept = 0;              // leading slots that must keep their own object
  double rate = 0.75;
  int eliteCount = 20;
  std::vector<int> twinsOfFirst = {};  // slots whose genes are made equal to slot 0's
};

const std::vector<double> Example = {2.5, 0.5, 0, 1};  // mean 1
constexpr int Roulette = SelectionRouletteWheel, Remainder = SelectionStochasticRemainder;
constexpr int Elitism = SelectionElitism, Tournament = SelectionTournament;

// clang-format off
const SelectCase SelectCases[] = {
    // Roulette: the list holds 0, 0, 0, 1, 3; slot k copies entry draw % 5.
    {.name = "RouletteExample", .type = Roulette, .fitness = Example, .draws = {4, 3, 8, 0}, .sources = {3, 1, 1, 0}},
    // Slot 2 equals slot 0: their group of 2 earns 2 entries and the twin none of its own, so the
    // list is 0, 0, 1 (ungrouped it would be 0, 1, 2, 2).
    {.name = "RouletteGroupsTwins", .type = Roulette, .fitness = {2, 1, 3}, .draws = {1, 2, 5}, .sources = {0, 1, 1}, .twinsOfFirst = {2}},
    {.name = "RouletteAllZeroPicksOldSlots", .type = Roulette, .fitness = {0, 0, 0}, .draws = {5, 2, 3}, .sources = {2, 2, 0}},
    // Expected 4.5 would earn 5 entries; capped at 3, the list is 0, 0, 0, 2, 2.
    {.name = "RouletteCapsAtCount", .type = Roulette, .fitness = {3, -2, 1}, .draws = {3, 4, 0}, .sources = {2, 2, 0}},
    {.name = "RouletteInfiniteFitness", .type = Roulette, .fitness = {Inf, 1}, .draws = {3, 4}, .sources = {1, 0}},
    // Stochastic remainder: whole copies 0, 0, 3; the list holds 0 five times, 1 five times.
    {.name = "RemainderExample", .type = Remainder, .fitness = Example, .draws = {17}, .sources = {0, 0, 3, 1}},
    // Expected copies 1.37 and 0.63: one whole copy of slot 0, then a list of 3 tenths of slot 0
    // (3.7 truncated) and 6 of slot 1.
    {.name = "RemainderTruncatesTenths", .type = Remainder, .fitness = {1.37, 0.63}, .draws = {3}, .sources = {0, 1}},
    // A group of three (slots 0 to 2) expects (3 * share) * 5, exactly 3 whole copies, where
    // 3 * (share * 5) gives 2.9999999999999996; slots 3 and 4 expect 9 tenths each.
    {.name = "RemainderGroupOfThreeMultipliesInOrder", .type = Remainder, .fitness = {0.3, 0.3, 0.3, 0.3, 0.3}, .draws = {0, 9}, .sources = {0, 0, 0, 3, 4}, .twinsOfFirst = {1, 2}},
    {.name = "RemainderStopsAtLastSlot", .type = Remainder, .fitness = {-1, 3}, .draws = {}, .sources = {1, 1}},
    // Elitism: k = min(count / 2, eliteCount), slot count - 1 - i copies slot i.
    {.name = "ElitismHalfOfAnOddCount", .type = Elitism, .fitness = {5, 4, 3, 2, 1}, .draws = {}, .sources = {0, 1, 2, 1, 0}, .kept = 3},
    {.name = "ElitismNegative", .type = Elitism, .fitness = {5, 4}, .draws = {}, .sources = {0, 1}, .kept = 2, .eliteCount = -1},
    // Tournament: first, second, trial per slot; the trial passes at most the threshold.
    {.name = "TournamentTieFavoursFirst", .type = Tournament, .fitness = {1, 1}, .draws = {1, 0, 0, 0, 1, 9999999}, .sources = {1, 1}},
    {.name = "TournamentThresholdDraw", .type = Tournament, .fitness = {1, 2}, .draws = {0, 1, 5000000, 0, 1, 5000001}, .sources = {1, 0}, .rate = 0.5},
    {.name = "TournamentRateNaN", .type = Tournament, .fitness = {1, 2}, .draws = {0, 1, 0, 1, 0, 0}, .sources = {0, 0}, .rate = NaN},
    // Nothing to select from, or no operator: nothing drawn, every object stays.
    {.name = "TournamentEmpty", .type = Tournament, .fitness = {}, .draws = {}, .sources = {}},
    {.name = "Unknown", .type = 5, .fitness = {1, 2, 3}, .draws = {}, .sources = {0, 1, 2}, .kept = 3},
};
// clang-format on

// Every slot copies its source into a new unmarked object of its own, with the draws scripted.
TEST(Select, FillsEverySlotFromItsSourceWithANewUnmarkedObject) {
  for (const SelectCase& c : SelectCases) {
    SCOPED_TRACE(c.name);
    Generator generator;
    generator.selectionType = c.type;
    generator.tournamentRate = c.rate;
    generator.eliteCount = c.eliteCount;
    generator.population = MakePopulation(c.fitness).release();
    CMyIndividual** slots = generator.population->individuals;
    for (const int twin : c.twinsOfFirst) {
      for (int j = 0; j < 8; ++j) slots[twin]->genes[j]->value = slots[0]->genes[j]->value;
    }
    std::vector<std::uint32_t> bits;
    for (std::size_t i = 0; i < c.fitness.size(); ++i) bits.push_back(DecodeBits(*slots[i]));
    const std::vector<CMyIndividual*> old(slots, slots + c.fitness.size());

    const ScriptedDraws draws(c.draws);
    EXPECT_EQ(generator.Select(generator.population), c.type == SelectionElitism);
    EXPECT_EQ(draws.Drawn(), c.draws.size());
    ASSERT_EQ(generator.population->count, static_cast<int>(c.sources.size()));
    std::set<const void*> objects;
    for (std::size_t s = 0; s < c.sources.size(); ++s) {
      const CMyIndividual* now = slots[s];
      EXPECT_EQ(DecodeBits(*now), bits[static_cast<std::size_t>(c.sources[s])]) << "slot " << s;
      EXPECT_FALSE(now->marked) << "slot " << s;
      if (static_cast<int>(s) < c.kept) {
        EXPECT_EQ(now, old[s]) << "slot " << s;
      } else if (c.type != SelectionElitism) {  // elitism deletes before it clones again
        EXPECT_EQ(std::count(old.begin(), old.end(), now), 0) << "slot " << s;
      }
      objects.insert(now);
      objects.insert(now->genes, now->genes + now->geneCount);
    }
    EXPECT_EQ(objects.size(), 9 * c.sources.size()) << "an individual or a gene is shared";
  }
}

// The rebuilding operators keep the old population on any failed clone or pick-list lookup;
// elitism keeps the copies it made before the failed clone (k = 2 here). Nothing stays marked
// and nothing leaks.
TEST(Select, AFailureLeavesAWholeUnmarkedPopulationAndLeaksNothing) {
  struct Failure {
    int type, allowance, replaced;
    std::vector<int> draws;
  };
  std::vector<Failure> failures;
  for (const int type : {Roulette, Remainder, Tournament}) {
    for (int n = 0; n < 4; ++n) failures.push_back({type, n, 0, {13}});
  }
  failures.push_back({Roulette, -1, 0, {-1}});  // a draw outside the pick list
  failures.push_back({Remainder, -1, 0, {-1}});
  for (int n = 0; n < 2; ++n) failures.push_back({Elitism, n, n, {}});
  for (const Failure& f : failures) {
    SCOPED_TRACE("type " + std::to_string(f.type) + ", allowance " + std::to_string(f.allowance));
    const int alive = CFaulty::alive;
    {
      CGeneratorEx<CFaulty> generator;
      generator.selectionType = f.type;
      generator.population = MakePopulation<CFaulty>(Example).release();
      CFaulty** slots = generator.population->individuals;
      const std::vector<CFaulty*> old(slots, slots + 4);
      CFaulty::clonesLeft = f.allowance;
      const ScriptedDraws scripted(f.draws);
      if (f.allowance < 0) {
        EXPECT_THROW(generator.Select(generator.population), std::invalid_argument);
      } else {
        EXPECT_THROW(generator.Select(generator.population), std::runtime_error);
      }
      CFaulty::clonesLeft = -1;
      for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(slots[s] == old[s], s < 4 - f.replaced) << "slot " << s;
        EXPECT_FALSE(slots[s]->marked) << "slot " << s;
      }
      EXPECT_EQ(CFaulty::alive, alive + 4);
    }
    EXPECT_EQ(CFaulty::alive, alive);
  }
}

}  // namespace
}  // namespace allelix::testing
