// Individuals and populations: clones, equality, release, the running means, and the fast sort
// by fitness held to the straightforward exchange sort, which defines its order.
#include "allelix/chromosome.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <new>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "allelix/sort_by_fitness.h"
#include "exchange_sort.h"
#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A clone carries genes, locks, fitness and mark in gene objects of its own; equality looks at
// every bit and at nothing else.
TEST(Individual, CloneIsDeepAndEqualityLooksOnlyAtTheBits) {
  std::unique_ptr<CMyIndividual> source(MakeIndividual({1, 0, 1}, 0.25));
  source->genes[1]->locked = true;
  source->marked = true;
  std::unique_ptr<CMyIndividual> copy(source->Clone());
  EXPECT_EQ(IndividualStateOf(*copy), IndividualStateOf(*source));
  for (int i = 0; i < 3; ++i) EXPECT_NE(copy->genes[i], source->genes[i]);
  std::tie(copy->fitness, copy->marked, copy->genes[0]->locked) = std::tuple(1.0, false, true);
  EXPECT_TRUE(copy->IsEqual(source.get()) && copy->genes[0]->IsEqual(source->genes[0]));
  copy->genes[2]->value = false;
  EXPECT_FALSE(copy->IsEqual(source.get()));
  // Without a gene array a clone is a fresh individual; an empty array carries the state.
  CMyIndividual bare;
  bare.fitness = 5.0;
  EXPECT_EQ(std::unique_ptr<CMyIndividual>(bare.Clone())->fitness, 0.0);
  bare.AllocateGenes(0);
  EXPECT_EQ(std::unique_ptr<CMyIndividual>(bare.Clone())->fitness, 5.0);
  // A failed allocation changes nothing, and releasing twice is harmless.
  CBit** const held = bare.genes;
  EXPECT_THROW(bare.AllocateGenes(-1), std::bad_alloc);
  EXPECT_TRUE(bare.genes == held && bare.geneCount == 0);
  Population population;
  population.AllocateIndividuals(3);  // null slots are fine to release
  population.individuals[1] = MakeIndividual({0});
  for (int twice = 0; twice < 2; ++twice) population.individuals[1]->ClearGenes();
  for (int twice = 0; twice < 2; ++twice) population.ClearIndividuals();
  EXPECT_TRUE(population.individuals == nullptr && population.count == 0);
}

TEST(Population, MeanAndConvergenceAreRunningMeans) {
  // Sum over count gives 0.25 and 0.1 here; the running mean differs in the last bit.
  EXPECT_EQ(MakePopulation({0.1, 0.2, 0.6, 0.1})->MeanFitness(), 0.24999999999999997);
  EXPECT_EQ(MakePopulation({})->MeanFitness(), 0.0);
  // Convergence: the running mean over genes of the majority's share.
  const auto convergence = [](const std::vector<std::vector<int>>& rows) {
    Population population;
    population.AllocateIndividuals(static_cast<int>(rows.size()));
    for (int i = 0; i < population.count; ++i) population.individuals[i] = MakeIndividual(rows[i]);
    return population.Convergence();
  };
  EXPECT_EQ(std::pair(Population().Convergence(), convergence({{}, {}})), std::pair(0.0, 0.0));
  EXPECT_EQ(convergence({{0, 0}, {0, 0}, {1, 0}}), (1.0 - 1.0 / 3 + 1.0) / 2);
  // A running mean of 0.5, 1 and 1; thirds summed would give 0.8333333333333333, a bit lower.
  EXPECT_EQ(convergence({{1, 0, 0}, {0, 0, 0}}), 2.5 / 3);
  // Past 64 genes, where the tally leaves the stack: gene j set in one of three individuals when
  // j is even, in all three when it is odd.
  for (const int n : {64, 65, 200}) {
    std::vector<std::vector<int>> rows(3, std::vector<int>(n, 1));
    for (int j = 0; j < n; j += 2) rows[1][j] = rows[2][j] = 0;
    const int evens = (n + 1) / 2;
    EXPECT_NEAR(convergence(rows), (2.0 / 3 * evens + (n - evens)) / n, 1e-12) << n;
  }
}

struct Keyed {
  double fitness = 0.0;
};

// Values drawn with random weights from a small pool, so that ties are everywhere, some values
// are rare and some common (a rare value's members lie far apart, a common one's close), with
// NaN, signed zeros, infinities and negative values among them. SortByFitness must leave the
// same objects in the same slots as the oracle, with its buffers carried over from call to call
// as a population's are.
TEST(SortByFitness, MatchesTheExchangeSortOnRandomInputsRichInTies) {
  std::mt19937 engine(20240601u);
  detail::SortBuffers buffers;
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
      std::vector<Keyed> objects(size(engine));
      std::vector<Keyed*> expected;
      for (Keyed& object : objects) {
        object.fitness = pool[pick(engine)];
        expected.push_back(&object);
      }
      std::vector<Keyed*> actual = expected;
      ExchangeSortByFitness(expected.data(), static_cast<int>(objects.size()));
      detail::SortByFitness(actual.data(), static_cast<int>(objects.size()), buffers);
      ASSERT_TRUE(actual == expected) << "pool of up to " << poolSize << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace allelix::testing
