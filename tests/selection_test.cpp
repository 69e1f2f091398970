// Selection: which old individual each new slot copies for given draws, how many draws each
// operator makes, the objects it leaves in the slots, and what an exception leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "allelix/generator.h"
#include "support.h"

namespace allelix::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// One call of Select on a population of distinct individuals, with scripted draws.
struct SelectCase {
  std::string name;
  int selectionType;
  std::vector<double> fitness;
  std::vector<int> draws;
  std::vector<int> sources;  // the old slot each new slot must copy
  std::size_t drawn;         // draws Select must make
  int kept = 0;              // leading slots that must keep their own object
  double rate = 0.75;
  int eliteCount = 20;
  std::vector<int> twinsOfFirst = {};  // slots whose genes are made equal to slot 0's
};

void PrintTo(const SelectCase& c, std::ostream* out) { *out << c.name; }

class SelectTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectTest, FillsEverySlotFromItsSourceWithANewUnmarkedObject) {
  const SelectCase& c = GetParam();
  CGeneratorEx<CMyIndividual> generator;
  generator.selectionType = c.selectionType;
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
  EXPECT_EQ(generator.Select(generator.population), c.selectionType == 3);
  EXPECT_EQ(draws.Drawn(), c.drawn);

  ASSERT_EQ(generator.population->count, static_cast<int>(c.sources.size()));
  std::set<const void*> objects;
  std::set<const void*> genes;
  for (std::size_t s = 0; s < c.sources.size(); ++s) {
    SCOPED_TRACE("slot " + std::to_string(s));
    const CMyIndividual* now = slots[s];
    const auto source = static_cast<std::size_t>(c.sources[s]);
    EXPECT_EQ(DecodeBits(*now), bits[source]);
    EXPECT_FALSE(now->marked);
    if (static_cast<int>(s) < c.kept) {
      EXPECT_EQ(now, old[s]);
    } else if (c.selectionType != 3) {  // elitism deletes before it clones again
      EXPECT_EQ(std::count(old.begin(), old.end(), now), 0);
    }
    objects.insert(now);
    for (int j = 0; j < now->geneCount; ++j) genes.insert(now->genes[j]);
  }
  EXPECT_EQ(objects.size(), c.sources.size());
  EXPECT_EQ(genes.size(), 8 * c.sources.size());
}

