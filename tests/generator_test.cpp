// The generator: building a population, the pairing pass and its draws, the best rule, and the
// crossover and selection operators, each checked on scripted draws.
#include "allelix/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
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

// Initialize starts a run of the seed schedule, from a fresh base without one. (Its other
// duties, the draws, the shape, the scores and the best, every golden and parallel run checks.)
TEST(Initialize, StartsARunOfTheSeedSchedule) {
  const ScopedSeedSchedule schedule(70);
  RemoveSeedSchedule();
  Generator generator;
  generator.Initialize(10, 4);
  EXPECT_NE(LastRunSeed(), 70u);
  EXPECT_EQ(CurrentRandomPosition().nextSeed, LastRunSeed().value() + 1);
  // On several threads, a batch of one is scored on the caller's thread: scored all the same.
  CGeneratorEx<CFaulty> single;
  single.evaluationThreads = 2;
  single.fitnessContext = 1;  // no individual scores 0.0, a new one's fitness
  single.Initialize(1, 3);
  const CFaulty& only = *single.population->individuals[0];
  EXPECT_EQ(only.fitness, demo::DecodeBits(only) + 1.0);
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
  for (const auto& [size, genes, named] : {std::tuple{-1, 14, "populationSize"},
                                           {10, 0, "geneCount"},
                                           {1 << 30, 1 << 29, "populationSize"}}) {
    const CountedDraws draws;
    try {
      generator.Initialize(size, genes);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).rfind(named, 0), 0u) << error.what();
    }
    EXPECT_EQ(
        std::tuple(draws.Drawn(), GeneratorStateOf(generator), CurrentRandomPosition().nextSeed),
        std::tuple(0u, before, nextSeed));
  }
  for (const int threads : {1, 4}) {
    generator.evaluationThreads = threads;
    const CFaulty* best = generator.best;
    CFaulty::fitnessesLeft = 9;  // the old population is released before the new one is built
    EXPECT_THROW(generator.Initialize(50, 9), std::runtime_error);
    CFaulty::fitnessesLeft = -1;
    generator.NextGeneration();  // nothing to evolve: counts nothing
    EXPECT_EQ(std::tuple(generator.population, generator.best, generator.generation),
              std::tuple(nullptr, best, 1));
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
    const ManualClock clock(1000, 1);  // every call lasts one second
    Generator generator;
    generator.mutationRate = 0.25;
    generator.Initialize(30, 14);
    for (int g = 0; g < 3; ++g) generator.NextGeneration();
    generator.bestGeneration = 2;
    generator.best->fitness = 2.0;  // fitter than anything the problem scores
    const CMyIndividual* best = generator.best;
    c.apply(generator);
    EXPECT_EQ(std::tuple(generator.generation, generator.bestGeneration, generator.elapsedSeconds,
                         generator.best, generator.population != nullptr, generator.mutationRate),
              std::tuple(c.keepsCounters ? 3 : 0, c.keepsCounters ? 2 : 0, c.elapsedSeconds,
                         c.keepsBest ? best : nullptr, c.holdsPopulation, 0.25));
  }
}

// Records the hooks the pairing pass calls, by the slot of each individual; the first Mutate
// marks the slots listed in hookMarks, as a user's hook may.
class CRecordingGenerator final : public Generator {
 public:
  std::vector<int> hookMarks;
  std::string events;

