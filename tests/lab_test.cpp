#include "lab.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "experiment.h"
#include "options.h"
#include "output_file.h"
#include "plot.h"
#include "summary.h"
#include "support.h"

namespace allelix::lab {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// Runs the lab in-process with a clock that stands still, so every byte of its output is fixed.
Outcome Lab(std::vector<std::string> args) {
  args.insert(args.begin(), "allelix-lab");
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err, false, [] { return 0.0; }};
  const int status = RunLab(args, console);
  return {status, out.str(), err.str()};
}

Options Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "allelix-lab");
  std::ostringstream out;
  std::ostringstream err;
  const ParsedCommandLine parsed = ParseCommandLine(args, out, err);
  EXPECT_TRUE(parsed.options.has_value()) << err.str();
  return parsed.options.value_or(Options{});
}

// The generator a run would use with these arguments.
struct Configured {
  demo::CMyGenerator generator;
  explicit Configured(const std::vector<std::string>& args) { Configure(Parse(args), generator); }
};

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  return fields;
}

std::string ToChars(double value) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A fresh directory for the files a test writes, removed afterwards.
class LabFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "allelix-lab-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST(LabOptions, OperatorNamesAndNumbersChooseTheSameSetting) {
  const std::pair<const char*, int> selections[] = {
      {"none", 0}, {"roulette", 1}, {"remainder", 2}, {"elitism", 3}, {"tournament", 4}};
  for (const auto& [name, number] : selections) {
    EXPECT_EQ(Configured({"--selection", name}).generator.selectionType, number) << name;
    EXPECT_EQ(Configured({"--selection", std::to_string(number)}).generator.selectionType, number);
  }
  const std::pair<const char*, int> crossovers[] = {
      {"none", 0}, {"one-point", 1}, {"two-point", 2}, {"uniform", 3}};
  for (const auto& [name, number] : crossovers) {
    EXPECT_EQ(Configured({"--crossover", name}).generator.crossoverType, number) << name;
    EXPECT_EQ(Configured({"--crossover", std::to_string(number)}).generator.crossoverType, number);
  }
  // Left out, the operators and stop flags are those of the demonstration.
  const Configured defaults({});
  EXPECT_EQ(defaults.generator.selectionType, 3);
  EXPECT_EQ(defaults.generator.crossoverType, 2);
  EXPECT_EQ(defaults.generator.stopFlags, 60u);
}

TEST(LabOptions, RatesReachTheGeneratorExactlyAsTyped) {
  EXPECT_EQ(Configured({"--mutation-rate", "0.1"}).generator.mutationRate, 0.1);
  EXPECT_EQ(Configured({"--crossover-rate", "1e-3"}).generator.crossoverRate, 0.001);
  // Just above the midpoint between 0.5 and the next double: rounding through long double first
  // lands on the midpoint and then on 0.5; one correct rounding gives the double above.
  EXPECT_EQ(
      Configured({"--uniform-rate", "0.50000000000000005551115123125783"}).generator.uniformRate,
      std::nextafter(0.5, 1.0));
  EXPECT_EQ(Configured({"--tournament-rate", "0.9"}).generator.tournamentRate, 0.9);
  EXPECT_EQ(Configured({"--convergence-threshold", "0.85"}).generator.convergenceThreshold, 0.85);
}

