#include "allelix/experiment/experiment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
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

// Every field of a row, for comparing rows as a whole.
std::string Text(const Row& row) { return CsvWriter({"value"}).Line(row); }

TEST(Recorder, OnEvolveItKeepsTheStateOfEveryStopTestAndTheReasonAtTheEnd) {
  const ScopedSeedSchedule schedule(5);
  CMyGenerator generator;
  generator.stopFlags = StopOnStagnation;
  generator.maxStagnation = 3;
  Recorder<CMyGenerator> recorder(ShortBatch(1, 1).columns);
  generator.Initialize();
  const StopReason reason = recorder.Evolve(generator);
  const std::vector<Row>& rows = recorder.Rows();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(generator.generation) + 1);
  for (std::size_t g = 0; g < rows.size(); ++g) {
    EXPECT_EQ(rows[g].generation, static_cast<int>(g));
    EXPECT_EQ(rows[g].reason, g + 1 == rows.size() ? reason : StopReason::None) << g;
  }
  Row last = Observe(generator, ShortBatch(1, 1).columns);
  last.reason = reason;
  EXPECT_EQ(Text(rows.back()), Text(last));
  EXPECT_EQ(rows.back().own, std::vector<double>{double(demo::Decode(*generator.best))});
  EXPECT_EQ(rows.back().bestFitness, generator.best->fitness);

  Recorder<CMyGenerator> lastOnly({}, false);
  lastOnly(generator);
  lastOnly(generator);
  EXPECT_EQ(lastOnly.Rows().size(), 1u);
}

