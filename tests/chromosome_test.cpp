// Individuals and populations: clones, equality, release, the running means, and the fast sort
// by fitness held to the straightforward exchange sort, which defines its order.
#include "allelix/chromosome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <tuple>
#include <vector>

#include "allelix/sort_by_fitness.h"
#include "exchange_sort.h"
#include "support.h"

namespace allelix::testing {
namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(Individual, CloneIsDeepAndCarriesWhatTheSourceHolds) {
  std::unique_ptr<CMyIndividual> source(MakeIndividual({1, 0, 1}, 0.25));
  source->genes[1]->locked = true;
  source->marked = true;
  std::unique_ptr<CMyIndividual> copy(source->Clone());
  ASSERT_EQ(copy->geneCount, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(copy->genes[i], source->genes[i]);
    EXPECT_EQ(copy->genes[i]->value, source->genes[i]->value);
    EXPECT_EQ(copy->genes[i]->locked, source->genes[i]->locked);
  }
  EXPECT_EQ(copy->fitness, 0.25);
  EXPECT_TRUE(copy->marked);
  // Without a gene array a clone is a fresh individual; an empty array carries the state.
  CMyIndividual bare;
  bare.fitness = 5.0;
  EXPECT_EQ(std::unique_ptr<CMyIndividual>(bare.Clone())->fitness, 0.0);
  bare.AllocateGenes(0);
  EXPECT_EQ(std::unique_ptr<CMyIndividual>(bare.Clone())->fitness, 5.0);
  // A failed allocation changes nothing, and releasing twice is harmless.
  CMyIndividual fresh;
  EXPECT_THROW(fresh.AllocateGenes(-1), std::bad_alloc);
  EXPECT_TRUE(fresh.genes == nullptr && fresh.geneCount == 0);
  Population population;
  population.AllocateIndividuals(3);  // null slots are fine to release
  population.individuals[1] = MakeIndividual({0});
  population.individuals[1]->ClearGenes();
  population.individuals[1]->ClearGenes();
  population.ClearIndividuals();
  population.ClearIndividuals();
  EXPECT_TRUE(population.individuals == nullptr && population.count == 0);
}

TEST(Individual, EqualityLooksAtEveryBitAndNothingElse) {
  std::unique_ptr<CMyIndividual> a(MakeIndividual({1, 0, 1, 1}, 1.0));
  std::unique_ptr<CMyIndividual> b(MakeIndividual({1, 0, 1, 0}, 1.0));
  std::unique_ptr<CMyIndividual> c(MakeIndividual({1, 0, 1, 1}, 2.0));
  c->marked = true;
  c->genes[0]->locked = true;
  EXPECT_FALSE(a->IsEqual(b.get()));
  EXPECT_TRUE(a->IsEqual(c.get()));
  EXPECT_TRUE(c->genes[0]->IsEqual(a->genes[0]));
}

TEST(Population, MeanAndConvergenceAreRunningMeans) {
  EXPECT_EQ(MakePopulation({})->MeanFitness(), 0.0);
  // Sum over count gives 0.25 and 0.1 here; the running mean differs in the last bit.
  EXPECT_EQ(MakePopulation({0.1, 0.2, 0.6, 0.1})->MeanFitness(), 0.24999999999999997);
  EXPECT_EQ(MakePopulation(std::vector<double>(10, 0.1))->MeanFitness(), 0.09999999999999999);
  // Convergence: the running mean over genes of the majority's share.
  const auto convergence = [](const std::vector<std::vector<int>>& rows) {
    Population population;
    population.AllocateIndividuals(static_cast<int>(rows.size()));
    for (int i = 0; i < population.count; ++i) population.individuals[i] = MakeIndividual(rows[i]);
    return population.Convergence();
  };
  EXPECT_EQ(Population().Convergence(), 0.0);
  EXPECT_EQ(convergence({{}, {}}), 0.0);
  EXPECT_EQ(convergence({{0, 0}, {0, 0}, {1, 0}}), (1.0 - 1.0 / 3 + 1.0) / 2);
  // A running mean of 0.5, 1 and 1; thirds summed would give 0.8333333333333333, a bit lower.
  EXPECT_EQ(convergence({{1, 0, 0}, {0, 0, 0}}), 2.5 / 3);
  // Past 64 genes, where the tally leaves the stack: gene j set in one of three individuals when
  // j is even, in all three when it is odd.
  for (const int n : {64, 65, 200}) {
    std::vector<std::vector<int>> rows(3);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < n; ++j) rows[i].push_back(j % 2 == 1 || i == 0);
    }
    const int evens = (n + 1) / 2;
    EXPECT_NEAR(convergence(rows), (2.0 / 3 * evens + (n - evens)) / n, 1e-12) << n;
  }
}

