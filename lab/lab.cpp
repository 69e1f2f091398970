#include "lab.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "experiment.h"
#include "options.h"
#include "output_file.h"
#include "plot.h"
#include "ranks.h"
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

int StopSignal(const Console& console) { return console.stopSignal ? console.stopSignal() : 0; }

// Reports a stop that a signal asked for and returns the exit status that names it. A reader
// that went away (SIGPIPE) needs no message.
int Interrupted(const Console& console) {
  const int signal = StopSignal(console);
  if (signal != SIGPIPE) {
    const std::string name = signal == SIGINT    ? "SIGINT"
                             : signal == SIGTERM ? "SIGTERM"
                                                 : "signal " + std::to_string(signal);
    console.err << "allelix-lab: interrupted by " << name << "; no output file was replaced\n";
  }
  return 128 + signal;
}

// Opens a pending output file; on failure reports why and sets *status to the exit status.
std::unique_ptr<PendingFile> OpenOutput(const std::string& option, const std::string& path,
                                        const Console& console, int* status) {
  try {
    return std::make_unique<PendingFile>(path);
  } catch (const OutputError& e) {
    // A signal ends a wait for a FIFO's reader with an error that is not the file's fault.
    if (StopSignal(console) != 0) {
      *status = Interrupted(console);
    } else {
      console.err << "allelix-lab: " << option << ": " << e.what() << "\n";
      *status = 2;
    }
    return nullptr;
  }
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

// A run's record as bytes for another rank, and back; every rank of a job runs the same build.
class RecordWriter {
 public:
  template <class T>
  void Put(const T& value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void PutText(const std::string& text) {
    Put(static_cast<std::uint64_t>(text.size()));
    bytes += text;
  }
  void PutValues(const std::vector<double>& values) {
    Put(static_cast<std::uint64_t>(values.size()));
    for (const double value : values) Put(value);
  }
  std::string bytes;
};

class RecordReader {
 public:
  explicit RecordReader(const std::string& bytes) : bytes_(bytes) {}
  template <class T>
  T Get() {
    T value;
    std::memcpy(&value, Take(sizeof value), sizeof value);
    return value;
  }
  std::string GetText() {
    const auto size = Get<std::uint64_t>();
    return std::string(Take(size), size);
  }
  std::vector<double> GetValues() {
    std::vector<double> values(Get<std::uint64_t>());
    for (double& value : values) value = Get<double>();
    return values;
  }

 private:
  const char* Take(std::uint64_t size) {
    if (size > bytes_.size() - position_) throw std::runtime_error("a run's record is truncated");
    const char* at = bytes_.data() + position_;
    position_ += size;
    return at;
  }
  const std::string& bytes_;
  std::size_t position_ = 0;
};

std::string FailureMessage(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

std::string EncodeRecord(const RunRecord& record) {
  RecordWriter writer;
  writer.Put(static_cast<std::uint8_t>(record.failure ? 1 : 0));
  if (record.failure) {
    writer.PutText(FailureMessage(record.failure));
    return std::move(writer.bytes);
  }
  writer.Put(static_cast<std::int32_t>(record.result.reason));
  writer.Put(record.result.generations);
  writer.Put(record.result.value);
  writer.Put(record.result.fitness);
  writer.Put(record.result.foundGeneration);
  writer.Put(record.seconds);
  writer.PutText(record.trace);
  writer.PutValues(record.series.bestError);
  writer.PutValues(record.series.meanError);
  writer.PutValues(record.series.convergence);
  return std::move(writer.bytes);
}

// The record another rank sent; a run that failed there fails here with its message.
RunRecord DecodeRecord(const std::string& bytes) {
  RecordReader reader(bytes);
  RunRecord record;
  record.done = true;
  if (reader.Get<std::uint8_t>() != 0) {
    record.failure = std::make_exception_ptr(std::runtime_error(reader.GetText()));
    return record;
  }
  record.result.reason = static_cast<StopReason>(reader.Get<std::int32_t>());
  record.result.generations = reader.Get<int>();
  record.result.value = reader.Get<std::int32_t>();
  record.result.fitness = reader.Get<double>();
  record.result.foundGeneration = reader.Get<int>();
  record.seconds = reader.Get<double>();
  record.trace = reader.GetText();
  record.series.bestError = reader.GetValues();
  record.series.meanError = reader.GetValues();
  record.series.convergence = reader.GetValues();
  return record;
}

// The runs of a batch, on worker threads or on the caller's, and their records in run order.
class Batch {
 public:
  Batch(const Options& options, std::optional<std::uint32_t> base, bool trace, bool chart,
        const std::function<double()>& seconds, const std::function<bool()>& cancelled)
      : options_(options),
        base_(base),
        trace_(trace),
        chart_(chart),
        seconds_(seconds),
        cancelled_(cancelled),
        records_(static_cast<std::size_t>(options.runs)) {}

  // Runs rank 0's share of the runs (run r belongs to rank r % size), receives the others'
  // records from their ranks, and hands each record to use in run order. After a failure it
  // still receives every record the other ranks send, so none is left blocked, then rethrows.
  void EachOnRanks(Ranks& ranks, const std::function<void(int, RunRecord&)>& use) {
    std::exception_ptr failure;
    for (int run = 0; run < options_.runs; ++run) {
      const int owner = run % ranks.Size();
      if (owner == 0 && failure) continue;
      RunRecord record = owner == 0 ? Execute(run) : DecodeRecord(ranks.ReceiveFrom(owner));
      if (failure) continue;
      failure = record.failure;
      if (failure) continue;
      try {
        use(run, record);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
  }

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

  // Runs run `run` on this thread; a failure is kept in the record.
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
      if (cancelled_()) throw RunCancelled();
      const double start = seconds_();
      record.result = RunOnce(options_, seed, watch, cancelled_);
      record.seconds = seconds_() - start;
    } catch (...) {
      record.failure = std::current_exception();
    }
    record.done = true;
    return record;
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

  const Options& options_;
  std::optional<std::uint32_t> base_;
  bool trace_;
  bool chart_;
  const std::function<double()>& seconds_;
  const std::function<bool()>& cancelled_;
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

// Rank 0's word to the other ranks of a job before a batch: whether it starts, and with what.
struct Start {
  bool go = false;
  bool trace = false;
  bool chart = false;
  std::optional<std::uint32_t> base;
};

std::string EncodeStart(const Start& start) {
  RecordWriter writer;
  writer.Put(static_cast<std::uint8_t>(start.go));
  writer.Put(static_cast<std::uint8_t>(start.trace));
  writer.Put(static_cast<std::uint8_t>(start.chart));
  writer.Put(static_cast<std::uint8_t>(start.base.has_value()));
  writer.Put(start.base.value_or(0));
  return std::move(writer.bytes);
}

Start DecodeStart(const std::string& bytes) {
  RecordReader reader(bytes);
  Start start;
  start.go = reader.Get<std::uint8_t>() != 0;
  start.trace = reader.Get<std::uint8_t>() != 0;
  start.chart = reader.Get<std::uint8_t>() != 0;
  const bool based = reader.Get<std::uint8_t>() != 0;
  const auto base = reader.Get<std::uint32_t>();
  if (based) start.base = base;
  return start;
}

// On rank 0: tells the other ranks once whether the batch starts. Leaving before Go (a bad
// output file) tells them not to, so that no rank waits for a batch that never comes.
class StartGuard {
 public:
  explicit StartGuard(Ranks* ranks) : ranks_(ranks) {}
  ~StartGuard() {
    if (ranks_ == nullptr || sent_) return;
    try {
      ranks_->Share(EncodeStart(Start{}));
    } catch (...) {  // MPI has failed; its own handler ends the job
    }
  }
  StartGuard(const StartGuard&) = delete;
  StartGuard& operator=(const StartGuard&) = delete;

  void Go(const Start& start) {
    sent_ = true;
    if (ranks_ != nullptr) ranks_->Share(EncodeStart(start));
  }

 private:
  Ranks* ranks_;
  bool sent_ = false;
};

// A rank other than 0: runs its share of the batch rank 0 starts and sends it the records.
int ServeRuns(const Options& options, Ranks& ranks, Console& console) {
  const Start start = DecodeStart(ranks.Share(std::string()));
  if (!start.go) return 0;  // rank 0 reports why
  // A stopped run is sent as a failure, which ends the batch on rank 0.
  const std::function<bool()> cancelled = [&console] { return StopSignal(console) != 0; };
  Batch batch(options, start.base, start.trace, start.chart, console.seconds, cancelled);
  for (int run = ranks.Rank(); run < options.runs; run += ranks.Size()) {
    ranks.SendToRankZero(EncodeRecord(batch.Execute(run)));
  }
  return StopSignal(console) != 0 ? 128 + StopSignal(console) : 0;
}

}  // namespace

int RunLab(const std::vector<std::string>& args, Console& console) {
  Ranks* ranks = console.ranks != nullptr && console.ranks->Size() > 1 ? console.ranks : nullptr;
  const bool rankZero = ranks == nullptr || ranks->Rank() == 0;
  std::ostringstream discarded;  // the other ranks read the same command line silently
  const ParsedCommandLine parsed = ParseCommandLine(args, rankZero ? console.out : discarded,
                                                    rankZero ? console.err : discarded);
  if (!parsed.options) {
    if (rankZero && parsed.exitStatus == 0 && !console.out.flush()) {
      console.err << "allelix-lab: cannot write to standard output\n";
      return 1;
    }
    return parsed.exitStatus;
  }
  const Options& options = *parsed.options;
  if (!rankZero) return ServeRuns(options, *ranks, console);
  StartGuard startGuard(ranks);

  const bool traceToOut = options.tracePath == "-";
  if (!options.tracePath.empty() && !options.plotPath.empty() &&
      SameDestination(traceToOut ? "/dev/stdout" : options.tracePath, options.plotPath)) {
    console.err << "allelix-lab: --trace and --plot name the same file '" << options.plotPath
                << "'\n";
    return 2;
  }
  std::unique_ptr<PendingFile> traceFile;
  std::unique_ptr<PendingFile> plotFile;
  int status = 0;
  if (!options.tracePath.empty() && !traceToOut) {
    traceFile = OpenOutput("--trace", options.tracePath, console, &status);
    if (!traceFile) return status;
  }
  if (!options.plotPath.empty()) {
    plotFile = OpenOutput("--plot", options.plotPath, console, &status);
    if (!plotFile) return status;
  }
  const std::function<bool()> cancelled = [&console] { return StopSignal(console) != 0; };

  // A batch without a seed still gets one, from the clock, so that it can be repeated.
  std::optional<std::uint32_t> base = options.seed;
  if (!base && options.runs > 1) base = static_cast<std::uint32_t>(Now());
  // Worker threads only for a batch, and never on the runtime engine, whose state they would share.
  // In an MPI job each rank runs its share one run at a time.
  int threads =
      options.jobs != 0 ? options.jobs : static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, options.runs);
  if (options.engine == Engine::Runtime || ranks != nullptr) threads = 1;
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
    Batch batch(options, base, trace != nullptr, plotFile != nullptr, console.seconds, cancelled);
    if (trace != nullptr) *trace << TraceHeader(options.runs > 1);
    const double start = console.seconds();
    const auto write = [&](int run, RunRecord& record) {
      if (trace != nullptr) *trace << record.trace << std::flush;  // a reader sees each run whole
      if (plotFile) series.push_back(std::move(record.series));
      results.push_back(record.result);
      runSeconds += record.seconds;
      progress.Done(run + 1);
    };
    startGuard.Go(
        {.go = true, .trace = trace != nullptr, .chart = plotFile != nullptr, .base = base});
    if (ranks != nullptr) {
      batch.EachOnRanks(*ranks, write);
    } else {
      batch.Each(threads, write);
    }
    wallSeconds = console.seconds() - start;
    // The last moment at which the targets can stay as they were.
    if (cancelled()) throw RunCancelled();
    if (traceFile) traceFile->Commit();
    if (plotFile) {
      plotFile->Stream() << DrawChart(series, ChartWords(options, base));
      plotFile->Commit();
    }
  } catch (const std::exception& e) {
    // A write that failed because a signal arrived is reported as the interruption it was.
    if (StopSignal(console) != 0) return Interrupted(console);
    console.err << "allelix-lab: " << e.what() << "\n";
    return 1;
  }

  summary << (options.runs == 1
                  ? RunSummary(results.front())
                  : BatchSummary(results, runSeconds, wallSeconds,
                                 ranks != nullptr ? ranks->Size() : threads, ranks != nullptr));
  summary.flush();
  if (!console.out) {
    if (StopSignal(console) == SIGPIPE) return Interrupted(console);
    console.err << "allelix-lab: cannot write to standard output\n";
    return 1;
  }
  return console.err ? 0 : 1;
}

}  // namespace allelix::lab
