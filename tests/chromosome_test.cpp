#include "allelix/chromosome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "exchange_sort.h"
#include "support.h"

namespace allelix {
namespace {

using testing::CMyIndividual;
using testing::MakeIndividual;
using testing::MakePopulation;
using testing::Population;

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
  bare.marked = true;
  std::unique_ptr<CMyIndividual> bareCopy(bare.Clone());
  EXPECT_EQ(bareCopy->genes, nullptr);
  EXPECT_EQ(bareCopy->fitness, 0.0);
  bare.AllocateGenes(0);
  std::unique_ptr<CMyIndividual> emptyCopy(bare.Clone());
  EXPECT_NE(emptyCopy->genes, nullptr);
  EXPECT_EQ(emptyCopy->fitness, 5.0);
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

TEST(Individual, ReleaseIsIdempotentAndBadAllocationChangesNothing) {
  CMyIndividual fresh;
  EXPECT_THROW(fresh.AllocateGenes(-1), std::bad_alloc);
  EXPECT_EQ(fresh.genes, nullptr);
  EXPECT_EQ(fresh.geneCount, 0);
  Population population;
  population.AllocateIndividuals(3);  // null slots are fine to release
  population.individuals[1] = MakeIndividual({0});
  population.individuals[1]->ClearGenes();
  population.individuals[1]->ClearGenes();
  population.ClearIndividuals();
  population.ClearIndividuals();
  EXPECT_EQ(population.individuals, nullptr);
  EXPECT_EQ(population.count, 0);
}

TEST(Population, SortPutsEverySlotWhereTheExchangeSortDoes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto population = MakePopulation({1, 1, 2, nan, 3, 2, -0.0, 0.0, -1.0, 2});
  std::vector<CMyIndividual*> expected(population->individuals, population->individuals + 10);
  testing::ExchangeSortByFitness(expected.data(), 10);
  population->SortByFitness();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), population->individuals));
}

TEST(Population, MeanIsARunningMean) {
  EXPECT_EQ(MakePopulation({})->MeanFitness(), 0.0);
  // Sum over count gives 0.25 and 0.1 here; the running mean differs in the last bit.
  EXPECT_EQ(MakePopulation({0.1, 0.2, 0.6, 0.1})->MeanFitness(), 0.24999999999999997);
  EXPECT_EQ(MakePopulation(std::vector<double>(10, 0.1))->MeanFitness(), 0.09999999999999999);
}

std::unique_ptr<Population> FromBits(std::initializer_list<std::initializer_list<int>> rows) {
  auto population = std::make_unique<Population>();
  population->AllocateIndividuals(static_cast<int>(rows.size()));
  int i = 0;
  for (const auto& bits : rows) population->individuals[i++] = MakeIndividual(bits);
  return population;
}

TEST(Population, ConvergenceIsTheRunningMeanOfTheMajorityShares) {
  EXPECT_EQ(Population().Convergence(), 0.0);
  EXPECT_EQ(FromBits({{}, {}})->Convergence(), 0.0);
  EXPECT_EQ(FromBits({{0, 0}, {0, 0}, {1, 0}})->Convergence(), (1.0 - 1.0 / 3 + 1.0) / 2);
  // A running mean of 0.5, 1 and 1; thirds summed would give 0.8333333333333333, a bit lower.
  EXPECT_EQ(FromBits({{1, 0, 0}, {0, 0, 0}})->Convergence(), 2.5 / 3);
  // Past 64 genes, where the tally leaves the stack: gene j set in one of three individuals when
  // j is even, in all three when it is odd.
  for (const int n : {64, 65, 200}) {
    auto population = MakePopulation(std::vector<double>(3, 0.0));
    for (int i = 0; i < 3; ++i) {
      population->individuals[i]->ClearGenes();
      population->individuals[i]->AllocateGenes(n);
      for (int j = 0; j < n; ++j) {
        population->individuals[i]->genes[j] = new CBit();
        population->individuals[i]->genes[j]->value = j % 2 == 1 || i == 0;
      }
    }
    const int evens = (n + 1) / 2;
    EXPECT_NEAR(population->Convergence(), (2.0 / 3.0 * evens + (n - evens)) / n, 1e-12) << n;
  }
}

}  // namespace
}  // namespace allelix
