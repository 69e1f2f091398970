// The built programs, run as a user runs them: what they do when their standard output cannot
// be written, how the lab answers a signal or a kill, and which files it refuses to touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
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

// Where a child's standard output goes.
enum class Output { File, Full, Closed, BrokenPipe };

// A program running in a child process, with /dev/null as its input, its output as chosen
// (Output::File: logs/stdout) and its errors in logs/stderr. Killed if still running at the end.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, Output output,
        const fs::path& logs, bool asNobody) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err =
        ::open((logs / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const fs::path outPath = output == Output::Full ? "/dev/full" : logs / "stdout";
    int out = output == Output::File || output == Output::Full
                  ? ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                  : -1;
    if (output == Output::BrokenPipe) {
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

  // The exit status, or minus the signal that killed the child; -1000 when it outlives a minute.
  int Wait() {
    int status = 0;
    for (int waited = 0; waited < 6000; ++waited) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1000;
  }

 private:
  pid_t pid_ = -1;
};

// A fresh directory for a test's logs and files (the latter writable by everyone), removed
// afterwards. In the arguments of Start and Run, a leading '@' stands for the directory of files.
class Programs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "allelix-programs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    files_ = dir_ / "files";
    fs::permissions(dir_, fs::perms(0755));
    fs::create_directory(dir_ / "logs");
    fs::create_directory(files_);
    fs::permissions(files_, fs::perms(0777));
  }
  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (entry.is_directory()) fs::permissions(entry, fs::perms::owner_all, fs::perm_options::add);
    }
    fs::remove_all(dir_);
  }
  std::unique_ptr<Child> Start(std::string_view program, std::vector<std::string> args,
                               Output output = Output::File, bool asNobody = false) const {
    for (std::string& arg : args) {
      if (arg.starts_with('@')) arg = (files_ / arg.substr(1)).string();
    }
    return std::make_unique<Child>(std::string(program), args, output, dir_ / "logs", asNobody);
  }
  int Run(std::string_view program, const std::vector<std::string>& args) const {
    return Start(program, args)->Wait();
  }
  std::string Out() const { return ReadFile(dir_ / "logs" / "stdout"); }
  std::string Err() const { return ReadFile(dir_ / "logs" / "stderr"); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(files_))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_, files_;
};

TEST_F(Programs, OutputThatCannotBeWrittenIsAFailure) {
  const struct {
    std::string_view program;
    std::vector<std::string> args = {};
    Output output;
    std::string name = {};  // in the message of a failure; none: success, no message
  } cases[] = {
      // clang-format off
      {.program = DemoProgram, .output = Output::File},
      {.program = DemoProgram, .output = Output::Full, .name = "allelix-demo"},
      {.program = DemoProgram, .output = Output::Closed, .name = "allelix-demo"},
      {.program = OneMaxProgram, .args = {"1"}, .output = Output::Full, .name = "onemax"},
      {.program = OneMaxProgram, .args = {"--help"}, .output = Output::Closed, .name = "onemax"},
      {.program = KnapsackProgram, .args = {"1"}, .output = Output::Closed, .name = "knapsack"},
      {.program = LabProgram, .args = {"--help"}, .output = Output::Full, .name = "allelix-lab"},
      // Without a standard output, the trace file must not take its place.
      {.program = LabProgram, .args = {"--seed", "1", "--max-generations", "3", "--trace", "@trace.csv"}, .output = Output::Closed, .name = "allelix-lab"},
      // clang-format on
  };
  for (const auto& c : cases) {
    if (c.program.empty()) continue;  // a program this build leaves out
    SCOPED_TRACE(std::string(c.program) + " " + (c.args.empty() ? "" : c.args[0]));
    EXPECT_EQ(Start(c.program, c.args, c.output)->Wait(), c.name.empty() ? 0 : 1);
    EXPECT_EQ(Err(), c.name.empty() ? "" : c.name + ": cannot write to standard output\n");
  }
  if (!LabProgram.empty()) {
    EXPECT_EQ(ReadFile(files_ / "trace.csv").rfind("generation,", 0), 0u);
  }
}