TEST(LabOptions, EachOptionSetsItsOwnFieldAndOnlyThat) {
  const Configured all({"--mutation-rate",         "0.125", "--crossover-rate",  "0.25",
                        "--uniform-rate",          "0.375", "--tournament-rate", "0.5",
                        "--elite-count",           "7",     "--stop-flags",      "48",
                        "--convergence-threshold", "0.625", "--max-minutes",     "11",
                        "--max-generations",       "13",    "--max-stagnation",  "17"});
  const demo::CMyGenerator& g = all.generator;
  EXPECT_EQ(g.mutationRate, 0.125);
  EXPECT_EQ(g.crossoverRate, 0.25);
  EXPECT_EQ(g.uniformRate, 0.375);
  EXPECT_EQ(g.tournamentRate, 0.5);
  EXPECT_EQ(g.eliteCount, 7);
  EXPECT_EQ(g.stopFlags, 48u);
  EXPECT_EQ(g.convergenceThreshold, 0.625);
  EXPECT_EQ(g.maxMinutes, 11);
  EXPECT_EQ(g.maxGenerations, 13);
  EXPECT_EQ(g.maxStagnation, 17);

  const demo::CMyGenerator library;
  const demo::CMyGenerator& kept = Configured({"--mutation-rate", "0.5"}).generator;
  EXPECT_EQ(kept.crossoverRate, library.crossoverRate);
  EXPECT_EQ(kept.uniformRate, library.uniformRate);
  EXPECT_EQ(kept.convergenceThreshold, library.convergenceThreshold);
  EXPECT_EQ(kept.maxStagnation, library.maxStagnation);

  const Options seeded = Parse({"--seed", "4294967295", "--engine", "classic", "--runs", "3"});
  EXPECT_EQ(seeded.seed, 4294967295u);
  EXPECT_EQ(seeded.engine, Engine::Classic);
  EXPECT_EQ(seeded.runs, 3);
}

TEST(LabOptions, HelpDescribesEveryOption) {
  const Outcome help = Lab({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* option :
       {"--engine", "--seed", "--selection", "--crossover", "--mutation-rate", "--crossover-rate",
        "--uniform-rate", "--tournament-rate", "--elite-count", "--stop-flags",
        "--convergence-threshold", "--max-minutes", "--max-generations", "--max-stagnation",
        "--runs", "--jobs", "--trace", "--plot"}) {
    const std::size_t at = help.out.find(std::string("  ") + option + " ");
    ASSERT_NE(at, std::string::npos) << option;
    const std::string line = help.out.substr(at, help.out.find('\n', at) - at);
    EXPECT_GT(line.size(), 40u) << "no description for " << option;
  }
}

TEST_F(LabFiles, BadOptionsFailWithOneLineAndWriteNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"--seed", "4294967296"},
      {"--seed", "-1"},
      {"--seed", "0x10"},
      {"--seed"},
      {"--mutation-rate", "abc"},
      {"--mutation-rate", "1.5"},
      {"--crossover-rate", "nan"},
      {"--uniform-rate", "0.5.1"},
      {"--tournament-rate", "-0.1"},
      {"--mutation-rate", "1e-999"},
      {"--selection", "Elitism"},
      {"--selection", "5"},
      {"--crossover", "two_point"},
      {"--crossover", "-1"},
      {"--engine", "mt"},
      {"--stop-flags", "2"},
      {"--stop-flags", "64"},
      {"--stop-flags", "0"},
      {"--runs", "0"},
      {"--runs", "100001"},
      {"--jobs", "0"},
      {"--elite-count", "-1"},
      {"--max-generations", "2147483648"},
      {"--max-minutes", "5 "},
      {"--unknown"},
      {"positional"},
      {"--plot", "-"},
      {"--trace", ""},
      {"--trace", Path("missing/trace.csv")},
      {"--plot", Path("missing/chart.svg")},
      {"--plot", dir_.string()},
      {"--trace", Path("same"), "--plot", Path("same")}};
  for (std::vector<std::string> args : bad) {
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    // A trace to write in a directory that exists, which a failure must not leave behind.
    if (std::find(args.begin(), args.end(), "--trace") == args.end()) {
      args.insert(args.end(), {"--trace", Path("trace.csv")});
    }
    const Outcome outcome = Lab(args);
    EXPECT_EQ(outcome.status, 2) << joined;
    EXPECT_EQ(outcome.out, "") << joined;
    EXPECT_EQ(outcome.err.rfind("allelix-lab: ", 0), 0u) << joined << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(Entries(), std::vector<std::string>{}) << joined;
  }
  EXPECT_NE(Lab({"--mutation-rate", "1.5"}).err.find("'1.5' is out of range (0 to 1)"),
            std::string::npos);
  EXPECT_NE(Lab({"--trace", Path("missing/trace.csv")}).err.find("No such file or directory"),
            std::string::npos);
}

