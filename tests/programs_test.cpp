// The built programs, run as a user runs them: what they do when their standard output cannot
// be written, how the lab answers a signal, and which files it refuses to touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_paths.h"
#include "support.h"

namespace allelix::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::ReadFile;

// Where a child's standard output goes.
enum class Output { File, Full, Closed, BrokenPipe };

// A program running in a child process, with /dev/null as its input, its output as chosen
// (Output::File: logs/stdout) and its errors in logs/stderr. Killed if still running at the end.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, Output output,
        const fs::path& logs, bool asNobody = false) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err =
        ::open((logs / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int out = -1;
    if (output == Output::File) {
      out = ::open((logs / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else if (output == Output::Full) {
      out = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else if (output == Output::BrokenPipe) {
      int ends[2];
      EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
      ::close(ends[0]);  // nobody will read
      out = ends[1];
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec. Signals as a shell's child has them.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) ::signal(signal, SIG_DFL);
      ::dup2(in, STDIN_FILENO);
      if (out >= 0) ::dup2(out, STDOUT_FILENO);
      if (out < 0) ::close(STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    for (const int fd : {in, out, err}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Signal(int signal) const { ::kill(pid_, signal); }

  // The exit status, or minus the signal that killed the child; Timeout when it outlives a minute.
  static constexpr int Timeout = -1000;
  int Wait() {
    int status = 0;
    for (int waited = 0; waited < 6000; ++waited) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return Timeout;
  }

 private:
  pid_t pid_ = -1;
};

// A fresh directory for a test's files, readable by everyone, removed afterwards.
class Programs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "allelix-programs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::permissions(dir_, fs::perms(0755));
    fs::create_directory(dir_ / "logs");
    fs::create_directory(dir_ / "files");
    fs::permissions(dir_ / "files", fs::perms(0777));
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (entry.is_directory()) fs::permissions(entry, fs::perms::owner_all, fs::perm_options::add);
    }
    fs::remove_all(dir_);
  }
  // The arguments with a leading '@' replaced by the directory for files.
  std::vector<std::string> InFiles(std::vector<std::string> args) const {
    for (std::string& arg : args) {
      if (arg.starts_with('@')) arg = (dir_ / "files" / arg.substr(1)).string();
    }
    return args;
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / "files")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

TEST_F(Programs, OutputThatCannotBeWrittenIsAFailure) {
  struct Case {
    std::string_view program;
    std::vector<std::string> args = {};
    Output output;
    int status;
    std::string err;
    std::string traceHead = {};  // what @trace.csv starts with, when a case writes it
  };
  const std::string unwritable = ": cannot write to standard output\n";
  // clang-format off
  const Case cases[] = {
      {.program = DemoProgram, .output = Output::File, .status = 0, .err = ""},
      {.program = DemoProgram, .output = Output::Full, .status = 1, .err = "allelix-demo" + unwritable},
      {.program = DemoProgram, .output = Output::Closed, .status = 1, .err = "allelix-demo" + unwritable},
      {.program = OneMaxProgram, .args = {"1"}, .output = Output::Full, .status = 1, .err = "onemax" + unwritable},
      {.program = OneMaxProgram, .args = {"--help"}, .output = Output::Closed, .status = 1, .err = "onemax" + unwritable},
      {.program = KnapsackProgram, .args = {"1"}, .output = Output::Closed, .status = 1, .err = "knapsack" + unwritable},
      {.program = LabProgram, .args = {"--help"}, .output = Output::Full, .status = 1, .err = "allelix-lab" + unwritable},
      // Without a standard output, the trace file must not take its place.
      {.program = LabProgram, .args = {"--seed", "1", "--max-generations", "3", "--trace", "@trace.csv"}, .output = Output::Closed,
       .status = 1, .err = "allelix-lab" + unwritable, .traceHead = "generation,"},
  };
  // clang-format on
  for (const Case& c : cases) {
    if (c.program.empty()) continue;  // a program this build leaves out
    SCOPED_TRACE(std::string(c.program) + " " + (c.args.empty() ? "" : c.args[0]));
    Child child(std::string(c.program), InFiles(c.args), c.output, dir_ / "logs");
    EXPECT_EQ(child.Wait(), c.status);
    EXPECT_EQ(ReadFile(dir_ / "logs" / "stderr"), c.err);
    if (!c.traceHead.empty()) {
      EXPECT_EQ(ReadFile(dir_ / "files" / "trace.csv").rfind(c.traceHead, 0), 0u);
    }
  }
}

TEST_F(Programs, TheLabStopsWhenASignalAsksAndLeavesItsFilesAsTheyWere) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  struct Stop {
    std::string_view why;
    int signal;  // sent once the lab is running; 0: none
    std::vector<std::string> args = {};
    Output output;
    int status;
    std::string err;
  };
  // One run that does not end, or a batch of runs that do not end, with a trace and a chart.
  const std::vector<std::string> endless = {
      "--seed",     "1",       "--stop-flags", "16",     "--max-generations",
      "2000000000", "--trace", "@trace.csv",   "--plot", "@chart.svg"};
  const auto with = [&endless](std::vector<std::string> args) {
    args.insert(args.begin(), endless.begin(), endless.end());
    return args;
  };
  const std::string interrupted = "allelix-lab: interrupted by SIG";
  // clang-format off
  const Stop stops[] = {
      {.why = "SIGINT in a run", .signal = SIGINT, .args = endless, .output = Output::File, .status = 130,
       .err = interrupted + "INT; no output file was replaced\n"},
      {.why = "SIGTERM in runs on two worker threads", .signal = SIGTERM, .args = with({"--runs", "4", "--jobs", "2"}),
       .output = Output::File, .status = 143, .err = interrupted + "TERM; no output file was replaced\n"},
      // The trace goes to standard output as runs end, until a write finds no reader.
      {.why = "SIGPIPE from a trace reader that went away", .signal = 0,
       .args = {"--seed", "1", "--runs", "100000", "--jobs", "1", "--trace", "-", "--plot", "@chart.svg"},
       .output = Output::BrokenPipe, .status = 128 + SIGPIPE,
       .err = "100000 runs, seed 1 (run r starts from 1 + r * 1048576), engine mt19937, selection elitism, crossover two-point\n"},
  };
  // clang-format on
  for (const Stop& stop : stops) {
    SCOPED_TRACE(stop.why);
    std::ofstream(dir_ / "files" / "trace.csv") << "old trace";
    std::ofstream(dir_ / "files" / "chart.svg") << "old chart";
    const std::vector<std::string> before = Files();
    Child lab(std::string(LabProgram), InFiles(stop.args), stop.output, dir_ / "logs");
    if (stop.signal != 0) {
      // The lab makes its temporary files before its first run: wait for them, then a little.
      for (int waited = 0; Files().size() == before.size() && waited < 3000; ++waited) {
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_GT(Files().size(), before.size()) << "no temporary file appeared";
      std::this_thread::sleep_for(200ms);
      lab.Signal(stop.signal);
    }
    EXPECT_EQ(lab.Wait(), stop.status);
    EXPECT_EQ(ReadFile(dir_ / "logs" / "stderr"), stop.err);
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(dir_ / "files" / "trace.csv"), "old trace");
    EXPECT_EQ(ReadFile(dir_ / "files" / "chart.svg"), "old chart");
  }
}

TEST_F(Programs, TheLabRefusesFilesTheUserMayNotWrite) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  // Root may write anything, so a root test runs the lab as nobody, from a copy it may run.
  const bool root = ::geteuid() == 0;
  const fs::path lab = dir_ / "allelix-lab";
  fs::copy_file(std::string(LabProgram), lab);
  fs::permissions(lab, fs::perms(0755));
  const fs::path files = dir_ / "files";
  std::ofstream(files / "read-only.csv") << "old";
  fs::permissions(files / "read-only.csv", fs::perms(0444));
  fs::create_directory(files / "read-only");
  fs::permissions(files / "read-only", fs::perms(0555));
  // A file anyone may write, but in a sticky directory only its owner (root here) may replace.
  fs::create_directory(files / "sticky");
  fs::permissions(files / "sticky", fs::perms(01777));
  std::ofstream(files / "sticky" / "theirs.csv") << "old";
  fs::permissions(files / "sticky" / "theirs.csv", fs::perms(0666));
  struct Refusal {
    std::string target;
    std::string message;
    bool asRootOnly = false;  // needs a file of another user
  };
  const Refusal refusals[] = {
      {.target = "@read-only.csv", .message = "': Permission denied\n"},
      {.target = "@read-only/new.csv", .message = "': Permission denied\n"},
      {.target = "@sticky/theirs.csv",
       .message = "': it belongs to another user, in a directory where only a file's owner may "
                  "replace it\n",
       .asRootOnly = true},
  };
  for (const Refusal& refusal : refusals) {
    if (refusal.asRootOnly && !root) continue;
    SCOPED_TRACE(refusal.target);
    const std::string path = InFiles({refusal.target})[0];
    Child child(lab.string(), {"--max-generations", "1", "--trace", path}, Output::File,
                dir_ / "logs", root);
    const int status = child.Wait();
    if (status == 126) GTEST_SKIP() << "cannot run as nobody here";
    EXPECT_EQ(status, 2);
    const std::string verb = refusal.asRootOnly ? "replace" : "write";
    EXPECT_EQ(ReadFile(dir_ / "logs" / "stderr"),
              "allelix-lab: --trace: cannot " + verb + " '" + path + refusal.message);
  }
  // A checkpoint too, before the run starts.
  for (const char* target : {"@read-only.csv", "@read-only/new.ckpt"}) {
    SCOPED_TRACE(target);
    const std::string path = InFiles({target})[0];
    Child child(lab.string(), {"--max-generations", "1", "--checkpoint", path}, Output::File,
                dir_ / "logs", root);
    EXPECT_EQ(child.Wait(), 2);
    EXPECT_EQ(ReadFile(dir_ / "logs" / "stderr")
                  .rfind("allelix-lab: --checkpoint: cannot write '" + path + "': ", 0),
              0u);
  }
  EXPECT_EQ(ReadFile(files / "sticky" / "theirs.csv"), "old");
  EXPECT_EQ(ReadFile(dir_ / "files" / "read-only.csv"), "old");
  EXPECT_EQ(fs::status(dir_ / "files" / "read-only.csv").permissions(), fs::perms(0444));
  EXPECT_TRUE(fs::is_empty(dir_ / "files" / "read-only"));
}

// The text without its lines that start with `prefix` (times, which differ from run to run).
std::string Without(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(prefix)) kept += line + "\n";
  }
  return kept;
}

// A checkpoint after every generation costs a sync; in memory (a tmpfs) it costs next to nothing.
fs::path FastDirectory(const fs::path& fallback) {
  std::string pattern = "/dev/shm/allelix-kill-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) return pattern;
  fs::create_directory(fallback);
  return fallback;
}

// Killed at random moments (most of which fall in a checkpoint's write, as the lab writes one
// after every generation) and resumed from what is on disk each time, the lab ends with the
// uninterrupted run's trace, chart and summary.
TEST_F(Programs, AKilledLabResumesToTheUninterruptedResult) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::string done;  // the file whose existence shows that a checkpoint can be resumed
    std::string every = "1";
  };
  const std::vector<std::string> roulette = {"--seed",       "7", "--selection", "roulette",
                                             "--stop-flags", "16"};
  const auto with = [&roulette](std::vector<std::string> args) {
    args.insert(args.begin(), roulette.begin(), roulette.end());
    return args;
  };
  const Case cases[] = {
      {.why = "single", .args = with({"--max-generations", "600"}), .done = "ckpt"},
      {.why = "batch",
       .args = with({"--max-generations", "150", "--runs", "5", "--jobs", "2"}),
       .done = "ckpt/batch.checkpoint",
       .every = "3"},
  };
  const fs::path fast = FastDirectory(dir_ / "fast");
  // Removed however the test ends; the one under dir_ goes with it anyway.
  const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removeFast(
      &fast, [](const fs::path* path) { fs::remove_all(*path); });
  std::mt19937 random(std::random_device{}());
  // Mostly short delays, so that some kills come before the first checkpoint or in a tight loop.
  std::uniform_real_distribution<double> logDelay(std::log(100.0), std::log(400000.0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path work = fast / c.why;
    fs::create_directory(work);
    const auto files = [&](const std::string& stem) {
      return std::vector<std::string>{"--trace", (work / (stem + ".csv")).string(), "--plot",
                                      (work / (stem + ".svg")).string()};
    };
    std::vector<std::string> reference = c.args;
    for (const std::string& arg : files("reference")) reference.push_back(arg);
    Child whole(std::string(LabProgram), reference, Output::File, dir_ / "logs");
    ASSERT_EQ(whole.Wait(), 0);
    const std::string summary = Without(ReadFile(dir_ / "logs" / "stdout"), "time per run");

    std::vector<std::string> fresh = c.args;
    for (const std::string& arg : files("resumed")) fresh.push_back(arg);
    for (const std::string& arg : {std::string("--checkpoint"), (work / "ckpt").string(),
                                   std::string("--checkpoint-every"), c.every}) {
      fresh.push_back(arg);
    }
    // A resumed batch may take another number of threads.
    const std::vector<std::string> resume = {"--resume", (work / "ckpt").string(), "--jobs", "1"};
    int status = -SIGKILL;
    for (int attempt = 0; status != 0; ++attempt) {
      ASSERT_LT(attempt, 20) << "the lab never finished";
      const bool resumable = fs::exists(work / c.done);
      Child lab(std::string(LabProgram), resumable ? resume : fresh, Output::File, dir_ / "logs");
      // The last kill waits for a checkpoint, so that the run that finishes is a resumed one.
      for (int waited = 0; attempt == 7 && !fs::exists(work / c.done) && waited < 500; ++waited) {
        std::this_thread::sleep_for(10ms);
      }
      if (attempt < 8) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<std::int64_t>(std::exp(logDelay(random)))));
        lab.Signal(attempt == 5 ? SIGINT : SIGKILL);  // SIGINT saves a last checkpoint
      }
      status = lab.Wait();
      ASSERT_TRUE(status == 0 || status == -SIGKILL || status == -SIGINT || status == 130)
          << status << ": " << ReadFile(dir_ / "logs" / "stderr");
      if (status == 130) {
        EXPECT_NE(ReadFile(dir_ / "logs" / "stderr").find("; resume with --resume " + resume[1]),
                  std::string::npos);
      }
    }
    EXPECT_EQ(Without(ReadFile(dir_ / "logs" / "stdout"), "time per run"), summary);
    EXPECT_EQ(ReadFile(work / "resumed.csv"), ReadFile(work / "reference.csv"));
    EXPECT_EQ(ReadFile(work / "resumed.svg"), ReadFile(work / "reference.svg"));
    // Finished runs are taken as they ended, not run (and saved) again.
    const auto checkpoints = [&] {
      std::string all;
      if (!fs::is_directory(work / "ckpt")) return ReadFile(work / "ckpt");
      for (int run = 0; fs::exists(work / "ckpt" / ("run-" + std::to_string(run) + ".checkpoint"));
           ++run) {
        all += ReadFile(work / "ckpt" / ("run-" + std::to_string(run) + ".checkpoint"));
      }
      return all;
    };
    const std::string finished = checkpoints();
    Child again(std::string(LabProgram), resume, Output::File, dir_ / "logs");
    EXPECT_EQ(again.Wait(), 0);
    EXPECT_EQ(Without(ReadFile(dir_ / "logs" / "stdout"), "time per run"), summary);
    EXPECT_EQ(checkpoints(), finished);
  }
}

