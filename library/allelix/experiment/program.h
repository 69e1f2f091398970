// An experiment program: a run or a batch of a generator as its options choose, with a trace,
// a chart and a summary. The lab and the examples are such programs.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "allelix/experiment/batch.h"
#include "allelix/experiment/chart.h"
#include "allelix/experiment/csv.h"
#include "allelix/experiment/output_file.h"
#include "allelix/experiment/ranks.h"
#include "allelix/experiment/summary.h"
#include "allelix/platform.h"
#include "allelix/run.h"

namespace allelix::experiment {

// The largest batch a command line accepts; bounds the memory a chart of every run keeps.
inline constexpr int MaxRuns = 100000;
// The most threads a command line accepts for a batch.
inline constexpr int MaxJobs = 256;

// What a command line chose about the runs, beside the problem's own settings.
struct Options {
  std::optional<std::uint32_t> seed = {};  // empty: a base seed drawn at random, and printed
  bool clockSeeding = false;               // every reseed from the clock's seconds; excludes seed
  Engine engine = Engine::Mt19937;
  int runs = 1;
  int jobs = 0;                // threads for a batch; 0: one per processor
  std::string tracePath = {};  // empty: no trace; "-": standard output
  std::string plotPath = {};   // empty: no chart
};

// What a program talks to besides its options.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool showProgress = false;             // a batch reports its progress on err (a terminal)
  std::function<double()> seconds = {};  // a steady clock for the times; empty: SteadySeconds
  // The processes of a job a batch's runs are spread over, or null: rank 0 writes everything,
  // the other ranks run their share of the runs and write nothing.
  Ranks* ranks = nullptr;
  // The number of a signal that asked the program to stop, 0 while none has; empty: never asked.
  // Consulted before every run and every stop test, on whichever thread runs them.
  std::function<int()> stopSignal = {};
};

// The trace of a batch's kept rows: a header, then every run's rows, with the run first when
// there is more than one. order is CsvWriter's.
inline std::string Trace(const BatchResult& result, std::vector<std::string> order = {}) {
  const bool batch = result.records.size() > 1;
  const CsvWriter csv(result.columnNames, batch, std::move(order));
  std::string trace = csv.Header();
  for (const RunRecord& record : result.records) trace += csv.Lines(record.rows, record.run);
  return trace;
}

// The chart of a batch's kept rows; ownColumn as SeriesOf takes it.
inline std::string DrawChart(const BatchResult& result, const ChartOptions& options,
                             int ownColumn = -1) {
  std::vector<Series> series;
  for (const RunRecord& record : result.records) series.push_back(SeriesOf(record.rows, ownColumn));
  return DrawChart(series, options);
}

// "1 run", "20 runs".
inline std::string RunsText(int runs) {
  return std::to_string(runs) + (runs == 1 ? " run" : " runs");
}

// How the runs were seeded, with the way to repeat them. base is empty under clock seeding.
inline std::string SeedText(std::optional<std::uint32_t> base, int runs, bool seedGiven) {
  if (!base) return "no seed (reseeded from the clock)";
  const std::string seed = std::to_string(*base);
  if (!seedGiven) return "seed " + seed + " drawn at random (repeat with --seed " + seed + ")";
  if (runs == 1) return "seed " + seed;
  return "seed " + seed + " (run r starts from " + seed + " + r * " +
         std::to_string(RunSeedSpacing) + ")";
}

template <class TGenerator>
struct Program {
  std::string name;      // begins every error message
  std::string problem;   // the chart's title, before the number of runs
  std::string settings;  // appended to the line that names the seed and the engine
  // What a run is: its generator's settings, start, columns, success test and description. The
  // options and the console give its runs, seed, engine, threads, clock and cancellation.
  Batch<TGenerator> batch;
  std::vector<std::string> traceColumns;  // the trace's columns by name; empty: CsvWriter's
  ChartOptions chart;                     // title, subtitle and threshold are filled in
  int chartColumn = -1;                   // index of the user column to chart, or -1
  SummaryFormat summary;                  // of a batch
  std::function<std::string(const RunRecord&)> runSummary;  // of a single run; empty: RunSummary
  std::string footer;                                       // printed after the summary