TEST_F(LabFiles, SameSeedAndSettingsRepeatByteForByte) {
  const Outcome first = Lab({"--seed", "7", "--trace", "-"});
  const Outcome second = Lab({"--seed", "7", "--trace", "-"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.err, second.err);  // the summary, out of the trace's way
  EXPECT_NE(first.out, Lab({"--seed", "8", "--trace", "-"}).out);
  EXPECT_NE(first.out, Lab({"--seed", "7", "--engine", "classic", "--trace", "-"}).out);

  // A batch on one thread or two writes the same trace, chart and findings.
  const std::vector<std::string> batch = {"--runs",          "4",  "--seed", "4000000000",
                                          "--mutation-rate", "0.3"};
  std::vector<std::string> one = batch;
  one.insert(one.end(), {"--jobs", "1", "--trace", Path("one.csv"), "--plot", Path("one.svg")});
  std::vector<std::string> two = batch;
  two.insert(two.end(), {"--jobs", "2", "--trace", Path("two.csv"), "--plot", Path("two.svg")});
  const Outcome onOne = Lab(one);
  const Outcome onTwo = Lab(two);
  ASSERT_EQ(onOne.status, 0) << onOne.err;
  ASSERT_EQ(onTwo.status, 0) << onTwo.err;
  EXPECT_EQ(Read(Path("one.csv")), Read(Path("two.csv")));
  EXPECT_EQ(Read(Path("one.svg")), Read(Path("two.svg")));
  const std::vector<std::string> a = Lines(onOne.out);
  const std::vector<std::string> b = Lines(onTwo.out);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_TRUE(std::equal(a.begin(), a.end() - 1, b.begin()));  // all but the timing line
  EXPECT_EQ(Entries(), (std::vector<std::string>{"one.csv", "one.svg", "two.csv", "two.svg"}));
}

TEST_F(LabFiles, TraceRowsAreTheGeneratorsStateAtEachStopTest) {
  const std::vector<std::string> settings = {"--max-generations", "25", "--stop-flags", "48",
                                             "--mutation-rate",   "0.2"};
  std::vector<std::string> args = settings;
  args.insert(args.end(), {"--seed", "11", "--trace", Path("trace.csv")});
  ASSERT_EQ(Lab(args).status, 0);
  const std::vector<std::string> rows = Lines(Read(Path("trace.csv")));
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0],
            "generation,best_value,best_fitness,best_generation,fittest_fitness,mean_fitness,"
            "convergence");

  // The same run, stepped by hand, read field by field before each stop test.
  const ScopedSeedSchedule schedule(11, Engine::Mt19937);
  Configured twin(settings);
  demo::CMyGenerator& g = twin.generator;
  g.Initialize();
  std::size_t row = 1;
  for (;; ++row) {
    ASSERT_LT(row, rows.size()) << "the trace ends before the run does";
    const std::string expected =
        std::to_string(g.generation) + "," + std::to_string(demo::Decode(*g.best)) + "," +
        ToChars(g.best->fitness) + "," + std::to_string(g.bestGeneration) + "," +
        ToChars(g.FindFittest()->fitness) + "," + ToChars(g.population->MeanFitness()) + "," +
        ToChars(g.population->Convergence());
    EXPECT_EQ(rows[row], expected);
    if (TestStop(g) != StopReason::None) break;
    g.NextGeneration();
  }
  EXPECT_EQ(rows.size(), row + 1) << "rows after the stop test fired";
  EXPECT_EQ(Fields(rows.back())[0], std::to_string(g.generation));
}

