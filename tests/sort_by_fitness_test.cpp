// SortByFitness against the straightforward exchange sort, which is the definition of its order,
// on inputs chosen to reach every part of the fast method; and what a failed allocation leaves.
#include "allelix/sort_by_fitness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "counting_allocator.h"
#include "exchange_sort.h"
#include "support.h"

namespace allelix::testing {
namespace {

struct Keyed {
  double fitness = 0.0;
};

// Sorts the values with SortByFitness and with the oracle; the two must leave the same objects
// in the same slots. The buffers carry over from call to call, as a population's do.
::testing::AssertionResult SameOrder(const std::vector<double>& values) {
  std::vector<Keyed> objects(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) objects[i].fitness = values[i];
  std::vector<Keyed*> expected;
  for (Keyed& object : objects) expected.push_back(&object);
  std::vector<Keyed*> actual = expected;
  const int count = static_cast<int>(values.size());
  ExchangeSortByFitness(expected.data(), count);
  static detail::SortBuffers buffers;
  detail::SortByFitness(actual.data(), count, buffers);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (actual[i] != expected[i]) {
      return ::testing::AssertionFailure()
             << values.size() << " values: slot " << i << " holds the object from slot "
             << (actual[i] - objects.data()) << " (" << actual[i]->fitness
             << "), the exchange sort puts there the one from slot "
             << (expected[i] - objects.data()) << " (" << expected[i]->fitness << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> Ramp(int n, double step, double start = 0.0) {
  std::vector<double> values;
  for (int i = 0; i < n; ++i) values.push_back(start + step * std::floor(i / 3.0));
  return values;
}

TEST(SortByFitness, MatchesTheExchangeSortOnHandPickedCases) {
  // Inputs a random draw rarely gives: only signed zeros, only NaN, long runs either way, with
  // and without ties, and a sawtooth.
  std::vector<double> sawtooth;
  for (int i = 0; i < 600; ++i) sawtooth.push_back(i % 37);
  const std::vector<std::vector<double>> cases = {
      {-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0},
      {NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN},
      {NaN, 1, 3, 2, 5, 4, 7, 6, 9, 8},
      {Inf, -Inf, NaN, Inf, 0.0, -Inf, -0.0, Inf},
      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
      {17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
      Ramp(1000, 1.0),
      Ramp(1000, -1.0),
      Ramp(1000, 0.0, 2.0),
      sawtooth,
  };
  for (const auto& values : cases) EXPECT_TRUE(SameOrder(values));
}

// Values drawn with random weights from a small pool, so that ties are everywhere, some values
// are rare and some common (a rare value's members lie far apart, a common one's close), with
// NaN, signed zeros, infinities and negative values among them.
std::vector<double> RandomValues(std::mt19937& engine, std::size_t size, int poolSize) {
  std::vector<double> pool = {NaN, 0.0, -0.0, Inf, -Inf, -2.5};
  std::uniform_real_distribution<double> real(-3.0, 3.0);
  while (static_cast<int>(pool.size()) < poolSize) pool.push_back(real(engine));
  std::exponential_distribution<double> weight(1.0);
  std::vector<double> weights;
  for (std::size_t k = 0; k < pool.size(); ++k) weights.push_back(weight(engine));
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::vector<double> values(size);
  for (double& value : values) value = pool[pick(engine)];
  return values;
}

struct RandomRounds {
  int rounds;
  std::size_t smallest;
  std::size_t largest;
  int poolSize;
};

TEST(SortByFitness, MatchesTheExchangeSortOnRandomInputsRichInTies) {
  std::mt19937 engine(20240601u);
  // clang-format off
  for (const RandomRounds& r : {
           RandomRounds{.rounds = 6000, .smallest = 0, .largest = 70, .poolSize = 12},
           RandomRounds{.rounds = 1500, .smallest = 0, .largest = 70, .poolSize = 40},
           RandomRounds{.rounds = 60, .smallest = 200, .largest = 3000, .poolSize = 8},
           RandomRounds{.rounds = 30, .smallest = 200, .largest = 3000, .poolSize = 400},
           RandomRounds{.rounds = 6, .smallest = 3000, .largest = 3000, .poolSize = 5000}}) {
    // clang-format on
    std::uniform_int_distribution<std::size_t> size(r.smallest, r.largest);
    std::uniform_int_distribution<int> poolSize(6, r.poolSize);
    for (int round = 0; round < r.rounds; ++round) {
      ASSERT_TRUE(SameOrder(RandomValues(engine, size(engine), poolSize(engine))))
          << "pool of up to " << r.poolSize << ", round " << round;
    }
  }
}

// Every allocation the first sort makes fails in turn: each failure leaves every slot as it
// was, and a sort that then succeeds gives the exchange sort's order.
TEST(SortByFitness, AFailedAllocationLeavesEverySlotAsItWas) {
  std::vector<double> values = Ramp(50, -1.0);
  values[7] = NaN;
  auto population = MakePopulation(values);
  const std::vector<CMyIndividual*> before(population->individuals,
                                           population->individuals + population->count);
  std::vector<CMyIndividual*> expected = before;
  ExchangeSortByFitness(expected.data(), population->count);
  long long n = 1;
  for (;; ++n) {
    Arm(n);
    try {
      population->SortByFitness();
      Disarm();
      break;
    } catch (const std::bad_alloc&) {
      Disarm();
    }
    ASSERT_TRUE(std::equal(before.begin(), before.end(), population->individuals))
        << "allocation " << n << " failed";
  }
  EXPECT_GT(n, 1);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), population->individuals));
}

}  // namespace
}  // namespace allelix::testing
