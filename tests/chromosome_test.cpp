#include "allelix/chromosome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <set>
#include <vector>

#include "support.h"

namespace allelix {
namespace {

using testing::CMyIndividual;
using testing::MakeIndividual;
using testing::MakePopulation;
using testing::Population;

std::vector<double> FitnessBySlot(const Population& population) {
  std::vector<double> values;
  for (int i = 0; i < population.count; ++i) values.push_back(population.individuals[i]->fitness);
  return values;
}

// Slot i of the result is the slot the individual now in slot i started in.
std::vector<int> SortedOrigins(std::initializer_list<double> fitness) {
  auto population = MakePopulation(fitness);
  const std::vector<CMyIndividual*> before(population->individuals,
                                           population->individuals + population->count);
  population->SortByFitness();
  std::vector<int> origins;
  for (int i = 0; i < population->count; ++i) {
    for (int j = 0; j < population->count; ++j) {
      if (before[static_cast<std::size_t>(j)] == population->individuals[i]) origins.push_back(j);
    }
  }
  return origins;
}

TEST(Individual, CloneIsDeepAndCarriesLocksFitnessAndMark) {
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
  copy->genes[0]->value = false;
  EXPECT_TRUE(source->genes[0]->value);
}

TEST(Individual, CloneWithoutGeneArrayIsFreshButEmptyArrayCarriesState) {
  CMyIndividual bare;
  bare.fitness = 5.0;
  bare.marked = true;
  std::unique_ptr<CMyIndividual> copy(bare.Clone());
  EXPECT_EQ(copy->genes, nullptr);
  EXPECT_EQ(copy->fitness, 0.0);
  EXPECT_FALSE(copy->marked);

  CMyIndividual empty;
  empty.AllocateGenes(0);
  empty.fitness = 5.0;
  empty.marked = true;
  std::unique_ptr<CMyIndividual> emptyCopy(empty.Clone());
  EXPECT_NE(emptyCopy->genes, nullptr);
  EXPECT_EQ(emptyCopy->geneCount, 0);
  EXPECT_EQ(emptyCopy->fitness, 5.0);
  EXPECT_TRUE(emptyCopy->marked);
}

TEST(Individual, EqualityLooksAtBitsOnly) {
  CBit set;
  CBit lockedSet;
  set.value = lockedSet.value = lockedSet.locked = true;
  EXPECT_TRUE(set.IsEqual(&lockedSet));

  std::unique_ptr<CMyIndividual> a(MakeIndividual({1, 0, 1, 1}, 1.0));
  std::unique_ptr<CMyIndividual> b(MakeIndividual({1, 0, 1, 0}, 1.0));
  std::unique_ptr<CMyIndividual> c(MakeIndividual({1, 0, 1, 1}, 2.0));
  c->marked = true;
  c->genes[0]->locked = true;
  EXPECT_FALSE(a->IsEqual(b.get()));
  EXPECT_TRUE(a->IsEqual(c.get()));
  CMyIndividual none;
  EXPECT_TRUE(none.IsEqual(a.get()));
}

TEST(Individual, ReleaseIsIdempotentAndBadAllocationChangesNothing) {
  std::unique_ptr<CMyIndividual> individual(MakeIndividual({1, 1}));
  individual->ClearGenes();
  EXPECT_EQ(individual->genes, nullptr);
  EXPECT_EQ(individual->geneCount, 0);
  individual->ClearGenes();
  EXPECT_EQ(individual->geneCount, 0);

  CMyIndividual fresh;
  EXPECT_THROW(fresh.AllocateGenes(-1), std::bad_alloc);
  EXPECT_EQ(fresh.genes, nullptr);
  EXPECT_EQ(fresh.geneCount, 0);

  Population population;
  population.AllocateIndividuals(3);  // null slots are fine to release
  population.individuals[1] = MakeIndividual({0});
  population.ClearIndividuals();
  population.ClearIndividuals();
  EXPECT_EQ(population.individuals, nullptr);
  EXPECT_EQ(population.count, 0);
}

TEST(Population, SortLeavesEqualValuesInTheExchangeProceduresOrder) {
  EXPECT_EQ(SortedOrigins({1, 3, 1, 2}), (std::vector<int>{1, 3, 2, 0}));
  EXPECT_EQ(SortedOrigins({5, 5, 7, 5}), (std::vector<int>{2, 1, 0, 3}));
  // Tells the exchange procedure from a selection sort, a stable sort and a reversed inner loop.
  EXPECT_EQ(SortedOrigins({1, 1, 2, 3, 2}), (std::vector<int>{3, 2, 4, 1, 0}));
  EXPECT_EQ(SortedOrigins({}), (std::vector<int>{}));
  EXPECT_EQ(SortedOrigins({4}), (std::vector<int>{0}));
}

TEST(Population, SortNeverMovesOnANaNComparison) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // The NaN in slot 0 is never exchanged; the rest sort among themselves around it.
  EXPECT_EQ(SortedOrigins({nan, 1, 3, 2}), (std::vector<int>{0, 2, 3, 1}));
  EXPECT_EQ(SortedOrigins({1, nan, 3}), (std::vector<int>{2, 1, 0}));
  auto population = MakePopulation({-0.0, 0.0, -1.0});
  population->SortByFitness();
  EXPECT_TRUE(std::signbit(population->individuals[0]->fitness));  // -0.0 == 0.0: no exchange
}

TEST(Population, MeanIsARunningMean) {
  EXPECT_EQ(MakePopulation({})->MeanFitness(), 0.0);
  EXPECT_EQ(MakePopulation({1, 2, 3})->MeanFitness(), 2.0);
  // Sum over count gives 0.25 here; the running mean differs in the last bit.
  EXPECT_EQ(MakePopulation({0.1, 0.2, 0.6, 0.1})->MeanFitness(), 0.24999999999999997);
  auto tenths = MakePopulation({0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1});
  EXPECT_EQ(tenths->MeanFitness(), 0.09999999999999999);
  EXPECT_EQ(FitnessBySlot(*tenths).size(), 10u);
}

std::unique_ptr<Population> FromBits(std::initializer_list<std::initializer_list<int>> rows) {
  auto population = std::make_unique<Population>();
  population->AllocateIndividuals(static_cast<int>(rows.size()));
  int i = 0;
  for (const auto& bits : rows) population->individuals[i++] = MakeIndividual(bits);
  return population;
}

TEST(Population, ConvergenceAveragesTheMajorityShares) {
  EXPECT_EQ(Population().Convergence(), 0.0);
  EXPECT_EQ(FromBits({{}, {}})->Convergence(), 0.0);
  EXPECT_DOUBLE_EQ(FromBits({{1, 0, 1}, {1, 1, 0}, {1, 0, 0}, {0, 1, 1}})->Convergence(),
                   (0.75 + 0.5 + 0.5) / 3);
  EXPECT_EQ(FromBits({{0, 0}, {0, 0}, {1, 0}})->Convergence(), (1.0 - 1.0 / 3 + 1.0) / 2);
  // A running mean of 0.5, 1 and 1; thirds summed would give 0.8333333333333333, a bit lower.
  EXPECT_EQ(FromBits({{1, 0, 0}, {0, 0, 0}})->Convergence(), 2.5 / 3);
  EXPECT_EQ(FromBits({{1, 0, 1, 1}, {1, 0, 1, 1}})->Convergence(), 1.0);
}

}  // namespace
}  // namespace allelix