TEST_F(Programs, TheLabStopsWhenASignalAsksAndLeavesItsFilesAsTheyWere) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  // One run that does not end, or a batch of runs that do not end, with a trace and a chart.
  const std::vector<std::string> endless = {
      "--seed",     "1",       "--stop-flags", "16",     "--max-generations",
      "2000000000", "--trace", "@trace.csv",   "--plot", "@chart.svg"};
  std::vector<std::string> batch = endless;
  batch.insert(batch.end(), {"--runs", "4", "--jobs", "2"});
  const std::string interrupted = "allelix-lab: interrupted by SIG";
  const struct {
    int signal;  // sent once the lab is running; 0: none
    std::vector<std::string> args;
    Output output;
    int status;
    std::string err;
  } stops[] = {
      // clang-format off
      {.signal = SIGINT, .args = endless, .output = Output::File, .status = 130, .err = interrupted + "INT; no output file was replaced\n"},
      {.signal = SIGTERM, .args = batch, .output = Output::File, .status = 143, .err = interrupted + "TERM; no output file was replaced\n"},
      // The trace goes to standard output as runs end, until a write finds no reader.
      {.signal = 0, .args = {"--seed", "1", "--runs", "100000", "--jobs", "1", "--trace", "-", "--plot", "@chart.svg"}, .output = Output::BrokenPipe, .status = 128 + SIGPIPE,
       .err = "100000 runs, seed 1 (run r starts from 1 + r * 1048576), engine mt19937, selection elitism, crossover two-point\n"},
      // clang-format on
  };
  for (const auto& stop : stops) {
    SCOPED_TRACE(stop.status);
    std::ofstream(files_ / "trace.csv") << "old trace";
    std::ofstream(files_ / "chart.svg") << "old chart";
    const std::vector<std::string> before = Files();
    const std::unique_ptr<Child> lab = Start(LabProgram, stop.args, stop.output);
    if (stop.signal != 0) {
      // The lab makes its temporary files before its first run: wait for them, then a little.
      for (int waited = 0; Files().size() == before.size() && waited < 3000; ++waited) {
        std::this_thread::sleep_for(10ms);
      }
      EXPECT_GT(Files().size(), before.size()) << "no temporary file appeared";
      std::this_thread::sleep_for(200ms);
      lab->Signal(stop.signal);
    }
    EXPECT_EQ(lab->Wait(), stop.status);
    EXPECT_EQ(Err(), stop.err);
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(files_ / "trace.csv") + ReadFile(files_ / "chart.svg"),
              "old traceold chart");
  }
}

// The text without its lines that start with "time per run" (which differ from run to run).
std::string Timeless(const std::string& text) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("time per run")) kept += line + "\n";
  }
  return kept;
}