TEST_F(LabFiles, BatchRunsAreTheSingleRunsOfTheirSeeds) {
  ASSERT_EQ(
      Lab({"--runs", "3", "--seed", "4294000000", "--jobs", "1", "--trace", Path("batch.csv")})
          .status,
      0);
  const std::vector<std::string> batch = Lines(Read(Path("batch.csv")));
  ASSERT_FALSE(batch.empty());
  EXPECT_EQ(batch[0].rfind("run,generation,best_value,", 0), 0u);
  std::size_t next = 1;
  for (int run = 0; run < 3; ++run) {
    // Run r starts from (S + r * 1048576) mod 2^32, which wraps for r = 1 and 2.
    const std::uint32_t seed = 4294000000u + static_cast<std::uint32_t>(run) * 1048576u;
    const std::vector<std::string> single =
        Lines(Lab({"--seed", std::to_string(seed), "--trace", "-"}).out);
    for (std::size_t i = 1; i < single.size(); ++i, ++next) {
      ASSERT_LT(next, batch.size());
      EXPECT_EQ(batch[next], std::to_string(run) + "," + single[i]);
    }
  }
  EXPECT_EQ(next, batch.size());
}

TEST_F(LabFiles, WritingTraceAndChartDrawsNothing) {
  std::size_t plain = 0;
  std::string plainSummary;
  {
    const testing::CountedDraws draws;
    plainSummary = Lab({"--seed", "3"}).out;
    plain = draws.Drawn();
  }
  const testing::CountedDraws draws;
  const Outcome watched = Lab({"--seed", "3", "--trace", Path("t.csv"), "--plot", Path("p.svg")});
  EXPECT_EQ(draws.Drawn(), plain);
  EXPECT_GT(plain, 0u);
  EXPECT_EQ(watched.out, plainSummary);
}

TEST(LabSummary, ReportsTheRunAndTheBatchAgreesWithItsRuns) {
  const Outcome one = Lab({"--seed", "21", "--stop-flags", "16", "--max-generations", "5"});
  const std::vector<std::string> lines = Lines(one.out);
  ASSERT_EQ(lines.size(), 6u) << one.out;
  EXPECT_EQ(lines[0], "seed 21, engine mt19937, selection elitism, crossover two-point");
  EXPECT_EQ(lines[1], "stop reason: generations");
  EXPECT_EQ(lines[2], "generations: 5");

  // Five runs: quartiles fall on order statistics 1, 2 and 3 without interpolation.
  const std::vector<std::string> settings = {"--mutation-rate", "0.05", "--max-stagnation", "8"};
  std::vector<double> generations;
  std::vector<double> errors;
  int found = 0;
  for (int run = 0; run < 5; ++run) {
    std::vector<std::string> args = settings;
    args.insert(args.end(), {"--seed", std::to_string(100 + run * 1048576)});
    const std::vector<std::string> single = Lines(Lab(args).out);
    ASSERT_EQ(single.size(), 6u);
    generations.push_back(std::stod(single[2].substr(single[2].find(':') + 1)));
    const int value = std::stoi(single[3].substr(single[3].find(':') + 1));
    errors.push_back(std::abs(value - 1234));
    found += value == 1234 ? 1 : 0;
  }
  std::sort(generations.begin(), generations.end());
  std::sort(errors.begin(), errors.end());
  const auto spread = [](const std::vector<double>& v) {
    return "median " + ToChars(v[2]) + ", min " + ToChars(v[0]) + ", quartiles " + ToChars(v[1]) +
           " and " + ToChars(v[3]) + ", max " + ToChars(v[4]);
  };
  std::vector<std::string> args = settings;
  args.insert(args.end(), {"--seed", "100", "--runs", "5"});
  const std::vector<std::string> summary = Lines(Lab(args).out);
  ASSERT_EQ(summary.size(), 6u);
  EXPECT_EQ(summary[1],
            "found 1234: " + std::to_string(found) + " of 5 runs (" + ToChars(found * 20.0) + "%)");
  EXPECT_EQ(summary[2], "generations: " + spread(generations));
  EXPECT_EQ(summary[3], "|value - 1234|: " + spread(errors));
  EXPECT_EQ(summary[4], "stop reasons: stagnation 5");
  EXPECT_EQ(summary[5].rfind("time per run: 0.0 ms", 0), 0u);
}

