// The fast sort against the straightforward exchange sort, on every kernel this processor runs.
#include "allelix/fitness_sort.h"

#include <gtest/gtest.h>

#include <limits>
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

// The kernels this processor runs; the scalar one and the fastest one always among them.
std::vector<SortKernel> SupportedKernels() {
  EXPECT_TRUE(detail::SortKernelSupported(detail::FastestSortKernel()));
  std::vector<SortKernel> kernels;
  for (const SortKernel kernel : {SortKernel::Scalar, SortKernel::Avx2, SortKernel::Avx512,
                                  SortKernel::Avx2Ranks, SortKernel::Avx512Ranks}) {
    if (detail::SortKernelSupported(kernel)) kernels.push_back(kernel);
  }
  EXPECT_EQ(kernels.front(), SortKernel::Scalar);
  return kernels;
}

// Sorts the values with the kernel and with the oracle; the two must leave the same objects in
// the same slots. The buffers carry over from call to call, as a population's do.
::testing::AssertionResult SameOrder(const std::vector<double>& values, SortKernel kernel) {
  std::vector<Keyed> objects(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) objects[i].fitness = values[i];
  std::vector<Keyed*> expected;
  for (Keyed& object : objects) expected.push_back(&object);
  std::vector<Keyed*> actual = expected;
  const int count = static_cast<int>(values.size());
  ExchangeSortByFitness(expected.data(), count);
  static detail::SortBuffers buffers;
  detail::SortByFitness(actual.data(), count, kernel, buffers);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (actual[i] != expected[i]) {
      return ::testing::AssertionFailure()
             << "kernel " << static_cast<int>(kernel) << ", " << values.size() << " values: slot "
             << i << " holds the object from slot " << (actual[i] - objects.data()) << " ("
             << actual[i]->fitness << "), the exchange sort puts there the one from slot "
             << (expected[i] - objects.data()) << " (" << expected[i]->fitness << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

constexpr double Inf = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(FitnessSort, MatchesTheExchangeSortOnHandPickedCases) {
  // Inputs a random draw rarely gives: only signed zeros, only NaN, long runs either way.
  const std::vector<std::vector<double>> cases = {
      {-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0},
      {NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN, NaN},
      {NaN, 1, 3, 2, 5, 4, 7, 6, 9, 8},
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

// Large inputs cross every block size of the kernels; the last rounds take the shape of a
// population late in a run: a few levels 1e-5 apart, most individuals sharing the best few.
TEST(FitnessSort, MatchesTheExchangeSortOnLargeInputs) {
  std::mt19937 engine(7u);
  std::discrete_distribution<int> level({60, 20, 10, 5, 3, 2});
  for (const SortKernel kernel : SupportedKernels()) {
    for (const std::size_t size : {255u, 1000u, 1001u, 1003u, 2047u}) {
      ASSERT_TRUE(SameOrder(RandomValues(engine, size, 12), kernel));
      ASSERT_TRUE(SameOrder(RandomValues(engine, size, 2000), kernel));
      std::vector<double> run(size);
      for (double& value : run) value = 1.0 - level(engine) * 1e-5;
      ASSERT_TRUE(SameOrder(run, kernel));
    }
  }
}

}  // namespace
}  // namespace allelix::testing
