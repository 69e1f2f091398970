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

// One-point cuts at p = draw % n; two-point draws a = draw % n, then b = a + draw % (n - a);
// uniform truncates its threshold rate * 1000 once and draws once per gene, taken % 1000.
TEST(CrossoverTest, EachTypeDrawsItsPointsInOrderAndExchangesTheRightBlock) {
  constexpr double Inf = std::numeric_limits<double>::infinity();
  struct Case {
    int type;
    std::vector<int> draws;  // exactly those the type should make
    std::string exchanged;   // over a first of this many genes; the second has 14
    double uniformRate = 0.5;
  };
  constexpr int One = CrossoverOnePoint, Two = CrossoverTwoPoint, Uniform = CrossoverUniform;
  // clang-format off
  const Case cases[] = {
      // One-point exchanges the shorter block holding the point; of equal blocks, the leading.
      {.type = One, .draws = {20}, .exchanged = "xxxxxxx......."}, {.type = One, .draws = {7}, .exchanged = ".......xxxxxxx"},
      {.type = One, .draws = {0}, .exchanged = "x............."}, {.type = One, .draws = {13}, .exchanged = ".............x"},
      {.type = One, .draws = {2}, .exchanged = "xxx.."}, {.type = One, .draws = {2}, .exchanged = "..xx"},
      // Two-point: a span up to half of n exchanges the inner block, a longer one the outer.
      {.type = Two, .draws = {17, 18}, .exchanged = "...xxxxxxxx..."}, {.type = Two, .draws = {0, 7}, .exchanged = "xxxxxxxx......"},
      {.type = Two, .draws = {0, 8}, .exchanged = "x.......xxxxxx"}, {.type = Two, .draws = {2, 10}, .exchanged = "xxx.........xx"},
      {.type = Two, .draws = {1, 2}, .exchanged = ".xxx."}, {.type = Two, .draws = {0, 3}, .exchanged = "x..xx"},  // half of 5 is 2
      {.type = Two, .draws = {5, 0}, .exchanged = ".....x........"}, {.type = Two, .draws = {5, 5}, .exchanged = "x"},
      {.type = Uniform, .draws = {289, 290, 1289}, .exchanged = "x.x", .uniformRate = 0.29},
      {.type = Uniform, .draws = {698, 699}, .exchanged = "x.", .uniformRate = static_cast<double>(0.7f)},  // 699.99998...
      {.type = Uniform, .draws = {999, 999}, .exchanged = "xx", .uniformRate = Inf},
      {.type = Uniform, .draws = {0}, .exchanged = ".", .uniformRate = std::numeric_limits<double>::quiet_NaN()},
      {.type = CrossoverUniform + 1, .draws = {}, .exchanged = ".............."},
      {.type = One, .draws = {}, .exchanged = ""}, {.type = Two, .draws = {}, .exchanged = ""},  // no genes: no draw
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + ": " + c.exchanged);
    Generator generator;
    generator.crossoverType = c.type;
    generator.uniformRate = c.uniformRate;
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