// Killed at random moments (most of which fall in a checkpoint's write, as the lab writes one
// after every generation) and resumed from what is on disk each time, the lab ends with the
// uninterrupted run's trace, chart and summary.
TEST_F(Programs, AKilledLabResumesToTheUninterruptedResult) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  const std::vector<std::string> roulette = {"--seed",       "7", "--selection", "roulette",
                                             "--stop-flags", "16"};
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string done;  // the file whose existence shows that a checkpoint can be resumed
    std::string every;
  } cases[] = {
      // clang-format off
      {.why = "single", .args = {"--max-generations", "600"}, .done = "ckpt", .every = "1"},
      {.why = "batch", .args = {"--max-generations", "150", "--runs", "5", "--jobs", "2"}, .done = "ckpt/batch.checkpoint", .every = "3"},
      // clang-format on
  };
  // A checkpoint after every generation costs a sync; in memory (a tmpfs) next to nothing.
  std::string pattern = "/dev/shm/allelix-kill-XXXXXX";
  const fs::path fast = ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : files_;
  const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removeFast(
      &fast, [](const fs::path* path) { fs::remove_all(*path); });
  std::mt19937 random(std::random_device{}());
  // Mostly short delays, so that some kills come before the first checkpoint or in a tight loop.
  std::uniform_real_distribution<double> logDelay(std::log(100.0), std::log(400000.0));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path work = fast / c.why;
    fs::create_directories(work);
    const auto command = [&](const std::string& stem, std::vector<std::string> more) {
      std::vector<std::string> args = roulette;
      args.insert(args.end(), c.args.begin(), c.args.end());
      args.insert(args.end(),
                  {"--trace", work / (stem + ".csv"), "--plot", work / (stem + ".svg")});
      args.insert(args.end(), more.begin(), more.end());
      return args;
    };
    ASSERT_EQ(Run(LabProgram, command("reference", {})), 0);
    const std::string summary = Timeless(Out());
    const std::vector<std::string> fresh =
        command("resumed", {"--checkpoint", work / "ckpt", "--checkpoint-every", c.every});
    // A resumed batch may take another number of threads.
    const std::vector<std::string> resume = {"--resume", work / "ckpt", "--jobs", "1"};
    int status = -SIGKILL;
    for (int attempt = 0; status != 0; ++attempt) {
      ASSERT_LT(attempt, 20) << "the lab never finished";
      const std::unique_ptr<Child> lab =
          Start(LabProgram, fs::exists(work / c.done) ? resume : fresh);
      // The last kill waits for a checkpoint, so that the run that finishes is a resumed one.
      for (int waited = 0; attempt == 7 && !fs::exists(work / c.done) && waited < 500; ++waited) {
        std::this_thread::sleep_for(10ms);
      }
      if (attempt < 8) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<std::int64_t>(std::exp(logDelay(random)))));
        lab->Signal(attempt == 5 ? SIGINT : SIGKILL);  // SIGINT saves a last checkpoint
      }
      status = lab->Wait();
      ASSERT_TRUE(status == 0 || status == -SIGKILL || status == -SIGINT || status == 130)
          << status << ": " << Err();
      if (status == 130) {
        EXPECT_NE(Err().find("; resume with --resume " + resume[1]), std::string::npos);
      }
    }
    EXPECT_EQ(Timeless(Out()), summary);
    EXPECT_EQ(ReadFile(work / "resumed.csv"), ReadFile(work / "reference.csv"));
    EXPECT_EQ(ReadFile(work / "resumed.svg"), ReadFile(work / "reference.svg"));
    // Finished runs are taken as they ended, not run (and saved) again.
    const auto checkpoints = [&] {
      if (!fs::is_directory(work / "ckpt")) return ReadFile(work / "ckpt");
      std::string all;
      for (int run = 0; run < 5; ++run) {
        all += ReadFile(work / "ckpt" / ("run-" + std::to_string(run) + ".checkpoint"));
      }
      return all;
    };
    const std::string finished = checkpoints();
    EXPECT_EQ(Run(LabProgram, resume), 0);
    EXPECT_EQ(Timeless(Out()), summary);
    EXPECT_EQ(checkpoints(), finished);
  }
}

