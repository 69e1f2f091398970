#include "lab.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "experiment.h"
#include "options.h"
#include "output_file.h"
#include "plot.h"
#include "summary.h"
#include "trace.h"

namespace allelix::lab {

namespace {

// How the runs were seeded and which operators they used.
std::string SettingsText(const Options& options, std::optional<std::uint32_t> base) {
  const std::string seed = base ? std::to_string(*base) : "";
  std::string text;
  if (!base) {
    text = "no seed (reseeded from the clock)";
  } else if (options.runs == 1) {
    text = "seed " + seed;
  } else if (options.seed) {
    text = "seed " + seed + " (run r starts from " + seed + " + r * 1048576)";
  } else {
    text = "seed " + seed + " from the clock (repeat with --seed " + seed + ")";
  }
  return text + ", engine " + std::string(EngineName(options.engine)) + ", selection " +
         std::string(OperatorNameOf(SelectionNames, options.selectionType)) + ", crossover " +
         std::string(OperatorNameOf(CrossoverNames, options.crossoverType));
}

std::string RunsText(int runs) { return std::to_string(runs) + (runs == 1 ? " run" : " runs"); }

// Opens a pending output file, turning a failure into a message about the option.
std::unique_ptr<PendingFile> OpenOutput(const std::string& option, const std::string& path,
                                        std::ostream& err) {
  try {
    return std::make_unique<PendingFile>(path);
  } catch (const OutputError& e) {
    err << "allelix-lab: " << option << ": " << e.what() << "\n";
    return nullptr;
  }
}

bool SameFile(const std::string& first, const std::string& second) {
  std::error_code code;
  const auto a = std::filesystem::weakly_canonical(first, code);
  const auto b = std::filesystem::weakly_canonical(second, code);
  return !code && a == b;
}

// Shows "k of n runs done" on one line of the error stream, for a terminal.
class Progress {
 public:
  Progress(std::ostream& err, bool enabled, int runs)
      : err_(err), enabled_(enabled && runs > 1), runs_(runs) {}
  ~Progress() {
    if (enabled_) err_ << "\r" << std::string(40, ' ') << "\r" << std::flush;
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Done(int runs) {
    if (enabled_) err_ << "\r" << runs << " of " << runs_ << " runs done" << std::flush;
  }

 private:
  std::ostream& err_;
  bool enabled_;
  int runs_;
};

// What one run leaves for the writer: its result, its time, its trace rows and chart data.
struct RunRecord {
  RunResult result;
  double seconds = 0;
  std::string trace;
  RunSeries series;
  std::exception_ptr failure;
  bool done = false;
};

// The runs of a batch, on worker threads or on the caller's, and their records in run order.
class Batch {
 public:
  Batch(const Options& options, std::optional<std::uint32_t> base, bool trace, bool chart,
        const std::function<double()>& seconds)
      : options_(options),
        base_(base),
        trace_(trace),
        chart_(chart),
        seconds_(seconds),
        records_(static_cast<std::size_t>(options.runs)) {}

  // Runs every run and hands each record to use in run order; rethrows a run's failure.
  void Each(int threads, const std::function<void(int, RunRecord&)>& use) {
    std::vector<std::jthread> workers;
    if (threads > 1) {
      for (int i = 0; i < threads; ++i) workers.emplace_back([this] { Work(); });
    }
    try {
      for (int run = 0; run < options_.runs; ++run) {
        RunRecord& record = records_[static_cast<std::size_t>(run)];
        if (threads > 1) {
          std::unique_lock lock(mutex_);
          finished_.wait(lock, [&record] { return record.done; });
        } else {
          record = Execute(run);
        }
        if (record.failure) std::rethrow_exception(record.failure);
        use(run, record);
        record.trace = std::string();  // written: release it
      }
    } catch (...) {
      stop_ = true;  // the workers finish the runs they have and take no more
      throw;
    }
  }

 private:
  // A worker: takes the next run until none is left or the batch failed.
  void Work() {
    for (int run = next_++; run < options_.runs && !stop_; run = next_++) {
      RunRecord record = Execute(run);
      const std::lock_guard lock(mutex_);
      records_[static_cast<std::size_t>(run)] = std::move(record);
      finished_.notify_all();
    }
  }