struct Keyed {
  double fitness = 0.0;
};

// Sorts the values with SortByFitness and with the oracle; the two must leave the same objects
// in the same slots. The buffers carry over from call to call, as a population's do.
::testing::AssertionResult SameOrder(const std::vector<double>& values) {
  std::vector<Keyed> objects(values.size());
  std::vector<Keyed*> expected;
  for (std::size_t i = 0; i < values.size(); ++i) {
    objects[i].fitness = values[i];
    expected.push_back(&objects[i]);
  }
  std::vector<Keyed*> actual = expected;
  const int count = static_cast<int>(values.size());
  ExchangeSortByFitness(expected.data(), count);
  static detail::SortBuffers buffers;
  detail::SortByFitness(actual.data(), count, buffers);
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (a == actual.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << values.size() << " values: slot " << (a - actual.begin()) << " holds the object from "
         << (*a - objects.data()) << " (" << (*a)->fitness << "), the exchange sort's from "
         << (*e - objects.data()) << " (" << (*e)->fitness << ")";
}

// n values from start, a step every `width` of them.
std::vector<double> Ramp(int n, double step, double start = 0.0, int width = 3) {
  std::vector<double> values;
  for (int i = 0; i < n; ++i) values.push_back(start + step * (i / width));
  return values;
}

// Inputs a random draw rarely gives: only signed zeros, only NaN, long runs either way, with and
// without ties, and a sawtooth; then a population's own sort.
TEST(SortByFitness, MatchesTheExchangeSortOnHandPickedCases) {
  std::vector<double> sawtooth;
  for (int i = 0; i < 600; ++i) sawtooth.push_back(i % 37);
  const std::vector<std::vector<double>> cases = {
      {-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0},
      std::vector<double>(9, NaN),
      {NaN, 1, 3, 2, 5, 4, 7, 6, 9, 8},
      {Inf, -Inf, NaN, Inf, 0.0, -Inf, -0.0, Inf},
      Ramp(17, 1.0, 1.0, 1),
      Ramp(17, -1.0, 17.0, 1),
      Ramp(1000, 1.0),
      Ramp(1000, -1.0),
      Ramp(1000, 0.0, 2.0),
      sawtooth,
  };
  for (const auto& values : cases) EXPECT_TRUE(SameOrder(values));
  auto population = MakePopulation({1, 1, 2, NaN, 3, 2, -0.0, 0.0, -1.0, 2});
  std::vector<CMyIndividual*> expected(population->individuals, population->individuals + 10);
  ExchangeSortByFitness(expected.data(), 10);
  population->SortByFitness();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), population->individuals));
}

// Values drawn with random weights from a small pool, so that ties are everywhere, some values
// are rare and some common (a rare value's members lie far apart, a common one's close), with
// NaN, signed zeros, infinities and negative values among them.
TEST(SortByFitness, MatchesTheExchangeSortOnRandomInputsRichInTies) {
  std::mt19937 engine(20240601u);
  for (const auto& [rounds, smallest, largest, poolSize] : {std::tuple{6000, 0, 70, 12},
                                                            {1500, 0, 70, 40},
                                                            {60, 200, 3000, 8},
                                                            {30, 200, 3000, 400},
                                                            {6, 3000, 3000, 5000}}) {
    std::uniform_int_distribution<std::size_t> size(smallest, largest);
    std::uniform_int_distribution<int> poolSizes(6, poolSize);
    for (int round = 0; round < rounds; ++round) {
      std::vector<double> pool = {NaN, 0.0, -0.0, Inf, -Inf, -2.5};
      std::uniform_real_distribution<double> real(-3.0, 3.0);
      for (int k = poolSizes(engine) - 6; k > 0; --k) pool.push_back(real(engine));
      std::exponential_distribution<double> weight(1.0);
      std::vector<double> weights;
      for (std::size_t k = 0; k < pool.size(); ++k) weights.push_back(weight(engine));
      std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
      std::vector<double> values(size(engine));
      for (double& value : values) value = pool[pick(engine)];
      ASSERT_TRUE(SameOrder(values)) << "pool of up to " << poolSize << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace allelix::testing