  // Runs as the options say; on every process of a job when console.ranks has one. Returns the
  // exit status: 0 done, 1 a failure while running or writing, 2 an output file that cannot be
  // written, 128 + the signal's number when console.stopSignal asked it to stop before the
  // output files were in place (which it leaves as they were).
  int Run(const Options& options, Console& console) const;

  // The first line: the seed, the engine and the program's settings.
  std::string SettingsLine(const Options& options, std::optional<std::uint32_t> base) const {
    return SeedText(base, options.runs, options.seed.has_value()) + ", engine " +
           std::string(EngineName(options.engine)) + settings;
  }

 private:
  static int StopSignalOf(const Console& console) {
    return console.stopSignal ? console.stopSignal() : 0;
  }

  // Reports a stop that a signal asked for and returns the exit status that names it. A reader
  // that went away (SIGPIPE) needs no message.
  int Interrupted(const Console& console) const {
    const int signal = StopSignalOf(console);
    if (signal != SIGPIPE) {
      const std::string what = signal == SIGINT    ? "SIGINT"
                               : signal == SIGTERM ? "SIGTERM"
                                                   : "signal " + std::to_string(signal);
      console.err << name << ": interrupted by " << what << "; no output file was replaced\n";
    }
    return 128 + signal;
  }

  // Opens a pending output file; on failure reports why and sets *status to the exit status.
  std::unique_ptr<PendingFile> Open(const std::string& option, const std::string& path,
                                    const Console& console, int* status) const {
    try {
      return std::make_unique<PendingFile>(path);
    } catch (const OutputError& e) {
      // A signal ends a wait for a FIFO's reader with an error that is not the file's fault.
      if (StopSignalOf(console) != 0) {
        *status = Interrupted(console);
      } else {
        console.err << name << ": " << option << ": " << e.what() << "\n";
        *status = 2;
      }
      return nullptr;
    }
  }

  // The batch the options and the console make of this program's.
  Batch<TGenerator> Runs(const Options& options, const Console& console) const {
    Batch<TGenerator> runs = batch;
    runs.runs = options.runs;
    runs.engine = options.engine;
    runs.threads = options.jobs;
    runs.clockSeeding = options.clockSeeding;
    runs.seed = options.clockSeeding ? std::nullopt : options.seed;
    runs.keepRows = !options.tracePath.empty() || !options.plotPath.empty();
    runs.clock = console.seconds;
    runs.ranks = console.ranks;
    if (console.stopSignal) {
      runs.cancelled = [&console] { return console.stopSignal() != 0; };
    }
    runs.progress = console.showProgress ? &console.err : nullptr;
    return runs;
  }

  // A process of a job other than rank 0: waits for rank 0's word, then runs its share.
  int Serve(const Options& options, Console& console) const {
    if (console.ranks->Share(std::string()) != "go") return 0;  // rank 0 reports why
    Runs(options, console).Run();
    const int signal = StopSignalOf(console);
    return signal != 0 ? 128 + signal : 0;
  }

  ChartOptions Chart(const Options& options, std::optional<std::uint32_t> base) const {
    ChartOptions words = chart;
    words.title = (problem.empty() ? "" : problem + ": ") + RunsText(options.runs);
    words.subtitle = SettingsLine(options, base);
    TGenerator generator;
    if (batch.configure) batch.configure(generator);
    if ((generator.stopFlags & StopOnConvergence) != 0) {
      words.convergenceThreshold = generator.convergenceThreshold;
    }
    return words;
  }
};