TEST(Batch, RunsAreTheSeededSingleRunsWhateverTheThreads) {
  std::vector<std::vector<std::string>> byThreads;
  for (const int threads : {1, 3}) {
    std::ostringstream progress;
    Batch<CMyGenerator> batch = ShortBatch(5, threads);
    batch.progress = &progress;
    const BatchResult result = batch.Run();
    EXPECT_EQ(result.threads, threads);
    EXPECT_NE(progress.str().find("\r5 of 5 runs done"), std::string::npos);
    std::vector<std::string> rows;
    for (const RunRecord& record : result.records) {
      EXPECT_EQ(record.seed, RunSeed(4294967000u, record.run));
      EXPECT_EQ(Text(record.last), Text(record.rows.back()));
      for (const Row& row : record.rows) rows.push_back(Text(row));
    }
    byThreads.push_back(rows);
  }
  EXPECT_EQ(byThreads[0], byThreads[1]);

  // Run 3 on its own, from its seed schedule, recorded through Evolve.
  const ScopedSeedSchedule schedule(RunSeed(4294967000u, 3));
  CMyGenerator generator;
  ShortBatch(1, 1).configure(generator);
  Recorder<CMyGenerator> recorder(ShortBatch(1, 1).columns);
  recorder.Finish(allelix::Run(generator, recorder));
  std::vector<std::string> alone;
  for (const Row& row : recorder.Rows()) alone.push_back(Text(row));
  const std::size_t perRun = alone.size();
  EXPECT_EQ(alone, std::vector<std::string>(byThreads[0].begin() + 3 * perRun,
                                            byThreads[0].begin() + 4 * perRun));
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
  const Case cases[] = {
      {.name = "failure",
       .threads = 1,
       .failingRun = 2,
       .cancelAtCall = 0,
       .records = 2,
       .cancelled = false},
      {.name = "failure on threads",
       .threads = 3,
       .failingRun = 2,
       .cancelAtCall = 0,
       .records = 2,
       .cancelled = false},
      {.name = "mid-run",
       .threads = 1,
       .failingRun = -1,
       .cancelAtCall = 8,
       .records = 1,
       .cancelled = true},
      {.name = "between runs",
       .threads = 1,
       .failingRun = -1,
       .cancelAtCall = 13,
       .records = 2,
       .cancelled = true},
      {.name = "at once",
       .threads = 1,
       .failingRun = -1,
       .cancelAtCall = 1,
       .records = 0,
       .cancelled = true},
  };
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

// The processes of a job as threads of this one: Share hands rank 0's k-th bytes to every other
// rank's k-th call, and each rank's messages to rank 0 queue up in order.
class ThreadJob {
 public:
  explicit ThreadJob(int size) : sent_(static_cast<std::size_t>(size)) {
    for (int rank = 0; rank < size; ++rank) ranks_.push_back(std::make_unique<Member>(*this, rank));
  }
  Ranks& operator[](int rank) { return *ranks_[static_cast<std::size_t>(rank)]; }

 private:
  class Member final : public Ranks {
   public:
    Member(ThreadJob& job, int rank) : job_(job), rank_(rank) {}
    int Rank() const override { return rank_; }
    int Size() const override { return static_cast<int>(job_.ranks_.size()); }
    std::string Share(const std::string& bytes) override {
      std::unique_lock lock(job_.mutex_);
      if (rank_ == 0) {
        job_.shared_.push_back(bytes);
        job_.changed_.notify_all();
        return bytes;
      }
      job_.changed_.wait(lock, [&] { return job_.shared_.size() > shares_; });
      return job_.shared_[shares_++];
    }
    void SendToRankZero(const std::string& bytes) override {
      const std::lock_guard lock(job_.mutex_);
      job_.sent_[static_cast<std::size_t>(rank_)].push_back(bytes);
      job_.changed_.notify_all();
    }
    std::string ReceiveFrom(int from) override {
      std::unique_lock lock(job_.mutex_);
      auto& queue = job_.sent_[static_cast<std::size_t>(from)];
      job_.changed_.wait(lock, [&] { return !queue.empty(); });
      std::string bytes = std::move(queue.front());
      queue.pop_front();
      return bytes;
    }

   private:
    ThreadJob& job_;
    int rank_;
    std::size_t shares_ = 0;
  };

  std::vector<std::unique_ptr<Member>> ranks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> shared_;
  std::vector<std::deque<std::string>> sent_;
};

TEST(Batch, OnTheRanksOfAJobRankZeroGetsEveryRunAsOneProcessWould) {
  const auto batchOf = [](Ranks* ranks, std::optional<std::uint32_t> seed) {
    Batch<CMyGenerator> batch = ShortBatch(7, 1);
    batch.seed = seed;  // the other ranks take rank 0's
    batch.ranks = ranks;
    batch.success = [](const CMyGenerator& g) { return demo::Decode(*g.best) == demo::Root; };
    batch.describe = [](const CMyGenerator& g) { return std::to_string(g.bestGeneration); };
    batch.initialize = [](CMyGenerator& g) {
      if (CurrentRandomPosition().nextSeed == RunSeed(4294967000u, 5)) {
        throw std::runtime_error("run 5 failed");
      }
      g.Initialize();
    };
    return batch;
  };
  const auto text = [](const RunRecord& record) {
    std::string all = std::to_string(record.run) + (record.success ? " found " : " missed ") +
                      record.description + "\n";
    for (const Row& row : record.rows) all += Text(row);
    return all;
  };
  std::vector<std::string> alone;
  // Runs 0 to 4, and 5 fails: on one process, then on three, where runs 2 and 5 belong to rank 2.
  EXPECT_THROW(batchOf(nullptr, 4294967000u).Run([&](RunRecord& r) { alone.push_back(text(r)); }),
               std::runtime_error);
  ThreadJob job(3);
  std::vector<std::jthread> others;
  for (const int rank : {1, 2}) {
    others.emplace_back(
        [&batchOf, &job, rank] { EXPECT_TRUE(batchOf(&job[rank], 7u).Run().records.empty()); });
  }
  std::vector<std::string> spread;
  try {
    batchOf(&job[0], 4294967000u).Run([&](RunRecord& r) { spread.push_back(text(r)); });
    ADD_FAILURE() << "run 5 failed on rank 2, and rank 0 must say so";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "run 5 failed");
  }
  EXPECT_EQ(spread, alone);
  EXPECT_EQ(alone.size(), 5u);
}

