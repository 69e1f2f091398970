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
  int type;
  std::vector<double> fitness;
  std::vector<int> draws;    // exactly those Select must make
  std::vector<int> sources;  // the old slot each new slot must copy
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
    SCOPED_TRACE("slot " + std::to_string(s));
    const CMyIndividual* now = slots[s];
    EXPECT_EQ(DecodeBits(*now), bits[static_cast<std::size_t>(c.sources[s])]);
    EXPECT_FALSE(now->marked);
    if (static_cast<int>(s) < c.kept) {
      EXPECT_EQ(now, old[s]);
    } else if (c.type != SelectionElitism) {  // elitism deletes before it clones again
      EXPECT_EQ(std::count(old.begin(), old.end(), now), 0);
    }
    objects.insert(now);
    for (int j = 0; j < now->geneCount; ++j) objects.insert(now->genes[j]);
  }
  EXPECT_EQ(objects.size(), 9 * c.sources.size()) << "an individual or a gene is shared";
}

const std::vector<double> Example = {2.5, 0.5, 0, 1};  // mean 1
constexpr int Roulette = SelectionRouletteWheel;
constexpr int Remainder = SelectionStochasticRemainder;
constexpr int Elitism = SelectionElitism;
constexpr int Tournament = SelectionTournament;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Operators, SelectTest, ::testing::Values(
    // Roulette: the list holds 0, 0, 0, 1, 3; slot k copies entry draw % 5.
    SelectCase{.name = "RouletteExample", .type = Roulette, .fitness = Example, .draws = {4, 3, 8, 0}, .sources = {3, 1, 1, 0}},
    // Slot 2 equals slot 0: their group of 2 earns 2 entries and the twin none of its own, so the
    // list is 0, 0, 1 (ungrouped it would be 0, 1, 2, 2).
    SelectCase{.name = "RouletteGroupsTwins", .type = Roulette, .fitness = {2, 1, 3}, .draws = {1, 2, 5}, .sources = {0, 1, 1}, .twinsOfFirst = {2}},
    SelectCase{.name = "RouletteAllZeroPicksOldSlots", .type = Roulette, .fitness = {0, 0, 0}, .draws = {5, 2, 3}, .sources = {2, 2, 0}},
    // Expected 4.5 would earn 5 entries; capped at 3, the list is 0, 0, 0, 2, 2.
    SelectCase{.name = "RouletteCapsAtCount", .type = Roulette, .fitness = {3, -2, 1}, .draws = {3, 4, 0}, .sources = {2, 2, 0}},
    SelectCase{.name = "RouletteInfiniteFitness", .type = Roulette, .fitness = {Inf, 1}, .draws = {3, 4}, .sources = {1, 0}},
    // Stochastic remainder: whole copies 0, 0, 3; the list holds 0 five times, 1 five times.
    SelectCase{.name = "RemainderExample", .type = Remainder, .fitness = Example, .draws = {17}, .sources = {0, 0, 3, 1}},
    // Expected copies 1.37 and 0.63: one whole copy of slot 0, then a list of 3 tenths of slot 0
    // (3.7 truncated) and 6 of slot 1.
    SelectCase{.name = "RemainderTruncatesTenths", .type = Remainder, .fitness = {1.37, 0.63}, .draws = {3}, .sources = {0, 1}},
    // A group of three (slots 0 to 2) expects (3 * share) * 5, exactly 3 whole copies, where
    // 3 * (share * 5) gives 2.9999999999999996; slots 3 and 4 expect 9 tenths each.
    SelectCase{.name = "RemainderGroupOfThreeMultipliesInOrder", .type = Remainder, .fitness = {0.3, 0.3, 0.3, 0.3, 0.3}, .draws = {0, 9}, .sources = {0, 0, 0, 3, 4}, .twinsOfFirst = {1, 2}},
    SelectCase{.name = "RemainderStopsAtLastSlot", .type = Remainder, .fitness = {-1, 3}, .draws = {}, .sources = {1, 1}},
    // Elitism: k = min(count / 2, eliteCount), slot count - 1 - i copies slot i.
    SelectCase{.name = "ElitismHalfOfAnOddCount", .type = Elitism, .fitness = {5, 4, 3, 2, 1}, .draws = {}, .sources = {0, 1, 2, 1, 0}, .kept = 3},
    SelectCase{.name = "ElitismNegative", .type = Elitism, .fitness = {5, 4}, .draws = {}, .sources = {0, 1}, .kept = 2, .eliteCount = -1},
    // Tournament: first, second, trial per slot; the trial passes at most the threshold.
    SelectCase{.name = "TournamentTieFavoursFirst", .type = Tournament, .fitness = {1, 1}, .draws = {1, 0, 0, 0, 1, 9999999}, .sources = {1, 1}},
    SelectCase{.name = "TournamentThresholdDraw", .type = Tournament, .fitness = {1, 2}, .draws = {0, 1, 5000000, 0, 1, 5000001}, .sources = {1, 0}, .rate = 0.5},
    SelectCase{.name = "TournamentRateNaN", .type = Tournament, .fitness = {1, 2}, .draws = {0, 1, 0, 1, 0, 0}, .sources = {0, 0}, .rate = NaN},
    // Nothing to select from, or no operator: nothing drawn, every object stays.
    SelectCase{.name = "TournamentEmpty", .type = Tournament, .fitness = {}, .draws = {}, .sources = {}},
    SelectCase{.name = "Unknown", .type = 5, .fitness = {1, 2, 3}, .draws = {}, .sources = {0, 1, 2}, .kept = 3}),
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
  for (const int type : {Roulette, Remainder, Tournament}) {
    for (int n = 0; n < 4; ++n) ExpectSelectThrows<std::runtime_error>(type, n, {13});
  }
  for (const int type : {Roulette, Remainder}) {
    ExpectSelectThrows<std::invalid_argument>(type, -1, {-1});
  }
  for (int n = 0; n < 2; ++n) ExpectSelectThrows<std::runtime_error>(Elitism, n, {}, n);
}

}  // namespace
}  // namespace allelix::testing
