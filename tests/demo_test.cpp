#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "demonstration.h"
#include "support.h"

namespace allelix::demo {
namespace {

using testing::MakeIndividual;

// An individual holding x in 14 bits, gene 0 the most significant.
std::unique_ptr<CMyIndividual> Number(int x) {
  std::unique_ptr<CMyIndividual> individual(
      MakeIndividual({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
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

TEST(SquareRoot, TheDemonstrationsGeneratorEnablesAllFourCriteria) {
  const CMyGenerator generator;
  EXPECT_EQ(generator.stopFlags,
            StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation);
}

std::string RunWith(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunDemonstration(in, out, err), 0);
  EXPECT_EQ(err.str(), "");
  return out.str();
}

// The number the report names, or -1 when the output is not exactly the report around it.
int ReportedValue(const std::string& output) {
  const std::string head =
      "\n\n\tAllelix\n\tDeveloped by Quorwin\n\nProblem: What is the square root of 1,522,756\n"
      "Actual mathematical solution of the problem is: 1234\n"
      "In this run, Genetic Algorithm has found it as: ";
  const std::string tail = "\n\n\nEnter something to exit\n";
  if (output.size() <= head.size() + tail.size() || output.compare(0, head.size(), head) != 0 ||
      output.compare(output.size() - tail.size(), tail.size(), tail) != 0) {
    return -1;
  }
  const std::string digits = output.substr(head.size(), output.size() - head.size() - tail.size());
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoi(digits);
}

// The exact report around the best of the run its seed schedule repeats, at the end of input or
// after a word.
TEST(Demonstration, ReportsTheBestOfTheRunItsSeedScheduleRepeats) {
  std::string output;
  for (const char* input : {"", "bye\n"}) {
    ScopedSeedSchedule schedule(1234);
    output = RunWith(input);
  }
  ScopedSeedSchedule schedule(1234);
  CMyGenerator generator;
  allelix::Run(generator);
  EXPECT_EQ(ReportedValue(output), Decode(*generator.best));
}

}  // namespace
}  // namespace allelix::demo
