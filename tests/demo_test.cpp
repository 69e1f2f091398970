#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "demonstration.h"
#include "support.h"

namespace allelix::demo {
namespace {

// An individual holding x in 14 bits, gene 0 the most significant.
std::unique_ptr<CMyIndividual> Number(int x) {
  std::vector<int> bits;
  for (int i = 13; i >= 0; --i) bits.push_back((x >> i) & 1);
  return std::unique_ptr<CMyIndividual>(testing::MakeIndividual(bits));
}

TEST(SquareRoot, FitnessMatchesTheWorkedValuesExactly) {
  const std::pair<int, double> table[] = {
      {0, 0.9847693940311123},    {1000, 0.9947713943311522},
      {1233, 0.9999753250652598}, {1234, 1.0},
      {1235, 0.9999753050612592}, {9999, 0.0152306059688877},
  };
  for (const auto& [x, fitness] : table) {
    EXPECT_EQ(Decode(*Number(x)), x);
    EXPECT_EQ(Number(x)->Fitness(-17), fitness) << "x = " << x;  // the context is ignored
  }
  for (int x = 10000; x < 16384; x += 1000) EXPECT_EQ(Number(x)->Fitness(0), 0.0) << x;
  EXPECT_EQ(CMyIndividual().Fitness(0), 1.0 - 1522756 / 99980001.0);  // no genes: x is 0
}

// The exact report around the best of the run its seed schedule repeats, at the end of input or
// after a word.
TEST(Demonstration, ReportsTheBestOfTheRunItsSeedScheduleRepeats) {
  // The run seed 1234 starts finds the root; the report must show the best, not another.
  const std::string report =
      "\n\n\tAllelix\n\tDeveloped by Quorwin\n\nProblem: What is the square root of 1,522,756\n"
      "Actual mathematical solution of the problem is: 1234\n"
      "In this run, Genetic Algorithm has found it as: 1234\n\n\nEnter something to exit\n";
  for (const char* input : {"", "bye\n"}) {
    ScopedSeedSchedule schedule(1234);
    std::istringstream in(input);
    std::ostringstream out, err;
    EXPECT_EQ(RunDemonstration(in, out, err), 0);
    EXPECT_EQ(out.str() + err.str(), report);  // nothing on the error stream
  }
}

}  // namespace
}  // namespace allelix::demo