// Outputs go only where the user may write and a checkpoint can be replaced whole, and a resume
// takes only what continues the same run: each refusal is a bad command line that names the
// option. Root may write anything, so a root test runs the lab as nobody, from a copy it may run.
TEST_F(Programs, TheLabRefusesFilesItMayNotWriteAndCheckpointsItCannotKeepOrResume) {
  if (LabProgram.empty() || OneMaxProgram.empty()) GTEST_SKIP() << "the programs are not built";
  const bool root = ::geteuid() == 0;
  const fs::path lab = dir_ / "allelix-lab";
  fs::copy_file(std::string(LabProgram), lab);
  fs::permissions(lab, fs::perms(0755));
  ASSERT_EQ(::mkfifo((files_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(files_ / "directory");
  std::ofstream(files_ / "read-only.csv") << "old";
  fs::permissions(files_ / "read-only.csv", fs::perms(0444));
  fs::create_directory(files_ / "read-only");
  fs::permissions(files_ / "read-only", fs::perms(0555));
  // A file anyone may write, but in a sticky directory only its owner (root here) may replace.
  fs::create_directory(files_ / "sticky");
  fs::permissions(files_ / "sticky", fs::perms(01777));
  std::ofstream(files_ / "sticky" / "theirs.csv") << "old";
  fs::permissions(files_ / "sticky" / "theirs.csv", fs::perms(0666));
  const std::vector<std::string> run = {"--seed", "3", "--stop-flags", "16", "--max-generations",
                                        "5"};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), run.begin(), run.end());
    return args;
  };
  ASSERT_EQ(Run(LabProgram, with({"--checkpoint", "@lab.ckpt", "--trace", "@saved.csv"})), 0);
  const std::string whole = ReadFile(files_ / "lab.ckpt");
  std::ofstream(files_ / "truncated.ckpt", std::ios::binary) << whole.substr(0, whole.size() / 2);
  ASSERT_EQ(Run(OneMaxProgram, {"1", "--checkpoint", "@onemax.ckpt", "--checkpoint-every", "1000"}),
            0);
  const std::string denied = "Permission denied";
  const struct {
    std::vector<std::string> args;
    std::string err;          // after "allelix-lab: ", with @ standing for the directory of files
    bool asRootOnly = false;  // needs a file of another user
  } refusals[] = {
      // clang-format off
      {.args = with({"--trace", "@read-only.csv"}), .err = "--trace: cannot write '@read-only.csv': " + denied},
      {.args = with({"--trace", "@read-only/new.csv"}), .err = "--trace: cannot write '@read-only/new.csv': " + denied},
      {.args = with({"--checkpoint", "@read-only/new.ckpt"}), .err = "--checkpoint: cannot write '@read-only/new.ckpt': " + denied},
      {.args = with({"--trace", "@sticky/theirs.csv"}), .err = "--trace: cannot replace '@sticky/theirs.csv': it belongs to another user, in a directory where only a file's owner may replace it", .asRootOnly = true},
      {.args = with({"--checkpoint", "@directory"}), .err = "--checkpoint: cannot write '@directory': it is a directory, not a regular file"},
      {.args = with({"--checkpoint", "@fifo"}), .err = "--checkpoint: cannot write '@fifo': it is a FIFO, not a regular file"},
      {.args = with({"--checkpoint", "/dev/full"}), .err = "--checkpoint: cannot write '/dev/full': it is a character device, not a regular file"},
      {.args = with({"--trace", "@trace.csv", "--checkpoint", "@../files/trace.csv"}), .err = "--checkpoint: it names the same file as --trace '@trace.csv'"},
      {.args = with({"--runs", "2", "--checkpoint", "@lab.ckpt"}), .err = "--checkpoint: '@lab.ckpt' is not a directory (a batch keeps a checkpoint per run in one)"},
      {.args = {"--resume", "@truncated.ckpt"}, .err = "--resume: cannot load checkpoint '@truncated.ckpt': it is " + std::to_string(whole.size() / 2) + " bytes long, but its header says " + std::to_string(whole.size()) + " (truncated)"},
      {.args = {"--resume", "@onemax.ckpt"}, .err = "--resume: '@onemax.ckpt' was saved by onemax, not by allelix-lab"},
      {.args = {"--resume", "@lab.ckpt", "--seed", "4"}, .err = "--seed: '4' differs from the checkpoint's '3'"},
      {.args = {"--resume", "@lab.ckpt", "--max-stagnation", "9"}, .err = "--max-stagnation: '9' differs from the checkpoint's run, which did not set it"},
      {.args = {"--resume", "@lab.ckpt", "--checkpoint", "@other.ckpt"}, .err = "--checkpoint: a resumed run saves its checkpoints in '@lab.ckpt'"},
      // clang-format on
  };
  for (const auto& refusal : refusals) {
    if (refusal.asRootOnly && !root) continue;
    SCOPED_TRACE(refusal.err);
    const int status = Start(lab.string(), refusal.args, Output::File, root)->Wait();
    if (status == 126) GTEST_SKIP() << "cannot run as nobody here";
    EXPECT_EQ(status, 2);
    std::string err = "allelix-lab: " + refusal.err + "\n";
    for (std::size_t at = 0; (at = err.find('@', at)) != std::string::npos;) {
      err.replace(at, 1, (files_ / "").string());
    }
    EXPECT_EQ(Err(), err);
  }
  EXPECT_EQ(ReadFile(files_ / "lab.ckpt"), whole);
  EXPECT_EQ(ReadFile(files_ / "sticky" / "theirs.csv") + ReadFile(files_ / "read-only.csv"),
            "oldold");
  EXPECT_EQ(fs::status(files_ / "read-only.csv").permissions(), fs::perms(0444));
  EXPECT_TRUE(fs::is_empty(files_ / "read-only"));
  // Options given again that agree, in other spellings, resume the finished run as it ended.
  EXPECT_EQ(
      Run(LabProgram, {"--resume", "@lab.ckpt", "--seed", "03", "--engine", "mt19937",
                       "--checkpoint", "@../files/lab.ckpt", "--trace", "@../files/saved.csv"}),
      0);
  EXPECT_NE(Out().find("generations: 5\n"), std::string::npos);
}

}  // namespace
}  // namespace allelix::testing