  // The hooks here exchange nothing, so every individual keeps its slot.
  std::string SlotOf(const CMyIndividual* individual) const {
    CMyIndividual* const* slots = population->individuals;
    return std::to_string(std::find(slots, slots + population->count, individual) - slots);
  }
  void Mutate(CMyIndividual*& individual) override {
    events += "M" + SlotOf(individual) + " ";
    for (const int s : std::exchange(hookMarks, {})) population->individuals[s]->marked = true;
  }
  void Crossover(CMyIndividual*& first, CMyIndividual*& second) override {
    events += "C" + SlotOf(first) + SlotOf(second) + " ";
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
    int size = 4;
    std::vector<int> hookMarks = {};
  } cases[] = {
      // i0: offset 2 -> slot 2; i1: offset 0 counts as 1, slot 2 is taken so slot 3.
      {1.0, 1.0, {2, 9999999, 0, 0, 5, 0, 0, 0}, "C02 M0 C13 M1 M2 M3 "},
      {0.0, 0.0, {3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, ""},
      // i0 starts its search at slot 3; i1 and i2 then find only the marked slot 3.
      {1.0, 0.0, {3, 0, 0, 2, 0, 0, 0, 0}, "C03 "},
      // Slot 0's Mutate marks slots 2 and 3: i1's search passes both, and the paired slot 4.
      {1.0, 1.0, {4, 0, 0, 0, 0, 0, 0, 0}, "C04 M0 M1 M2 M3 M4 ", 5, {2, 3}},
  };
  for (const auto& c : cases) {
    CRecordingGenerator generator;
    generator.selectionType = SelectionNone;
    generator.crossoverRate = c.crossoverRate;
    generator.mutationRate = c.mutationRate;
    generator.Initialize(c.size, 3);
    generator.hookMarks = c.hookMarks;
    const ScriptedDraws draws(c.draws);
    generator.NextGeneration();
    // Nothing stays marked, nothing is shared.
    EXPECT_EQ(std::tuple(generator.events, draws.Drawn(), BrokenInvariant(generator, c.size, 3)),
              std::tuple(c.events, c.draws.size(), ""));
  }
}

TEST(Mutate, FlipsTheDrawnGeneUnlessLocked) {
  Generator generator;
  std::unique_ptr<CMyIndividual> owner(MakeIndividual({0, 0, 0}));
  owner->genes[2]->locked = true;
  CMyIndividual empty;
  CMyIndividual* individuals[] = {owner.get(), owner.get(), &empty};
  const ScriptedDraws draws({4, 2});
  for (CMyIndividual*& individual : individuals) generator.Mutate(individual);
  // Gene 1 flipped, locked gene 2 kept; no draw for an individual without genes.
  EXPECT_EQ(std::pair(demo::DecodeBits(*owner), draws.Drawn()), std::pair(2u, std::size_t{2}));
}

// An individual nobody can rank: FindFittest never finds one.
class CUnrankable final : public CIndividual<CUnrankable, CBit> {
 public:
  double Fitness(int) override { return NaN; }
};

// The fittest is the first of equal maxima above the floor (the float -1e12 widened). (That best
// is replaced only by a strictly fitter one the golden runs check.)
TEST(BestRule, TheFittestIsTheFirstOfEqualMaximaAboveTheFloor) {
  Generator probe;
  probe.population = MakePopulation({NaN, -999999995904.0, -1e300, -1e300}).release();
  probe.populationSize = 4;
  EXPECT_EQ(probe.FindFittest(), nullptr);
  for (const int s : {2, 3}) probe.population->individuals[s]->fitness = -999999995903.99;
  EXPECT_EQ(probe.FindFittest(), probe.population->individuals[2]);

  CGeneratorEx<CUnrankable> unrankable;  // nobody ranks: no best, yet the generation counts
  unrankable.Initialize(10, 4);
  unrankable.NextGeneration();
  EXPECT_EQ(std::tuple(unrankable.best, unrankable.generation), std::tuple(nullptr, 1));
}

// Crosses a first individual of `length` fresh genes with a second of 14 and maps, per index of
// the first, 'x' where the two swapped their gene objects and '.' where both kept theirs; a gene
// object anywhere else, or a change in the second's extra genes, fails.
std::string Exchanged(Generator& generator, int length) {
  const std::unique_ptr<CMyIndividual> first(MakeIndividual(std::vector<int>(length, 0)));
  const std::unique_ptr<CMyIndividual> second(MakeIndividual(std::vector<int>(14, 0)));
  const std::vector<CBit*> mine(first->genes, first->genes + length);
  const std::vector<CBit*> theirs(second->genes, second->genes + 14);
  CMyIndividual *a = first.get(), *b = second.get();
  generator.Crossover(a, b);
  // 'x' for the other individual's gene object, '.' for its own one, '?' for anything else.
  const auto code = [](const CBit* gene, const CBit* own, const CBit* other) {
    return gene == other ? 'x' : gene == own ? '.' : '?';
  };
  std::string map, back;
  for (int i = 0; i < length; ++i) map += code(first->genes[i], mine[i], theirs[i]);
  for (int i = 0; i < 14; ++i)
    back += code(second->genes[i], theirs[i], i < length ? mine[i] : nullptr);
  EXPECT_EQ(back, map + std::string(14 - map.size(), '.'));
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
      {One, {2}, "xxx.."},
      // Two-point: a span up to half of n exchanges the inner block, a longer one the outer.
      {Two, {17, 18}, "...xxxxxxxx..."},
      {Two, {0, 8}, "x.......xxxxxx"},
      {Two, {0, 3}, "x..xx"},  // half of 5 is 2
      {Two, {5, 0}, ".....x........"},
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
  std::vector<int> sources;  // the number each new slot must hold: the slot it copies, 0 for twins
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

// An individual with an IsEqual of its own, which the selections group by the walk that calls
// it, pair by pair, instead of by their own comparison of the bits.
class CUserEqualIndividual final : public CIndividual<CUserEqualIndividual, CBit> {
 public:
  bool IsEqual(CUserEqualIndividual* other) override { return CIndividual::IsEqual(other); }
};

// Every slot copies its source into a new unmarked object of its own, with the draws scripted,
// whichever way the individuals are grouped.
template <class TIndividual>
void CheckSelect(const SelectCase& c) {
  CGeneratorEx<TIndividual> generator;
  generator.selectionType = c.type;
  generator.tournamentRate = c.rate;
  generator.eliteCount = c.eliteCount;
  generator.population = MakePopulation<TIndividual>(c.fitness).release();
  TIndividual** slots = generator.population->individuals;
  for (const int twin : c.twinsOfFirst) {
    for (int j = 0; j < 8; ++j) slots[twin]->genes[j]->value = slots[0]->genes[j]->value;
  }
  std::vector<int> now;
  const std::vector<TIndividual*> old(slots, slots + c.fitness.size());

  const ScriptedDraws draws(c.draws);
  EXPECT_EQ(generator.Select(generator.population), c.type == SelectionElitism);
  const int count = static_cast<int>(c.sources.size());
  ASSERT_EQ(BrokenInvariant(generator, count, 8), "");  // nothing shared, nothing marked
  for (int s = 0; s < count; ++s) {
    now.push_back(static_cast<int>(demo::DecodeBits(*slots[s])));
    // Kept slots hold their own object, the others new ones; elitism deletes before it clones
    // again, so its new objects may reuse the old addresses.
    const std::ptrdiff_t at = std::find(old.begin(), old.end(), slots[s]) - old.begin();
    if (s < c.kept || c.type != SelectionElitism) {
      EXPECT_EQ(at, s < c.kept ? s : std::ssize(old)) << s;
    }
  }
  EXPECT_EQ(std::pair(now, draws.Drawn()), std::pair(c.sources, c.draws.size()));
}

TEST(Select, FillsEverySlotFromItsSourceWithANewUnmarkedObject) {
  for (const SelectCase& c : SelectCases) {
    SCOPED_TRACE(c.name);
    CheckSelect<CMyIndividual>(c);
    CheckSelect<CUserEqualIndividual>(c);
  }
}

// The rebuilding operators keep the old population on any failed clone or pick-list lookup;
// elitism keeps the copies it made before the failed clone (k = 2 here). Nothing stays marked.
// (That nothing leaks the out-of-memory sweep checks.)
TEST(Select, AFailureLeavesAWholeUnmarkedPopulation) {
  // Clones that succeed before one fails (-1: all, but the draw lies outside the pick list).
  for (const int type : {Roulette, Remainder, Elitism, Tournament}) {
    for (int allowance = type >= Elitism ? 0 : -1; allowance < (type == Elitism ? 2 : 4);
         ++allowance) {
      const int replaced = type == Elitism ? allowance : 0;
      SCOPED_TRACE("type " + std::to_string(type) + ", allowance " + std::to_string(allowance));
      CGeneratorEx<CFaulty> generator;
      generator.selectionType = type;
      generator.population = MakePopulation<CFaulty>(Example).release();
      CFaulty** slots = generator.population->individuals;
      const std::vector<CFaulty*> old(slots, slots + 4);
      CFaulty::clonesLeft = allowance;
      const ScriptedDraws scripted({allowance < 0 ? -1 : 13});  // -1: outside the pick list
      if (allowance < 0) {
        EXPECT_THROW(generator.Select(generator.population), std::invalid_argument);
      } else {
        EXPECT_THROW(generator.Select(generator.population), std::runtime_error);
      }
      CFaulty::clonesLeft = -1;
      EXPECT_EQ(BrokenInvariant(generator, 4, 8), "");
      for (int s = 0; s < 4; ++s) EXPECT_EQ(slots[s] == old[s], s < 4 - replaced) << "slot " << s;
    }
  }
}

// A Select that releases the population and leaves null in its place, returning or throwing:
// the generation fails with an exception, and the generator is left without a population and
// without a pending repair, as after ClearAll, ready for Initialize.
class CReleasingGenerator final : public Generator {
 public:
  bool throws = false;
  bool Select(Population*& selected) override {
    delete std::exchange(selected, nullptr);
    if (throws) throw std::runtime_error("select failed");
    return false;
  }
};

TEST(Select, LeavingNoPopulationFailsTheGeneration) {
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "throws" : "returns");
    CReleasingGenerator generator;
    generator.throws = throws;
    generator.Initialize(6, 3);
    if (throws) {
      EXPECT_THROW(generator.NextGeneration(), std::runtime_error);
    } else {
      EXPECT_THROW(generator.NextGeneration(), std::logic_error);
    }
    EXPECT_EQ(generator.population, nullptr);
    EXPECT_FALSE(generator.RepairPending());
    generator.RepairFailedGeneration();
    generator.NextGeneration();  // without a population: nothing
    EXPECT_EQ(generator.generation, 0);
    generator.Initialize(6, 3);
    EXPECT_EQ(BrokenInvariant(generator, 6, 3), "");
  }
}

}  // namespace
}  // namespace allelix::testing
