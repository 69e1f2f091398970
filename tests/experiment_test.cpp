#include "allelix/experiment/experiment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "square_root.h"

namespace allelix::experiment {
namespace {

using demo::CMyGenerator;
const double NaN = std::nan("");

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
  return batch;
}

// A failing run, a cancellation between generations, and one between runs: the runs before
// come out whole and in order, nothing after them does.
TEST(Batch, AFailureOrACancellationEndsItAfterTheRunsBeforeAndWhatCannotRunDoesNotStart) {
  // A run of 4 generations consults the predicate 6 times: before it and before each of its five
  // stop tests. cancelAtCall: the call of the predicate that first answers true (0: never).
  const struct {
    int threads, failingRun = -1, cancelAtCall = 0;
    std::vector<int> handed;  // the runs handed over, in order
  } cases[] = {
      // clang-format off
      {.threads = 1, .failingRun = 2, .handed = {0, 1}},
      {.threads = 3, .failingRun = 2, .handed = {0, 1}},
      {.threads = 1, .cancelAtCall = 8, .handed = {0}},   // mid-run
      {.threads = 1, .cancelAtCall = 13, .handed = {0, 1}},  // between runs
      {.threads = 1, .cancelAtCall = 1, .handed = {}},   // at once
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Batch<CMyGenerator> batch = ShortBatch(6, c.threads, 4);
    std::atomic<int> calls = 0;
    if (c.cancelAtCall > 0) batch.cancelled = [&] { return ++calls >= c.cancelAtCall; };
    batch.initialize = [&c](CMyGenerator& g) {
      // Under the schedule, the next reseed is the run's own seed.
      if (CurrentRandomPosition().nextSeed == RunSeed(4294967000u, c.failingRun))
        throw std::runtime_error("run failed");
      g.Initialize();
    };
    std::vector<int> handed;
    std::optional<BatchResult> result;
    try {
      result = batch.Run([&](RunRecord& record) { handed.push_back(record.run); });
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(handed, c.handed);
    // A failure is thrown; a cancelled batch returns the runs that finished.
    EXPECT_TRUE(result ? result->cancelled && result->records.size() == c.handed.size()
                       : c.failingRun >= 0);
  }
  // What cannot run does not start.
  Batch<CMyGenerator> batch = ShortBatch(4, 4);
  batch.clockSeeding = true;
  EXPECT_THROW(batch.Run(), std::invalid_argument);  // a seed as well
  EXPECT_THROW(ShortBatch(0, 1).Run(), std::invalid_argument);
  EXPECT_THROW(ShortBatch(1, -1).Run(), std::invalid_argument);
  // One run more than the seeds hold would start from run 0's seed and repeat it.
  EXPECT_EQ(RunSeed(4294967000u, MaxSeededRuns), RunSeed(4294967000u, 0));
  EXPECT_THROW(ShortBatch(MaxSeededRuns + 1, 1).Run(), std::invalid_argument);
}

// Columns come in the order asked, after the run in a batch, with names quoted as CSV quotes.
TEST(Csv, ColumnsInTheOrderAskedWithTheRunFirstInABatch) {
  const Row row{.generation = 3, .bestFitness = 0.1, .own = {7, -0.5}};
  const Row last{
      .generation = 3, .bestFitness = 0.1, .reason = StopReason::Stagnation, .own = {7, -0.5}};
  const CsvWriter csv({"a", "b,\"c\""}, true,
                      {"b,\"c\"", "generation", "best_fitness", "stop_reason"});
  EXPECT_EQ(csv.Header() + csv.Lines({row, last}, 4),
            "run,\"b,\"\"c\"\"\",generation,best_fitness,stop_reason\n4,-0.5,3,0.1,\n"
            "4,-0.5,3,0.1,stagnation\n");
  EXPECT_THROW(CsvWriter({"a"}, false, {"generation", "generation"}), std::invalid_argument);
  EXPECT_THROW(CsvWriter({"a"}, false, {"missing"}), std::invalid_argument);
  EXPECT_THROW(CsvWriter({"convergence"}), std::invalid_argument);
}

TEST(Statistics, QuantilesInterpolateBetweenOrderStatisticsAndNaNsSortLastAndTimesAreMeans) {
  const std::pair<std::vector<double>, std::string> cases[] = {
      // values; min, lower quartile, median, upper quartile, max
      {{4, 1, 3, 2}, "1 1.75 2.5 3.25 4"},
      {{0.1, 0.7, 0.2}, "0.1 0.15000000000000002 0.2 0.44999999999999996 0.7"},
      {{NaN, 2, NaN, 1, NaN, 3, NaN}, "1 2.5 nan nan nan"},
  };
  for (const auto& [values, spread] : cases) {
    const Spread s = SpreadOf(values);
    EXPECT_EQ(Shortest(s.min) + " " + Shortest(s.lowerQuartile) + " " + Shortest(s.median) + " " +
                  Shortest(s.upperQuartile) + " " + Shortest(s.max),
              spread);
  }
  EXPECT_THROW(SpreadOf({}), std::invalid_argument);
  const BatchResult timed{
      .threads = 2, .records = {{.seconds = 0.25}, {.seconds = 0.5}}, .wallSeconds = 0.4};
  EXPECT_EQ(TimingLine(timed), "time per run: 375.0 ms (0.40 s in all on 2 threads)\n");
}

// Runs of unequal length give every generation of the longest run a point, in each of the four
// polylines (mean, best, convergence, column); a NaN is left out of its curve, an infinity is
// clamped to the panel, and text is escaped.
TEST(Chart, EveryGenerationOfTheLongestRunIsAPointAndNothingIsNotFinite) {
  const Series shortRun{{1, 2, 3}, {0, 1, NaN}, {.5, .6, .7}, {10, 20, 30}};
  const Series longRun{
      {1, 4, 4, 5, 9}, {-1, 0, 2, 3, 4}, {.5, .5, .8, .9, 1}, {5, INFINITY, 25, 25, 40}};
  const std::regex polyline("<polyline[^>]*points=\"([^\"]*)\"");
  // The runs drawn, and the points of each polyline.
  const std::pair<std::vector<Series>, std::vector<long>> cases[] = {
      {{shortRun}, {2, 3, 3, 3}}, {{shortRun, longRun}, {5, 5, 5, 5}}};
  for (const auto& [runs, expected] : cases) {
    const std::string svg = DrawChart(runs, {.title = "a < b & c", .columnName = "size <bytes>"});
    std::vector<long> points;  // commas, one a point
    for (std::sregex_iterator it(svg.begin(), svg.end(), polyline), end; it != end; ++it)
      points.push_back(std::count((*it)[1].first, (*it)[1].second, ','));
    EXPECT_EQ(points, expected);
    // Nothing unescaped or not finite, and room for the third panel, the column's.
    EXPECT_TRUE(!std::regex_search(svg, std::regex("nan|inf|a < b|<bytes>")) &&
                svg.find("size &lt;bytes&gt;") != svg.npos &&
                svg.find("height=\"848.0\"") != svg.npos);
  }
}

}  // namespace
}  // namespace allelix::experiment
