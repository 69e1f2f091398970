#include "allelix/experiment/experiment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "square_root.h"

namespace allelix::experiment {
namespace {

using demo::CMyGenerator;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Short runs of the square-root problem, stopped after a few generations.
Batch<CMyGenerator> ShortBatch(int runs, int threads, int generations = 6) {
  Batch<CMyGenerator> batch;
  batch.runs = runs;
  batch.seed = 4294967000u;  // the schedules of later runs wrap past 2^32
  batch.threads = threads;
  batch.configure = [generations](CMyGenerator& g) {
    g.stopFlags = StopOnGenerations;
    g.maxGenerations = generations;
  };
  batch.columns = {{"value", [](const CMyGenerator& g) { return double(demo::Decode(*g.best)); }}};
  return batch;
}

// A failing run, a cancellation between generations, and one between runs: the runs before
// come out whole and in order, nothing after them does.
TEST(Batch, AFailureOrACancellationEndsTheBatchAfterTheRunsBeforeIt) {
  struct Case {
    const char* name;
    int threads;
    int failingRun;    // -1: none
    int cancelAtCall;  // the call of the predicate that first answers true; 0: never
    int records;       // handed over, in order
    bool cancelled;
  };
  // A run of 4 generations consults the predicate 6 times: before it and before each of its five
  // stop tests.
  // clang-format off
  const Case cases[] = {
      {.name = "failure", .threads = 1, .failingRun = 2, .cancelAtCall = 0, .records = 2, .cancelled = false},
      {.name = "failure on threads", .threads = 3, .failingRun = 2, .cancelAtCall = 0, .records = 2, .cancelled = false},
      {.name = "mid-run", .threads = 1, .failingRun = -1, .cancelAtCall = 8, .records = 1, .cancelled = true},
      {.name = "between runs", .threads = 1, .failingRun = -1, .cancelAtCall = 13, .records = 2, .cancelled = true},
      {.name = "at once", .threads = 1, .failingRun = -1, .cancelAtCall = 1, .records = 0, .cancelled = true},
  };
  // clang-format on
  for (const Case& c : cases) {
    Batch<CMyGenerator> batch = ShortBatch(6, c.threads, 4);
    std::atomic<int> calls = 0;
    if (c.cancelAtCall > 0) batch.cancelled = [&] { return ++calls >= c.cancelAtCall; };
    batch.initialize = [&c](CMyGenerator& g) {
      // Under the schedule, the next reseed is the run's own seed.
      if (CurrentRandomPosition().nextSeed == RunSeed(4294967000u, c.failingRun)) {
        throw std::runtime_error("run failed");
      }
      g.Initialize();
    };
    std::vector<int> handed;
    const auto run = [&] {
      return batch.Run([&](RunRecord& record) { handed.push_back(record.run); });
    };
    if (c.failingRun >= 0) {
      EXPECT_THROW(run(), std::runtime_error) << c.name;
    } else {
      const BatchResult result = run();
      EXPECT_EQ(result.cancelled, c.cancelled) << c.name;
      EXPECT_EQ(static_cast<int>(result.records.size()), c.records) << c.name;
    }
    std::vector<int> expected;
    for (int r = 0; r < c.records; ++r) expected.push_back(r);
    EXPECT_EQ(handed, expected) << c.name;
  }
}

TEST(Batch, RefusesWhatCannotRunAndKeepsTheRuntimeEngineOnOneThread) {
  Batch<CMyGenerator> batch = ShortBatch(4, 4);
  batch.engine = Engine::Runtime;
  EXPECT_EQ(batch.Threads(), 1);
  batch.clockSeeding = true;
  EXPECT_THROW(batch.Run(), std::invalid_argument);  // a seed as well
  for (const auto& [runs, threads] : {std::pair{0, 1}, std::pair{1, -1}}) {
    EXPECT_THROW(ShortBatch(runs, threads).Run(), std::invalid_argument);
  }
}

TEST(Csv, ColumnsInTheOrderAskedWithTheRunFirstInABatch) {
  Row row{.generation = 3,
          .bestFitness = 0.1,
          .bestGeneration = 2,
          .meanFitness = 1.0 / 3.0,
          .convergence = 0.75,
          .own = {7, -0.5}};
  Row last = row;
  last.reason = StopReason::Stagnation;
  const struct {
    std::vector<std::string> order;
    bool batch;
    const char* header;
    const char* lines;  // row, then last
  } cases[] = {
      // clang-format off
      {.order = {}, .batch = false,
       .header = "generation,best_fitness,best_generation,fittest_fitness,mean_fitness,convergence,a,\"b,\"\"c\"\"\",stop_reason\n",
       .lines = "3,0.1,2,nan,0.3333333333333333,0.75,7,-0.5,\n3,0.1,2,nan,0.3333333333333333,0.75,7,-0.5,stagnation\n"},
      {.order = {"b,\"c\"", "generation", "stop_reason"}, .batch = true,
       .header = "run,\"b,\"\"c\"\"\",generation,stop_reason\n", .lines = "4,-0.5,3,\n4,-0.5,3,stagnation\n"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const CsvWriter csv({"a", "b,\"c\""}, c.batch, c.order);
    EXPECT_EQ(csv.Header(), c.header);
    EXPECT_EQ(csv.Lines({row, last}, 4), c.lines);
  }
  EXPECT_THROW(CsvWriter({"a"}, false, {"generation", "generation"}), std::invalid_argument);
  EXPECT_THROW(CsvWriter({"a"}, false, {"missing"}), std::invalid_argument);
  EXPECT_THROW(CsvWriter({"convergence"}), std::invalid_argument);
}

TEST(Statistics, QuantilesInterpolateBetweenOrderStatisticsAndNaNsSortLastAndTimesAreMeans) {
  const struct {
    std::vector<double> values;
    std::string spread;  // min, lower quartile, median, upper quartile, max
  } cases[] = {
      // clang-format off
      {.values = {7}, .spread = "7 7 7 7 7"},
      {.values = {4, 1, 3, 2}, .spread = "1 1.75 2.5 3.25 4"},
      {.values = {0.1, 0.7, 0.2}, .spread = "0.1 0.15000000000000002 0.2 0.44999999999999996 0.7"},
      {.values = {NaN, 2, NaN, 1, NaN, 3, NaN}, .spread = "1 2.5 nan nan nan"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const Spread s = SpreadOf(c.values);
    EXPECT_EQ(Shortest(s.min) + " " + Shortest(s.lowerQuartile) + " " + Shortest(s.median) + " " +
                  Shortest(s.upperQuartile) + " " + Shortest(s.max),
              c.spread);
  }
  EXPECT_THROW(SpreadOf({}), std::invalid_argument);
  const BatchResult timed{
      .threads = 2, .records = {{.seconds = 0.25}, {.seconds = 0.5}}, .wallSeconds = 0.4};
  EXPECT_EQ(TimingLine(timed), "time per run: 375.0 ms (0.40 s in all on 2 threads)\n");
}

// The number of points of each polyline, in the order drawn.
std::vector<int> PolylinePoints(const std::string& svg) {
  std::vector<int> counts;
  for (std::size_t at = svg.find("<polyline"); at != std::string::npos;
       at = svg.find("<polyline", at + 1)) {
    const std::size_t from = svg.find("points=\"", at) + 8;
    const std::string points = svg.substr(from, svg.find('"', from) - from);
    counts.push_back(static_cast<int>(std::count(points.begin(), points.end(), ',')));
  }
  return counts;
}

TEST(Chart, EveryGenerationOfTheLongestRunIsAPointAndNothingIsNotFinite) {
  // Runs of unequal length; a NaN is left out of its curve, an infinity is clamped to the panel.
  const Series shortRun{{1, 2, 3}, {0, 1, NaN}, {0.5, 0.6, 0.7}, {10, 20, 30}};
  const Series longRun{
      {1, 4, 4, 5, 9}, {-1, 0, 2, 3, 4}, {0.5, 0.5, 0.8, 0.9, 1.0}, {5, INFINITY, 25, 25, 40}};
  ChartOptions options;
  options.title = "a < b & c";
  options.columnName = "size <bytes>";
  const struct {
    std::vector<Series> runs;
    std::optional<double> optimum;
    std::vector<int> points;  // mean, best, convergence, column
  } cases[] = {
      {.runs = {shortRun}, .optimum = {}, .points = {2, 3, 3, 3}},
      {.runs = {shortRun, longRun}, .optimum = {}, .points = {5, 5, 5, 5}},
      {.runs = {shortRun, longRun}, .optimum = 9.0, .points = {5, 5, 5, 5}},  // an exact hit
  };
  for (const auto& c : cases) {
    options.optimum = c.optimum;
    const std::string svg = DrawChart(c.runs, options);
    EXPECT_EQ(PolylinePoints(svg), c.points);
    for (const char* bad : {"nan", "inf", "a < b", "<bytes>"}) {
      EXPECT_EQ(svg.find(bad), std::string::npos) << bad;
    }
    EXPECT_NE(svg.find("size &lt;bytes&gt;"), std::string::npos);
    EXPECT_NE(svg.find("height=\"848.0\""), std::string::npos);  // room for the third panel
  }
}

}  // namespace
}  // namespace allelix::experiment