const std::vector<double> Example = {2.5, 0.5, 0, 1};  // mean 1

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Operators, SelectTest,
    ::testing::Values(
        // Roulette: the list holds 0, 0, 0, 1, 3; slot k copies entry draw % 5.
        SelectCase{"RouletteExample", 1, Example, {4, 3, 8, 0}, {3, 1, 1, 0}, 4},
        // Slot 2 equals slot 0: their group of 2 earns 2 entries and the twin none of its own,
        // so the list is 0, 0, 1 (ungrouped it would be 0, 1, 2, 2).
        SelectCase{"RouletteGroupsTwins", 1, {2, 1, 3}, {1, 2, 5}, {0, 1, 1}, 3, 0, 0.75, 20, {2}},
        SelectCase{"RouletteAllZeroPicksOldSlots", 1, {0, 0, 0}, {5, 2, 3}, {2, 2, 0}, 3},
        // Expected 4.5 would earn 5 entries; capped at 3, the list is 0, 0, 0, 2, 2.
        SelectCase{"RouletteCapsAtCount", 1, {3, -2, 1}, {3, 4, 0}, {2, 2, 0}, 3},
        SelectCase{"RouletteVanishingMean", 1, {1, -1 + 1e-15}, {1, 0}, {0, 0}, 2},
        SelectCase{"RouletteInfiniteFitness", 1, {Inf, 1}, {3, 4}, {1, 0}, 2},
        // Stochastic remainder: whole copies 0, 0, 3; the list holds 0 five times, 1 five times.
        SelectCase{"RemainderExampleLowTenth", 2, Example, {13}, {0, 0, 3, 0}, 1},
        SelectCase{"RemainderExampleHighTenth", 2, Example, {17}, {0, 0, 3, 1}, 1},
        SelectCase{"RemainderAllZeroPicksOldSlots", 2, {0, 0, 0}, {4, 1, 2}, {1, 1, 2}, 3},
        // Expected copies 1.37 and 0.63: one whole copy of slot 0, then a list of 3 tenths of
        // slot 0 (3.7 truncated) and 6 of slot 1.
        SelectCase{.name = "RemainderTruncatesTenths", .selectionType = 2, .fitness = {1.37, 0.63},
                   .draws = {3}, .sources = {0, 1}, .drawn = 1},
        // A group of three (slots 0 to 2) expects (3 * share) * 5, exactly 3 whole copies, where
        // 3 * (share * 5) gives 2.9999999999999996; slots 3 and 4 expect 0.9999999999999999:
        // 9 tenths each.
        SelectCase{.name = "RemainderGroupOfThreeMultipliesInOrder", .selectionType = 2,
                   .fitness = {0.3, 0.3, 0.3, 0.3, 0.3}, .draws = {0, 9},
                   .sources = {0, 0, 0, 3, 4}, .drawn = 2, .twinsOfFirst = {1, 2}},
        // Stale fitness: slot 1 expects 3 whole copies of 2 slots.
        SelectCase{"RemainderStopsAtLastSlot", 2, {-1, 3}, {}, {1, 1}, 0},
        // Elitism: k = min(count / 2, eliteCount), slot count - 1 - i copies slot i.
        SelectCase{"ElitismHalfOfAnOddCount", 3, {5, 4, 3, 2, 1}, {}, {0, 1, 2, 1, 0}, 0, 3},
        SelectCase{"ElitismOne", 3, {5, 4, 3, 2}, {}, {0, 1, 2, 0}, 0, 3, 0.75, 1},
        SelectCase{"ElitismNegative", 3, {5, 4}, {}, {0, 1}, 0, 2, 0.75, -1},
        // Tournament: first, second, trial per slot; the trial passes at most the threshold.
        SelectCase{"TournamentTieFavoursFirst", 4, {1, 1}, {1, 0, 0, 0, 1, 9999999}, {1, 1}, 6},
        SelectCase{"TournamentContestantsModCount", 4, {1, 2, 3},
                   {4, 8, 9999999, 5, 3, 0, 2, 2, 0}, {1, 2, 2}, 9},
        SelectCase{"TournamentThresholdDraw", 4, {1, 2}, {0, 1, 5000000, 0, 1, 5000001}, {1, 0},
                   6, 0, 0.5},
        SelectCase{"TournamentRateZero", 4, {1, 2}, {0, 1, 0, 0, 1, 1}, {1, 0}, 6, 0, 0.0},
        SelectCase{"TournamentRateInfinite", 4, {1, 2}, {0, 1, 9999999, 1, 0, 9999999}, {1, 1}, 6,
                   0, Inf},
        SelectCase{"TournamentRateNaN", 4, {1, 2}, {0, 1, 0, 1, 0, 0}, {0, 0}, 6, 0, NaN},
        SelectCase{"TournamentAlone", 4, {7}, {5, 9, 3}, {0}, 3},
        // Nothing to select from, or no operator: nothing drawn, every object stays.
        SelectCase{"RemainderEmpty", 2, {}, {}, {}, 0},
        SelectCase{"TournamentEmpty", 4, {}, {}, {}, 0},
        SelectCase{"UnknownZero", 0, {1, 2, 3}, {}, {0, 1, 2}, 0, 3},
        SelectCase{"UnknownFive", 5, {1, 2, 3}, {}, {0, 1, 2}, 0, 3}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// An individual whose Clone throws once its allowance of clones is spent; counts live objects.
class CFragile final : public CIndividual<CFragile, CBit> {
 public:
  static inline int live = 0;
  static inline int allowance = -1;  // clones that succeed before one throws; negative: all

  CFragile() { ++live; }
  ~CFragile() { --live; }

  CFragile* Clone() override {
    if (allowance == 0) throw std::runtime_error("clone failed");
    --allowance;
    return CIndividual::Clone();
  }
};

// Runs Select of a type on the example population with a Clone allowance and draws, expects it
// to throw E, and checks what stays: the old objects except in the last `replaced` slots, no
// mark, and no object leaked.
template <class E>
void ExpectSelectThrows(int type, int allowance, std::vector<int> draws, int replaced = 0) {
  SCOPED_TRACE("type " + std::to_string(type) + ", allowance " + std::to_string(allowance));
  {
    CGeneratorEx<CFragile> generator;
    generator.selectionType = type;
    generator.population = MakePopulation<CFragile>(Example).release();
    CFragile** slots = generator.population->individuals;
    const std::vector<CFragile*> old(slots, slots + 4);
    CFragile::allowance = allowance;
    const ScriptedDraws scripted(std::move(draws));
    EXPECT_THROW(generator.Select(generator.population), E);
    CFragile::allowance = -1;
    for (int s = 0; s < 4; ++s) {
      EXPECT_EQ(slots[s] == old[s], s < 4 - replaced) << "slot " << s;
      EXPECT_FALSE(slots[s]->marked) << "slot " << s;
    }
    EXPECT_EQ(CFragile::live, 4);
  }
  EXPECT_EQ(CFragile::live, 0);
}

// The rebuilding operators keep the old population on any failed clone or pick-list lookup;
// elitism keeps the copies it made before the failed clone (k = 2 here).
TEST(SelectionFailure, EachOperatorLeavesAWholeUnmarkedPopulationAndLeaksNothing) {
  for (const int type : {1, 2, 4}) {
    for (int n = 0; n < 4; ++n) ExpectSelectThrows<std::runtime_error>(type, n, {13});
  }
  ExpectSelectThrows<std::invalid_argument>(1, -1, {-1});
  ExpectSelectThrows<std::invalid_argument>(2, -1, {-1});
  for (int n = 0; n < 2; ++n) ExpectSelectThrows<std::runtime_error>(3, n, {}, n);
}

}  // namespace
}  // namespace allelix::testing
