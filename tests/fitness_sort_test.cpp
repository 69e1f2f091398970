// The fast sort against the straightforward exchange sort, on every kernel this processor runs.
#include "allelix/fitness_sort.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "exchange_sort.h"

namespace allelix::testing {
namespace {

using detail::SortKernel;

struct Keyed {
  double fitness = 0.0;
};

std::vector<SortKernel> SupportedKernels() {
  std::vector<SortKernel> kernels;
  for (const SortKernel kernel : {SortKernel::Scalar, SortKernel::Avx2, SortKernel::Avx512,
                                  SortKernel::Avx2Ranks, SortKernel::Avx512Ranks}) {
    if (detail::SortKernelSupported(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

std::string KernelName(SortKernel kernel) {
  switch (kernel) {
    case SortKernel::Scalar:
      return "scalar";
    case SortKernel::Avx2:
      return "avx2";
    case SortKernel::Avx512:
      return "avx512";
    case SortKernel::Avx2Ranks:
      return "avx2 ranks";
    case SortKernel::Avx512Ranks:
      return "avx512 ranks";
  }
  return "unknown";
}

// Sorts the values with the kernel and with the oracle; the two must leave the same objects in
// the same slots. Returns whether they did, reporting the first difference.
::testing::AssertionResult SameOrder(const std::vector<double>& values, SortKernel kernel) {
  std::vector<Keyed> objects(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) objects[i].fitness = values[i];
  std::vector<Keyed*> expected;
  for (Keyed& object : objects) expected.push_back(&object);
  std::vector<Keyed*> actual = expected;
  const int count = static_cast<int>(values.size());
  ExchangeSortByFitness(expected.data(), count);
  detail::SortBuffers buffers;
  detail::SortByFitness(actual.data(), count, kernel, buffers);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (actual[i] != expected[i]) {
      return ::testing::AssertionFailure()
             << KernelName(kernel) << ", " << values.size() << " values: slot " << i
             << " holds the object from slot " << (actual[i] - objects.data()) << " ("
             << actual[i]->fitness << "), the exchange sort puts there the one from slot "
             << (expected[i] - objects.data()) << " (" << expected[i]->fitness << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

constexpr double Inf = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(FitnessSort, TheScalarKernelIsAlwaysThere) {
  EXPECT_TRUE(detail::SortKernelSupported(SortKernel::Scalar));
  EXPECT_TRUE(detail::SortKernelSupported(detail::FastestSortKernel()));
}

TEST(FitnessSort, MatchesTheExchangeSortOnHandPickedCases) {
  const std::vector<std::vector<double>> cases = {
      {},
      {1},
      {1, 3, 1, 2},
      {5, 5, 7, 5},
      // Signed zeros are equal: never exchanged with each other.
      {0.0, -0.0, 0.0, -0.0, 1.0, -0.0, 0.0, -1.0, 0.0},
      {-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0},
      // NaN first: that pass moves nothing; NaN elsewhere never moves.
      {NaN, 1, 3, 2, 5, 4, 7, 6, 9, 8},
      {1, NaN, 3, NaN, 2, NaN, 5, NaN, 4, NaN, 6},
      {NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN},
      {-Inf, Inf, -Inf, NaN, Inf, 0.0, -Inf, Inf, -1e308, 1e308, -Inf},
      // Ascending runs make a record of nearly every key.
      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
      {17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
  };
  for (const SortKernel kernel : SupportedKernels()) {
    for (const auto& values : cases) EXPECT_TRUE(SameOrder(values, kernel));
  }
}

// Values from a small pool, so ties are everywhere, with NaN, signed zeros, infinities and
// negative values among them.
std::vector<double> RandomValues(std::mt19937& engine, std::size_t size, int poolSize) {
  std::vector<double> pool = {NaN, 0.0, -0.0, Inf, -Inf, -2.5};
  std::uniform_real_distribution<double> real(-3.0, 3.0);
  while (static_cast<int>(pool.size()) < poolSize) pool.push_back(real(engine));
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::vector<double> values(size);
  for (double& value : values) value = pool[pick(engine)];
  return values;
}

TEST(FitnessSort, MatchesTheExchangeSortOnRandomInputsRichInTies) {
  std::mt19937 engine(20240601u);
  std::uniform_int_distribution<std::size_t> size(0, 70);
  std::uniform_int_distribution<int> poolSize(6, 40);
  for (const SortKernel kernel : SupportedKernels()) {
    for (int round = 0; round < 1500; ++round) {
      const auto values = RandomValues(engine, size(engine), poolSize(engine));
      ASSERT_TRUE(SameOrder(values, kernel));
    }
  }
}

TEST(FitnessSort, MatchesTheExchangeSortOnLargeInputs) {
  std::mt19937 engine(7u);
  for (const SortKernel kernel : SupportedKernels()) {
    for (const std::size_t size : {255u, 1000u, 1001u, 1003u, 2047u}) {
      ASSERT_TRUE(SameOrder(RandomValues(engine, size, 12), kernel));
      ASSERT_TRUE(SameOrder(RandomValues(engine, size, 2000), kernel));
    }
  }
}

TEST(FitnessSort, MatchesTheExchangeSortOnPopulationsOfARun) {
  // The shape of a population late in a run: a few fitness values, most individuals sharing
  // the best few, in no order.
  std::mt19937 engine(99u);
  std::discrete_distribution<int> level({60, 20, 10, 5, 3, 2});
  for (const SortKernel kernel : SupportedKernels()) {
    for (int round = 0; round < 10; ++round) {
      std::vector<double> values(1000);
      for (double& value : values) value = 1.0 - level(engine) * 1e-5;
      ASSERT_TRUE(SameOrder(values, kernel));
    }
  }
}

}  // namespace
}  // namespace allelix::testing
