// Memory running out among a selection's clones (counting_allocator.h, hence a binary of its
// own, every object on the global allocator): the picks may be drawn ahead of the clones, yet
// the engine must be left where the plain course, pick then clone, leaves it.
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <random>
#include <set>

#include "allelix/generator.h"
#include "counting_allocator.h"

namespace allelix {
namespace {

// The genes read as a binary number, plus one: distinct individuals mostly score differently.
template <class TIndividual>
double BinaryValue(const TIndividual& individual) {
  double value = 1.0;
  for (int i = 0; i < individual.geneCount; ++i) {
    value = value * 2.0 + (individual.genes[i]->value ? 1.0 : 0.0);
  }
  return value;
}

class COwnClone final : public CIndividual<COwnClone, CBit> {
 public:
  double Fitness(int) override { return BinaryValue(*this); }
};

// The same individual with a Clone of its own, which the engine must call in its turn.
class CPlainClone final : public CIndividual<CPlainClone, CBit> {
 public:
  double Fitness(int) override { return BinaryValue(*this); }
  CPlainClone* Clone() override { return CIndividual<CPlainClone, CBit>::Clone(); }
};

// The draws a generation had made when its n-th allocation failed, or nothing once n is past
// its last allocation.
template <class TIndividual>
std::optional<int> DrawsAtFailure(int selectionType, long long n) {
  const ScopedSeedSchedule schedule(11, Engine::Mt19937);
  CGeneratorEx<TIndividual> generator;
  generator.selectionType = selectionType;
  generator.crossoverType = CrossoverNone;
  generator.Initialize(12, 6);
  const std::uint32_t seed = CurrentRandomPosition().nextSeed.value();
  Arm(n);
  try {
    generator.NextGeneration();
    Disarm();
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    Disarm();
  }
  const std::optional<EngineState> state = SaveEngineState();
  std::mt19937 plain(seed);
  for (int draws = 0; draws < 10000; ++draws, plain()) {
    if (plain == state.value().mt) return draws;
  }
  ADD_FAILURE() << "the engine is not within 10,000 draws of the generation's seed";
  return -1;
}

// Every count of draws at which some allocation of a generation can fail.
template <class TIndividual>
std::set<int> DrawCountsAtFailures(int selectionType) {
  std::set<int> counts;
  for (long long n = 1;; ++n) {
    const std::optional<int> draws = DrawsAtFailure<TIndividual>(selectionType, n);
    if (!draws) return counts;
    counts.insert(*draws);
  }
}

TEST(CloneFailure, LeavesTheDrawsOfThePlainCourse) {
  for (const int selection :
       {SelectionRouletteWheel, SelectionStochasticRemainder, SelectionTournament}) {
    const std::set<int> plain = DrawCountsAtFailures<CPlainClone>(selection);
    EXPECT_GT(plain.size(), 3u) << "selection " << selection;
    EXPECT_EQ(DrawCountsAtFailures<COwnClone>(selection), plain) << "selection " << selection;
  }
}

}  // namespace
}  // namespace allelix
