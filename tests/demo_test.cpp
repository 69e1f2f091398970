#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "demonstration.h"
#include "support.h"

namespace allelix::demo {
namespace {

// An individual holding x in 14 bits, gene 0 the most significant.
std::unique_ptr<CMyIndividual> Number(int x) {
  std::unique_ptr<CMyIndividual> individual(
      testing::MakeIndividual({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  for (int i = 0; i < 14; ++i) individual->genes[i]->value = ((x >> (13 - i)) & 1) != 0;
  return individual;
}

TEST(SquareRoot, FitnessMatchesTheWorkedValuesExactly) {
  const std::pair<int, double> table[] = {
      {0, 0.9847693940311123},    {1000, 0.9947713943311522},
      {1233, 0.9999753250652598}, {1234, 1.0},
      {1235, 0.9999753050612592}, {9999, 0.0152306059688877},
  };
  for (const auto& [x, fitness] : table) {
    EXPECT_EQ(Decode(*Number(x)), x);
    EXPECT_EQ(Number(x)->Fitness(0), fitness) << "x = " << x;
    EXPECT_EQ(Number(x)->Fitness(-17), fitness) << "the context is ignored";
  }
  for (int x = 10000; x < 16384; ++x) ASSERT_EQ(Number(x)->Fitness(0), 0.0) << x;
  CMyIndividual empty;
  EXPECT_EQ(empty.Fitness(0), 1.0 - 1522756 / 99980001.0);
}

// The exact report around the best of the run its seed schedule repeats, at the end of input or
// after a word.
TEST(Demonstration, ReportsTheBestOfTheRunItsSeedScheduleRepeats) {
  CMyGenerator generator;
  {
    ScopedSeedSchedule schedule(1234);
    allelix::Run(generator);
  }
  const std::string report =
      "\n\n\tAllelix\n\tDeveloped by Quorwin\n\nProblem: What is the square root of 1,522,756\n"
      "Actual mathematical solution of the problem is: 1234\n"
      "In this run, Genetic Algorithm has found it as: " +
      std::to_string(Decode(*generator.best)) + "\n\n\nEnter something to exit\n";
  for (const char* input : {"", "bye\n"}) {
    ScopedSeedSchedule schedule(1234);
    std::istringstream in(input);
    std::ostringstream out, err;
    EXPECT_EQ(RunDemonstration(in, out, err), 0);
    EXPECT_EQ(out.str(), report);
    EXPECT_EQ(err.str(), "");
  }
}

}  // namespace
}  // namespace allelix::demo