namespace program_detail {

// On rank 0 of a job: tells the other ranks once whether the batch starts. Leaving before Go (a
// bad output file) tells them not to, so that no rank waits for a batch that never comes.
class StartGuard {
 public:
  explicit StartGuard(Ranks* ranks) : ranks_(ranks) {}
  ~StartGuard() {
    if (ranks_ == nullptr || sent_) return;
    try {
      ranks_->Share("stop");
    } catch (...) {  // the job has failed; its own handler ends it
    }
  }
  StartGuard(const StartGuard&) = delete;
  StartGuard& operator=(const StartGuard&) = delete;

  void Go() {
    sent_ = true;
    if (ranks_ != nullptr) ranks_->Share("go");
  }

 private:
  Ranks* ranks_;
  bool sent_ = false;
};

}  // namespace program_detail

template <class TGenerator>
int Program<TGenerator>::Run(const Options& options, Console& console) const {
  Ranks* const job =
      console.ranks != nullptr && console.ranks->Size() > 1 ? console.ranks : nullptr;
  if (job != nullptr && job->Rank() != 0) return Serve(options, console);
  program_detail::StartGuard startGuard(job);

  const bool traceToOut = options.tracePath == "-";
  if (!options.tracePath.empty() && !options.plotPath.empty() &&
      SameDestination(traceToOut ? "/dev/stdout" : options.tracePath, options.plotPath)) {
    console.err << name << ": --trace and --plot name the same file '" << options.plotPath << "'\n";
    return 2;
  }
  std::unique_ptr<PendingFile> traceFile;
  std::unique_ptr<PendingFile> plotFile;
  int status = 0;
  if (!options.tracePath.empty() && !traceToOut) {
    traceFile = Open("--trace", options.tracePath, console, &status);
    if (!traceFile) return status;
  }
  if (!options.plotPath.empty()) {
    plotFile = Open("--plot", options.plotPath, console, &status);
    if (!plotFile) return status;
  }

  Batch<TGenerator> runs = Runs(options, console);
  // Without a seed the runs still follow a schedule, from a base drawn now and printed.
  if (!options.clockSeeding && !runs.seed) runs.seed = EntropySeed();
  std::ostream& report = traceToOut ? console.err : console.out;
  report << (options.runs > 1 ? RunsText(options.runs) + ", " : "")
         << SettingsLine(options, runs.seed) << "\n"
         << std::flush;

  std::ostream* trace = traceToOut ? &console.out : traceFile ? &traceFile->Stream() : nullptr;
  BatchResult result;
  try {
    const CsvWriter csv(runs.ColumnNames(), options.runs > 1, traceColumns);
    std::vector<Series> series;
    if (trace != nullptr) *trace << csv.Header();
    startGuard.Go();
    result = runs.Run([&](RunRecord& record) {
      const std::vector<Row> rows = std::move(record.rows);
      // Flushed run by run, so that a FIFO's reader sees each run whole as it ends.
      if (trace != nullptr) *trace << csv.Lines(rows, record.run) << std::flush;
      if (plotFile) series.push_back(SeriesOf(rows, chartColumn));
    });
    // The last moment at which the targets can stay as they were.
    if (result.cancelled || StopSignalOf(console) != 0) return Interrupted(console);
    if (traceFile) traceFile->Commit();
    if (plotFile) {
      plotFile->Stream() << DrawChart(series, Chart(options, runs.seed));
      plotFile->Commit();
    }
  } catch (const std::exception& e) {
    // A write that failed because a signal arrived is reported as the interruption it was.
    if (StopSignalOf(console) != 0) return Interrupted(console);
    console.err << name << ": " << e.what() << "\n";
    return 1;
  }

  if (options.runs == 1) {
    const RunRecord& record = result.records.front();
    report << (runSummary ? runSummary(record) : RunSummary(record, result.columnNames));
  } else {
    report << BatchSummary(result, summary);
  }
  report << footer;
  report.flush();
  if (!console.out) {
    if (StopSignalOf(console) == SIGPIPE) return Interrupted(console);
    console.err << name << ": cannot write to standard output\n";
    return 1;
  }
  return console.err ? 0 : 1;
}

}  // namespace allelix::experiment