TEST(LabSummary, SpreadInterpolatesBetweenOrderStatistics) {
  const Spread spread = SpreadOf({4, 1, 3, 2});
  EXPECT_EQ(spread.min, 1);
  EXPECT_EQ(spread.lowerQuartile, 1.75);
  EXPECT_EQ(spread.median, 2.5);
  EXPECT_EQ(spread.upperQuartile, 3.25);
  EXPECT_EQ(spread.max, 4);
  EXPECT_EQ(SpreadOf({9}).median, 9);
}

TEST(LabSeeds, ABatchWithoutSeedTakesItFromTheClockAndCanBeRepeated) {
  const testing::ManualClock clock(1'700'000'000);
  const Outcome unseeded = Lab({"--runs", "2", "--jobs", "1", "--trace", "-"});
  EXPECT_EQ(Lines(unseeded.err)[0],
            "2 runs, seed 1700000000 from the clock (repeat with --seed 1700000000), engine "
            "mt19937, selection elitism, crossover two-point");
  EXPECT_EQ(unseeded.out, Lab({"--runs", "2", "--seed", "1700000000", "--trace", "-"}).out);
}

TEST(LabChart, DrawsEveryGenerationWithFiniteCoordinates) {
  // One run reaching an error of exactly 0, which a log scale cannot place by itself.
  RunSeries run{{1e-3, 2.5e-5, 0.0}, {0.4, 0.1, 0.05}, {0.5, 0.75, 1.0}};
  const std::string single = DrawChart({run}, {"Title <1>", "sub & text", 0.9});
  EXPECT_EQ(single.rfind("<svg ", 0), 0u);
  EXPECT_EQ(single.substr(single.size() - 7), "</svg>\n");
  EXPECT_NE(single.find("Title &lt;1&gt;"), std::string::npos);
  EXPECT_NE(single.find("sub &amp; text"), std::string::npos);
  EXPECT_EQ(single.find("nan"), std::string::npos);
  EXPECT_EQ(single.find("inf"), std::string::npos);
  EXPECT_NE(single.find("stop threshold"), std::string::npos);
  EXPECT_EQ(single.find("<polygon"), std::string::npos);
  // The best curve ends on the line of exact hits, at the right edge.
  EXPECT_NE(single.find(" 680.0,362.0 \"/>"), std::string::npos);

  // A batch whose runs end at different generations shows bands over the longest run.
  RunSeries shorter{{0.5}, {0.6}, {0.55}};
  const std::string batch = DrawChart({run, shorter}, {"t", "s", std::nullopt});
  EXPECT_NE(batch.find("<polygon"), std::string::npos);
  EXPECT_NE(batch.find("middle half of runs"), std::string::npos);
  EXPECT_EQ(batch.find("stop threshold"), std::string::npos);
  EXPECT_EQ(batch.find("nan"), std::string::npos);
}

TEST_F(LabFiles, PendingFileAppearsWholeOrNotAtAll) {
  const std::string target = Path("out.txt");
  {
    std::ofstream(target) << "old";
    PendingFile file(target);
    file.Stream() << "new";
    EXPECT_EQ(Read(target), "old");
  }  // abandoned: the old content stays and the temporary file is gone
  EXPECT_EQ(Read(target), "old");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.txt"});
  {
    PendingFile file(target);
    file.Stream() << "new";
    file.Commit();
  }
  EXPECT_EQ(Read(target), "new");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.txt"});
  EXPECT_THROW(PendingFile(Path("no/such/dir/file")), OutputError);
}

}  // namespace
}  // namespace allelix::lab