TEST(Batch, RefusesWhatCannotRunAndKeepsTheRuntimeEngineOnOneThread) {
  Batch<CMyGenerator> batch = ShortBatch(4, 4);
  batch.engine = Engine::Runtime;
  EXPECT_EQ(batch.Threads(), 1);
  batch.clockSeeding = true;
  EXPECT_THROW(batch.Run(), std::invalid_argument);  // a seed as well
  batch = ShortBatch(0, 1);
  EXPECT_THROW(batch.Run(), std::invalid_argument);
  batch = ShortBatch(1, -1);
  EXPECT_THROW(batch.Run(), std::invalid_argument);
}

TEST(Csv, ColumnsInTheOrderAskedWithTheRunFirstInABatch) {
  Row row;
  row.generation = 3;
  row.bestFitness = 0.1;
  row.bestGeneration = 2;
  row.meanFitness = 1.0 / 3.0;
  row.convergence = 0.75;
  row.own = {7, -0.5};
  Row last = row;
  last.reason = StopReason::Stagnation;
  struct Case {
    std::vector<std::string> order;
    bool batch;
    const char* header;
    const char* lines;  // row, then last
  };
  const Case cases[] = {
      {.order = {},
       .batch = false,
       .header = "generation,best_fitness,best_generation,fittest_fitness,mean_fitness,"
                 "convergence,a,\"b,\"\"c\"\"\",stop_reason\n",
       .lines = "3,0.1,2,nan,0.3333333333333333,0.75,7,-0.5,\n"
                "3,0.1,2,nan,0.3333333333333333,0.75,7,-0.5,stagnation\n"},
      {.order = {"b,\"c\"", "generation", "stop_reason"},
       .batch = true,
       .header = "run,\"b,\"\"c\"\"\",generation,stop_reason\n",
       .lines = "4,-0.5,3,\n4,-0.5,3,stagnation\n"},
  };
  for (const Case& c : cases) {
    const CsvWriter csv({"a", "b,\"c\""}, c.batch, c.order);
    EXPECT_EQ(csv.Header(), c.header);
    EXPECT_EQ(csv.Lines({row, last}, 4), c.lines);
  }
  for (const std::vector<std::string>& order :
       {std::vector<std::string>{"generation", "generation"}, {"missing"}}) {
    EXPECT_THROW(CsvWriter({"a"}, false, order), std::invalid_argument) << order[0];
  }
  EXPECT_THROW(CsvWriter({"convergence"}), std::invalid_argument);
}

TEST(Statistics, QuantilesInterpolateBetweenOrderStatisticsAndNaNsSortLast) {
  struct Case {
    std::vector<double> values;
    std::vector<double> spread;  // min, lower quartile, median, upper quartile, max
  };
  const Case cases[] = {
      {.values = {7}, .spread = {7, 7, 7, 7, 7}},
      {.values = {4, 1, 3, 2}, .spread = {1, 1.75, 2.5, 3.25, 4}},
      {.values = {0.1, 0.7, 0.2},
       .spread = {0.1, 0.15000000000000002, 0.2, 0.44999999999999996, 0.7}},
      {.values = {NaN, 2, NaN, 1, NaN, 3, NaN}, .spread = {1, 2.5, NaN, NaN, NaN}},
  };
  for (const Case& c : cases) {
    const Spread s = SpreadOf(c.values);
    const std::vector<double> got = {s.min, s.lowerQuartile, s.median, s.upperQuartile, s.max};
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (std::isnan(c.spread[i])) {
        EXPECT_TRUE(std::isnan(got[i])) << i;
      } else {
        EXPECT_EQ(got[i], c.spread[i]) << i;
      }
    }
  }
  EXPECT_THROW(SpreadOf({}), std::invalid_argument);
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
  struct Case {
    std::vector<Series> runs;
    std::optional<double> optimum;
    std::vector<int> points;  // mean, best, convergence, column
  };
  const Case cases[] = {
      {.runs = {shortRun}, .optimum = {}, .points = {2, 3, 3, 3}},
      {.runs = {shortRun, longRun}, .optimum = {}, .points = {5, 5, 5, 5}},
      {.runs = {shortRun, longRun}, .optimum = 9.0, .points = {5, 5, 5, 5}},
  };
  for (const Case& c : cases) {
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
