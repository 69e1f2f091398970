// An experiment program: a run or a batch of a generator as its options choose, with a trace,
// a chart and a summary. The lab and the examples are such programs.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
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
#include "allelix/experiment/run_checkpoint.h"
#include "allelix/experiment/summary.h"
#include "allelix/platform.h"
#include "allelix/run.h"

namespace allelix::experiment {

// The largest batch a command line accepts: a larger one would repeat its runs (see RunSeed).
inline constexpr int MaxRuns = MaxSeededRuns;
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
  // Checkpoints: a file for a single run, a directory (one file per run) for a batch.
  std::string checkpointPath = {};  // empty: none
  int checkpointEvery = 1;          // generations between two checkpoints
  std::string resumePath = {};      // the checkpoint (file or directory) the runs continue from
  std::optional<std::uint32_t> resumedSeed = {};  // a resumed run's drawn base seed
  std::vector<Argument> arguments = {};           // the options as given, kept in the checkpoints

  bool operator==(const Options&) const = default;
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

// The options a checkpoint keeps: all but --resume and --checkpoint, which say where it is.
inline std::vector<Argument> KeptArguments(const std::vector<Argument>& arguments) {
  std::vector<Argument> kept;
  for (const Argument& argument : arguments) {
    if (argument.name != "--resume" && argument.name != "--checkpoint") kept.push_back(argument);
  }
  return kept;
}

namespace program_detail {

// The path an output option leads to: - stands for standard output.
inline std::string OutputPath(const std::string& option) {
  return option == "-" ? "/dev/stdout" : option;
}

// Whether target, once links are followed, is a file that a batch's checkpoints in `directory`
// use: its settings file or the file of one of its runs.
inline bool IsBatchFile(const std::string& target, const std::string& directory, int runs) {
  using namespace output_file_detail;
  Destination destination;
  try {
    destination = Resolve(target);
  } catch (const OutputError&) {
    return false;
  }
  if (destination.ownDescriptor >= 0 || destination.throughProc) return false;
  struct stat in {};
  struct stat batch {};
  if (::stat(DirectoryOf(destination.path).c_str(), &in) != 0 ||
      ::stat(directory.c_str(), &batch) != 0 || !SameFile(in, batch)) {
    return false;
  }
  const std::string name = NameOf(destination.path);
  for (int run = 0; run < runs; ++run) {
    if (name == NameOf(RunCheckpointPath(directory, run))) return true;
  }
  return name == NameOf(BatchSettingsPath(directory));
}

}  // namespace program_detail

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

  // Reports a stop that a signal asked for, with the checkpoint to resume from when there is
  // one, and returns the exit status that names it. A reader that went away (SIGPIPE) needs no
  // message.
  int Interrupted(const Console& console, const std::string& checkpoint = {}) const {
    const int signal = StopSignalOf(console);
    if (signal != SIGPIPE) {
      const std::string what = signal == SIGINT    ? "SIGINT"
                               : signal == SIGTERM ? "SIGTERM"
                                                   : "signal " + std::to_string(signal);
      console.err << name << ": interrupted by " << what << "; no output file was replaced";
      if (!checkpoint.empty()) console.err << "; resume with --resume " << checkpoint;
      console.err << "\n";
    }
    return 128 + signal;
  }