  RunRecord Execute(int run) {
    RunRecord record;
    const bool batch = options_.runs > 1;
    const auto watch = [&](const Snapshot& snapshot) {
      if (trace_)
        record.trace += TraceRow(batch ? std::optional<int>(run) : std::nullopt, snapshot);
      if (chart_) {
        record.series.bestError.push_back(1.0 - snapshot.bestFitness);
        record.series.meanError.push_back(1.0 - snapshot.meanFitness);
        record.series.convergence.push_back(snapshot.convergence);
      }
    };
    const auto seed = base_ ? std::optional<std::uint32_t>(RunSeed(*base_, run)) : std::nullopt;
    try {
      const double start = seconds_();
      record.result = RunOnce(options_, seed, watch);
      record.seconds = seconds_() - start;
    } catch (...) {
      record.failure = std::current_exception();
    }
    record.done = true;
    return record;
  }

  const Options& options_;
  std::optional<std::uint32_t> base_;
  bool trace_;
  bool chart_;
  const std::function<double()>& seconds_;
  std::vector<RunRecord> records_;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::atomic<int> next_{0};
  std::atomic<bool> stop_{false};
};

ChartText ChartWords(const Options& options, std::optional<std::uint32_t> base) {
  demo::CMyGenerator generator;
  Configure(options, generator);
  ChartText text;
  text.title = "Square root of 1,522,756: " + RunsText(options.runs);
  text.subtitle = SettingsText(options, base);
  if ((options.stopFlags & StopOnConvergence) != 0) {
    text.convergenceThreshold = generator.convergenceThreshold;
  }
  return text;
}

}  // namespace

int RunLab(const std::vector<std::string>& args, Console& console) {
  const ParsedCommandLine parsed = ParseCommandLine(args, console.out, console.err);
  if (!parsed.options) return parsed.exitStatus;
  const Options& options = *parsed.options;

  const bool traceToOut = options.tracePath == "-";
  if (!options.tracePath.empty() && !traceToOut && !options.plotPath.empty() &&
      SameFile(options.tracePath, options.plotPath)) {
    console.err << "allelix-lab: --trace and --plot name the same file '" << options.plotPath
                << "'\n";
    return 2;
  }
  std::unique_ptr<PendingFile> traceFile;
  std::unique_ptr<PendingFile> plotFile;
  if (!options.tracePath.empty() && !traceToOut) {
    traceFile = OpenOutput("--trace", options.tracePath, console.err);
    if (!traceFile) return 2;
  }
  if (!options.plotPath.empty()) {
    plotFile = OpenOutput("--plot", options.plotPath, console.err);
    if (!plotFile) return 2;
  }

  // A batch without a seed still gets one, from the clock, so that it can be repeated.
  std::optional<std::uint32_t> base = options.seed;
  if (!base && options.runs > 1) base = static_cast<std::uint32_t>(Now());
  // Worker threads only for a batch, and never on the runtime engine, whose state they would share.
  int threads =
      options.jobs != 0 ? options.jobs : static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, options.runs);
  if (options.engine == Engine::Runtime) threads = 1;
  std::ostream& summary = traceToOut ? console.err : console.out;
  summary << (options.runs > 1 ? RunsText(options.runs) + ", " : "") << SettingsText(options, base)
          << "\n"
          << std::flush;

  std::ostream* trace = traceToOut ? &console.out : traceFile ? &traceFile->Stream() : nullptr;
  std::vector<RunSeries> series;
  std::vector<RunResult> results;
  double runSeconds = 0;
  double wallSeconds = 0;
  try {
    Progress progress(console.err, console.showProgress, options.runs);
    Batch batch(options, base, trace != nullptr, plotFile != nullptr, console.seconds);
    if (trace != nullptr) *trace << TraceHeader(options.runs > 1);
    const double start = console.seconds();
    batch.Each(threads, [&](int run, RunRecord& record) {
      if (trace != nullptr) *trace << record.trace;
      if (plotFile) series.push_back(std::move(record.series));
      results.push_back(record.result);
      runSeconds += record.seconds;
      progress.Done(run + 1);
    });
    wallSeconds = console.seconds() - start;
    if (traceFile) traceFile->Commit();
    if (plotFile) {
      plotFile->Stream() << DrawChart(series, ChartWords(options, base));
      plotFile->Commit();
    }
  } catch (const std::exception& e) {
    console.err << "allelix-lab: " << e.what() << "\n";
    return 1;
  }

  summary << (options.runs == 1 ? RunSummary(results.front())
                                : BatchSummary(results, runSeconds, wallSeconds, threads));
  summary.flush();
  if (!console.out) {
    console.err << "allelix-lab: cannot write to standard output\n";
    return 1;
  }
  return console.err ? 0 : 1;
}

}  // namespace allelix::lab
