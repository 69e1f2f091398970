// Crossover: which genes change hands, that they move as objects, and the draws each operator
// makes.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "allelix/generator.h"
#include "support.h"

namespace allelix::testing {
namespace {

using Generator = CGeneratorEx<CMyIndividual>;

// Two individuals of fresh genes, remembering which gene object each held at each index.
struct Pair {
  std::unique_ptr<CMyIndividual> first, second;
  std::vector<CBit*> firstBefore, secondBefore;

  Pair(int n, int m) : first(Build(n)), second(Build(m)) {
    firstBefore.assign(first->genes, first->genes + n);
    secondBefore.assign(second->genes, second->genes + m);
  }

  // Per index of the first, 'x' where the two swapped their gene objects and '.' where both kept
  // theirs; a gene object anywhere else, or a change in the second's extra genes, fails.
  std::string Exchanged() const {
    std::string map;
    for (std::size_t i = 0; i < secondBefore.size(); ++i) {
      const bool inFirst = i < firstBefore.size();
      CBit* const mine = inFirst ? first->genes[i] : nullptr;
      CBit* const theirs = inFirst ? firstBefore[i] : nullptr;
      if (mine == theirs && second->genes[i] == secondBefore[i]) {
        if (inFirst) map += '.';
      } else {
        EXPECT_TRUE(inFirst && mine == secondBefore[i] && second->genes[i] == theirs) << i;
        map += 'x';
      }
    }
    return map;
  }

  static std::unique_ptr<CMyIndividual> Build(int n) {
    auto individual = std::make_unique<CMyIndividual>();
    if (n > 0) individual->AllocateGenes(n);
    for (int i = 0; i < n; ++i) individual->genes[i] = new CBit();
    return individual;
  }
};

TEST(CrossoverTest, UniformTruncatesItsThresholdOnceAndDrawsOncePerGene) {
  constexpr double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double rate;
    std::vector<int> draws;  // one per gene of the first
    std::string exchanged;
  };
  const Case cases[] = {
      {0.29, {289, 290, 1289}, "x.x"},                // threshold 290, draws taken % 1000
      {static_cast<double>(0.7f), {698, 699}, "x."},  // 0.699999988... gives 699
      {static_cast<double>(0.1f), {99, 100}, "x."},   // the default gives 100
      {0.0005, {0, 0}, ".."},
      {infinity, {999, 999}, "xx"},
      {std::numeric_limits<double>::quiet_NaN(), {0}, "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const int n = static_cast<int>(c.draws.size());
    const Pair pair(n, n + 2);  // the second's extra genes are never touched
    const ScriptedDraws draws(c.draws);
    Generator::UniformCrossover(pair.first.get(), pair.second.get(), c.rate);
    EXPECT_EQ(pair.Exchanged(), c.exchanged);
    EXPECT_EQ(draws.Drawn(), c.draws.size());
  }
}

// One-point cuts at p = draw % n; two-point draws a = draw % n, then b = a + draw % (n - a).
TEST(CrossoverTest, EachTypeDrawsItsPointsInOrderAndExchangesTheRightBlock) {
  struct Case {
    int type;
    std::vector<int> draws;  // exactly those the type should make
    std::string exchanged;   // over a first of this many genes; the second has 14
  };
  // clang-format off
  const Case cases[] = {
      // One-point exchanges the shorter block holding the point; of equal blocks, the leading.
      {1, {20}, "xxxxxxx......."}, {1, {7}, ".......xxxxxxx"},
      {1, {0}, "x............."}, {1, {13}, ".............x"},
      {1, {2}, "xxx.."}, {1, {2}, "..xx"}, {1, {5}, "x"},
      // Two-point: a span up to half of n exchanges the inner block, a longer one the outer.
      {2, {17, 18}, "...xxxxxxxx..."}, {2, {0, 7}, "xxxxxxxx......"},
      {2, {0, 8}, "x.......xxxxxx"},   {2, {2, 10}, "xxx.........xx"},
      {2, {1, 2}, ".xxx."}, {2, {0, 3}, "x..xx"},  // half of 5 is 2
      {2, {5, 0}, ".....x........"}, {2, {5, 5}, "x"},
      {3, {499, 500, 0, 999}, "x.x."},  // uniformRate 0.5
      {4, {}, ".............."},
      {1, {}, ""}, {2, {}, ""},         // no genes: no draw, no division by zero
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + ": " + c.exchanged);
    Generator generator;
    generator.crossoverType = c.type;
    generator.uniformRate = 0.5;
    const Pair pair(static_cast<int>(c.exchanged.size()), 14);
    CMyIndividual* first = pair.first.get();
    CMyIndividual* second = pair.second.get();
    const ScriptedDraws draws(c.draws);
    generator.Crossover(first, second);
    EXPECT_EQ(first, pair.first.get());
    EXPECT_EQ(second, pair.second.get());
    EXPECT_EQ(draws.Drawn(), c.draws.size());
    EXPECT_EQ(pair.Exchanged(), c.exchanged);
  }
}

}  // namespace
}  // namespace allelix::testing