// Checkpoints go only where a checkpoint can be replaced whole, and a resume takes only what
// continues the same run: each refusal is a bad command line that names the option.
TEST_F(Programs, TheLabRefusesCheckpointsItCannotKeepOrResume) {
  if (LabProgram.empty() || OneMaxProgram.empty()) GTEST_SKIP() << "the programs are not built";
  const fs::path files = dir_ / "files";
  ASSERT_EQ(::mkfifo((files / "fifo").c_str(), 0600), 0);
  fs::create_directory(files / "directory");
  const std::vector<std::string> run = {"--seed", "3", "--stop-flags", "16", "--max-generations",
                                        "5"};
  const auto lab = [&](std::vector<std::string> args) {
    args.insert(args.begin(), run.begin(), run.end());
    return args;
  };
  Child saved(std::string(LabProgram),
              InFiles(lab({"--checkpoint", "@lab.ckpt", "--trace", "@saved.csv"})), Output::File,
              dir_ / "logs");
  ASSERT_EQ(saved.Wait(), 0);
  const std::string whole = ReadFile(files / "lab.ckpt");
  std::ofstream(files / "truncated.ckpt", std::ios::binary) << whole.substr(0, whole.size() / 2);
  Child foreign(std::string(OneMaxProgram),
                InFiles({"1", "--checkpoint", "@onemax.ckpt", "--checkpoint-every", "1000"}),
                Output::File, dir_ / "logs");
  ASSERT_EQ(foreign.Wait(), 0);
  struct Refusal {
    std::vector<std::string> args;
    std::string err;  // after "allelix-lab: ", with @ standing for the directory of files
  };
  const Refusal refusals[] = {
      {.args = lab({"--checkpoint", "@directory"}),
       .err = "--checkpoint: cannot write '@directory': it is a directory, not a regular file"},
      {.args = lab({"--checkpoint", "@fifo"}),
       .err = "--checkpoint: cannot write '@fifo': it is a FIFO, not a regular file"},
      {.args = lab({"--checkpoint", "/dev/full"}),
       .err = "--checkpoint: cannot write '/dev/full': it is a character device, not a regular "
              "file"},
      {.args = lab({"--trace", "@trace.csv", "--checkpoint", "@../files/trace.csv"}),
       .err = "--checkpoint: it names the same file as --trace '@trace.csv'"},
      {.args = lab({"--runs", "2", "--checkpoint", "@lab.ckpt"}),
       .err = "--checkpoint: '@lab.ckpt' is not a directory (a batch keeps a checkpoint per run "
              "in one)"},
      {.args = {"--resume", "@truncated.ckpt"},
       .err = "--resume: cannot load checkpoint '@truncated.ckpt': it is " +
              std::to_string(whole.size() / 2) + " bytes long, but its header says " +
              std::to_string(whole.size()) + " (truncated)"},
      {.args = {"--resume", "@onemax.ckpt"},
       .err = "--resume: '@onemax.ckpt' was saved by onemax, not by allelix-lab"},
      {.args = {"--resume", "@lab.ckpt", "--seed", "4"},
       .err = "--seed: '4' differs from the checkpoint's '3'"},
      {.args = {"--resume", "@lab.ckpt", "--max-stagnation", "9"},
       .err = "--max-stagnation: '9' differs from the checkpoint's run, which did not set it"},
      {.args = {"--resume", "@lab.ckpt", "--checkpoint", "@other.ckpt"},
       .err = "--checkpoint: a resumed run saves its checkpoints in '@lab.ckpt'"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.err);
    Child child(std::string(LabProgram), InFiles(refusal.args), Output::File, dir_ / "logs");
    EXPECT_EQ(child.Wait(), 2);
    std::string err = "allelix-lab: " + refusal.err + "\n";
    for (std::size_t at = 0; (at = err.find('@', at)) != std::string::npos;) {
      err.replace(at, 1, (files / "").string());
    }
    EXPECT_EQ(ReadFile(dir_ / "logs" / "stderr"), err);
  }
  EXPECT_EQ(ReadFile(files / "lab.ckpt"), whole);
  // Options given again that agree, in other spellings, resume the finished run as it ended.
  Child agreeing(std::string(LabProgram),
                 InFiles({"--resume", "@lab.ckpt", "--seed", "03", "--engine", "mt19937",
                          "--checkpoint", "@../files/lab.ckpt", "--trace", "@../files/saved.csv"}),
                 Output::File, dir_ / "logs");
  EXPECT_EQ(agreeing.Wait(), 0);
  EXPECT_NE(ReadFile(dir_ / "logs" / "stdout").find("generations: 5\n"), std::string::npos);
}

}  // namespace
}  // namespace allelix::testing