  // Checks the checkpoints' target, and for a new batch makes its directory and writes the
  // settings there; returns 0, or 2 after reporting why not.
  int PrepareCheckpoints(const Options& options, const std::string& note,
                         const Console& console) const {
    const std::string& path = options.checkpointPath;
    const auto refuse = [&](const std::string& why) {
      console.err << name << ": --checkpoint: " << why << "\n";
      return 2;
    };
    if (console.ranks != nullptr && console.ranks->Size() > 1) {
      return refuse("not in a job of several processes");
    }
    for (const auto& [option, other] :
         {std::pair{"--trace", options.tracePath}, std::pair{"--plot", options.plotPath}}) {
      if (other.empty()) continue;
      // A trace to standard output goes wherever that leads, which may be the checkpoint.
      const std::string target = program_detail::OutputPath(other);
      if (SameDestination(path, target)) {
        return refuse("it names the same file as " + std::string(option) + " '" + other + "'");
      }
      if (options.runs > 1 && program_detail::IsBatchFile(target, path, options.runs)) {
        return refuse("the directory '" + path + "' keeps its own file as " + option + " '" +
                      other + "'");
      }
    }
    if (options.runs == 1) {
      try {
        // The temporary file of each save is made beside the target.
        const detail::ReplaceTarget target = detail::ResolveReplaceTarget(path);
        if (::faccessat(AT_FDCWD, target.directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
          return refuse("cannot write '" + path + "': " + std::strerror(errno));
        }
        // Renaming over another user's file in a sticky directory fails only at the first save.
        if (target.exists &&
            output_file_detail::OwnerAloneMayReplace(target.directory, target.owner)) {
          return refuse(output_file_detail::OthersFileMessage(path));
        }
      } catch (const std::exception& e) {
        return refuse(e.what());
      }
      return 0;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
      return refuse("'" + path +
                    "' is not a directory (a batch keeps a checkpoint per run in one)");
    }
    if (!options.resumePath.empty()) return 0;
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
      return refuse("cannot make the directory '" + path + "': " + std::strerror(errno));
    }
    try {
      // The files of an earlier batch in the directory are this program's and would be resumed.
      for (int run = 0; run < options.runs; ++run) {
        const std::string file = RunCheckpointPath(path, run);
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
          return refuse("cannot remove the old checkpoint '" + file + "': " + std::strerror(errno));
        }
      }
      TGenerator configured;
      if (batch.configure) batch.configure(configured);
      SaveCheckpoint(configured, BatchSettingsPath(path), EncodeRunProgress({note, -1, 0, {}}));
    } catch (const std::exception& e) {
      return refuse(e.what());
    }
    return 0;
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
    if (!options.checkpointPath.empty()) {
      const std::string path = options.checkpointPath;
      runs.checkpoints.path = [path, single = options.runs == 1](int run) {
        return single ? path : RunCheckpointPath(path, run);
      };
      runs.checkpoints.every = options.checkpointEvery;
      runs.checkpoints.resume = !options.resumePath.empty();
    }
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
      SameDestination(program_detail::OutputPath(options.tracePath), options.plotPath)) {
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
  if (traceFile && plotFile && traceFile->SameFileAs(*plotFile)) {
    console.err << name << ": --trace and --plot name the same file '" << options.plotPath << "'\n";
    return 2;
  }

  Batch<TGenerator> runs = Runs(options, console);
  // Without a seed the runs still follow a schedule, from a base drawn now and printed (or, on
  // resuming, drawn by the run that is resumed).
  if (!options.clockSeeding && !runs.seed) runs.seed = options.resumedSeed.value_or(EntropySeed());
  if (!options.checkpointPath.empty()) {
    runs.checkpoints.note = EncodeSettings({name, runs.seed, KeptArguments(options.arguments)});
    if (const int refused = PrepareCheckpoints(options, runs.checkpoints.note, console)) {
      return refused;
    }
  }
  // The summary keeps off standard output whenever the trace or the chart goes there, under
  // whatever name, so that what a reader of standard output gets is one CSV or one SVG.
  const auto toOut = [](const std::string& path) {
    return !path.empty() && SameDestination(path, "/dev/stdout");
  };
  std::ostream& report =
      traceToOut || toOut(options.tracePath) || toOut(options.plotPath) ? console.err : console.out;
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
    if (result.cancelled || StopSignalOf(console) != 0) {
      return Interrupted(console, options.checkpointPath);
    }
    if (plotFile) plotFile->Stream() << DrawChart(series, Chart(options, runs.seed));
    // Both files are written out and synced before either takes its target's place, so that a
    // full disk leaves both targets as they were.
    if (traceFile) traceFile->Finish();
    if (plotFile) plotFile->Finish();
    if (traceFile) traceFile->Commit();
    if (plotFile) plotFile->Commit();
  } catch (const std::exception& e) {
    // A write that failed because a signal arrived is reported as the interruption it was.
    if (StopSignalOf(console) != 0) return Interrupted(console, options.checkpointPath);
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

// The options that resume a checkpointed program: those kept in the checkpoint at
// given.resumePath (a single run's file, or a batch's directory), with its checkpoints going on
// there. Every option given again (given.arguments) must agree with the kept one, the drawn seed
// standing for a --seed that was not given. parse(arguments) reads options as the program's
// command line does, or returns nothing. On a fault, writes a message that names the file or the
// option to err and returns nothing; the program then exits with 2.
template <class TGenerator, class TOptions, class Parse>
std::optional<TOptions> ResumeOptions(const TOptions& given, const std::string& program,
                                      const Parse& parse, std::ostream& err) {
  const std::string& path = given.resumePath;
  const auto fail = [&](const std::string& option, const std::string& problem) {
    err << program << ": " << option << ": " << problem << "\n";
    return std::optional<TOptions>();
  };
  struct stat status {};
  const bool directory = ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  Settings settings;
  RunProgress progress;
  try {
    const std::string file = directory ? BatchSettingsPath(path) : path;
    progress = ReadRunProgress<TGenerator>(file);
    settings = DecodeSettings(progress.note, file);
  } catch (const std::exception& e) {
    return fail("--resume", e.what());
  }
  if (settings.program != program) {
    return fail("--resume",
                "'" + path + "' was saved by " + settings.program + ", not by " + program);
  }
  const std::optional<TOptions> kept = parse(settings.arguments);
  if (!kept) return fail("--resume", "the options kept in '" + path + "' are not this program's");
  if ((kept->runs > 1) != directory) {
    return fail("--resume", directory ? "'" + path + "' is a directory, but holds a single run"
                                      : "'" + path + "' holds a batch, but is not a directory");
  }
  // An option as the checkpoint has it; the drawn seed stands for a --seed not given.
  const auto keptArgument = [&](const std::string& option) -> std::optional<Argument> {
    for (const Argument& argument : settings.arguments) {
      if (argument.name == option) return argument;
    }
    if (option == "--seed" && settings.seed && !kept->seed) {
      return Argument{"--seed", std::to_string(*settings.seed)};
    }
    return std::nullopt;
  };
  // The options that one argument alone gives, to compare values rather than spellings.
  const auto alone = [&](const std::optional<Argument>& argument) {
    std::optional<TOptions> options =
        parse(argument ? std::vector<Argument>{*argument} : std::vector<Argument>{});
    if (options) options->arguments.clear();
    return options;
  };
  for (const Argument& argument : KeptArguments(given.arguments)) {
    // The number of threads decides nothing in a batch's results, so a resumed batch may take
    // another, say on a machine with more processors.
    if (argument.name == "--jobs") continue;
    const std::optional<Argument> old = keptArgument(argument.name);
    if (alone(argument) == alone(old)) continue;
    // Two spellings of one file name the same output.
    if (old && !old->text.empty() && !argument.text.empty() &&
        SameDestination(old->text, argument.text)) {
      continue;
    }
    const std::string text = argument.text.empty() ? "given" : "'" + argument.text + "'";
    return fail(argument.name, text + " differs from the checkpoint's " +
                                   (!old                ? std::string("run, which did not set it")
                                    : old->text.empty() ? std::string("run, which set it")
                                                        : "'" + old->text + "'"));
  }
  if (!given.checkpointPath.empty() && !SameDestination(given.checkpointPath, path)) {
    return fail("--checkpoint", "a resumed run saves its checkpoints in '" + path + "'");
  }
  if (!directory && progress.rows.empty()) {
    return fail("--resume", "'" + path + "' holds no state of a run");
  }
  if (!directory) {
    err << program << ": resuming '" << path << "' at generation "
        << progress.rows.back().generation << "\n";
  }
  TOptions options = *kept;
  options.arguments = settings.arguments;
  options.resumePath = path;
  options.checkpointPath = path;
  for (const Argument& argument : given.arguments) {
    if (argument.name == "--jobs") options.jobs = given.jobs;
  }
  if (!options.seed && !options.clockSeeding) options.resumedSeed = settings.seed;
  return options;
}

}  // namespace allelix::experiment
