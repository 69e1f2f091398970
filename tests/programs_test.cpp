// The built programs, run as a user runs them: what they do when their standard output cannot
// be written, how the lab answers a signal or a kill, and which files it refuses to touch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "program_paths.h"
#include "support.h"

namespace allelix::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::this_thread::sleep_for;
using Args = std::vector<std::string>;

// Where a child's standard output goes.
enum class Output { File, Full, Closed, BrokenPipe };

// A program running in a child process, with /dev/null as its input, its output as chosen
// (Output::File: dir/stdout) and its errors in dir/stderr. Killed if it outlives this object.
class Child {
 public:
  Child(const std::string& program, Args args, Output output, const fs::path& dir, bool asNobody) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const auto open = [](fs::path p, int f) { return ::open(p.c_str(), f | O_CLOEXEC, 0644); };
    const int in = open("/dev/null", O_RDONLY);
    const int err = open(dir / "stderr", O_WRONLY | O_CREAT | O_TRUNC);
    int ends[2] = {-1, -1};
    EXPECT_TRUE(output != Output::BrokenPipe || ::pipe2(ends, O_CLOEXEC) == 0);
    ::close(ends[0]);  // nobody will read
    const int out = output == Output::File   ? open(dir / "stdout", O_WRONLY | O_CREAT | O_TRUNC)
                    : output == Output::Full ? open("/dev/full", O_WRONLY)
                                             : ends[1];
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec. Signals as a shell's child has them.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) ::signal(signal, SIG_DFL);
      ::dup2(in, STDIN_FILENO);
      out >= 0 ? ::dup2(out, STDOUT_FILENO) : ::close(STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    for (const int fd : {in, out, err}) ::close(fd);
  }
  ~Child() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // The exit status, or minus the signal that killed the child; -1000 when it outlives a minute.
  int Wait() {
    int status = 0, waited = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (waited++ == 6000) return -1000;
      sleep_for(10ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

// A fresh directory for a test's logs and files (the latter writable by everyone). In the
// arguments of Start and Run, a leading '@' stands for the directory of files.
class Programs : public ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    files_ = dir_ / "files/";
    fs::permissions(dir_, fs::perms(0755));
    fs::create_directory(files_);
    fs::permissions(files_, fs::perms(0777));
  }
  std::unique_ptr<Child> Start(std::string_view program, Args args, Output output = Output::File,
                               bool asNobody = false) const {
    for (std::string& arg : args) arg = At(arg);
    return std::make_unique<Child>(std::string(program), args, output, dir_, asNobody);
  }
  int Run(std::string_view program, const Args& args) const { return Start(program, args)->Wait(); }
  std::string Out() const { return ReadFile(dir_ / "stdout"); }
  std::string Err() const { return ReadFile(dir_ / "stderr"); }
  std::string Timeless() const { return std::regex_replace(Out(), std::regex("time per.*\n"), ""); }
  // The text with every '@' standing for the directory of files.
  std::string At(std::string s) const { return regex_replace(s, std::regex("@"), files_.c_str()); }
  std::set<fs::path> Files() const { return {fs::directory_iterator(files_), {}}; }
  fs::path files_;
};

// A program whose standard output cannot be written fails and says so; the lab stopped by a
// signal, or by a reader that went away, exits with the signal's status. Either way no output
// file is replaced and no temporary file is left behind.
TEST_F(Programs, UnwritableOutputOrASignalStopsAProgramAndLeavesItsFilesAsTheyWere) {
  const struct {
    std::string_view program;
    Args args = {};
    Output output = Output::File;
    int signal = 0;  // sent once the lab has made its temporary files
    int status = 1;
    std::string err = {};  // none: "<program>: cannot write to standard output"
  } cases[] = {
      // clang-format off
      {.program = DemoProgram, .output = Output::Full},
      {.program = DemoProgram, .output = Output::Closed},
      {.program = OneMaxProgram, .args = {"1"}, .output = Output::Full},
      {.program = OneMaxProgram, .args = {"--help"}, .output = Output::Closed},
      {.program = LabProgram, .args = {"--help"}, .output = Output::Full},
      // Without a standard output, the trace file must not take its place.
      {.program = LabProgram, .args = {"--seed", "1", "--max-generations", "3", "--trace", dir_ / "trace.csv"}, .output = Output::Closed},
      // A run that does not end, then a batch of runs that do not end.
      {.program = LabProgram, .args = {"--seed", "1", "--stop-flags", "16", "--max-generations", "2000000000", "--trace", "@trace.csv", "--plot", "@chart.svg"}, .signal = SIGINT, .status = 130, .err = "allelix-lab: interrupted by SIGINT; no output file was replaced\n"},
      {.program = LabProgram, .args = {"--seed", "1", "--stop-flags", "16", "--max-generations", "2000000000", "--trace", "@trace.csv", "--plot", "@chart.svg", "--runs", "4", "--jobs", "2"}, .signal = SIGTERM, .status = 143, .err = "allelix-lab: interrupted by SIGTERM; no output file was replaced\n"},
      // The trace goes to standard output as runs end, until a write finds no reader.
      {.program = LabProgram, .args = {"--seed", "1", "--runs", "4096", "--jobs", "1", "--trace", "-", "--plot", "@chart.svg"}, .output = Output::BrokenPipe, .status = 128 + SIGPIPE, .err = "4096 runs, seed 1 (run r starts from 1 + r * 1048576), engine mt19937, selection elitism, crossover two-point\n"},
      // clang-format on
  };
  for (const auto& c : cases) {
    if (c.program.empty()) continue;  // a program this build leaves out
    const std::string name = fs::path(c.program).filename();
    SCOPED_TRACE(name + " " + (c.args.empty() ? "" : c.args[0]) + " " + std::to_string(c.status));
    for (const char* file : {"trace.csv", "chart.svg"}) std::ofstream(files_ / file) << "old";
    const std::set<fs::path> before = Files();
    const std::unique_ptr<Child> child = Start(c.program, c.args, c.output);
    if (c.signal != 0) {
      for (int tries = 0; Files() == before && tries < 3000; ++tries) sleep_for(10ms);
      EXPECT_NE(Files(), before) << "no temporary file appeared";
      sleep_for(200ms);
      child->Signal(c.signal);
    }
    EXPECT_EQ(child->Wait(), c.status);
    EXPECT_EQ(Err(), c.err.empty() ? name + ": cannot write to standard output\n" : c.err);
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(files_ / "trace.csv") + ReadFile(files_ / "chart.svg"), "oldold");
  }
  EXPECT_TRUE(LabProgram.empty() || ReadFile(dir_ / "trace.csv").starts_with("generation,"));
}

// A stop request ends a trace's write that waits for a FIFO's reader, which is there but stalls.
TEST_F(Programs, AStopRequestEndsAWriteThatWaitsForAStalledReader) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  ASSERT_EQ(::mkfifo((files_ / "fifo").c_str(), 0600), 0);
  const int reader = ::open((files_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const auto child = Start(LabProgram, {"--seed", "1", "--runs", "4096", "--jobs", "1", "--trace",
                                        "@fifo", "--plot", "@chart.svg"});
  // The pipe is full once what it holds stops growing for a while.
  for (int held = 0, last = -1, same = 0, tries = 0; same < 30 && tries < 3000; ++tries) {
    sleep_for(10ms);
    if (::ioctl(reader, FIONREAD, &held) != 0) break;
    same = held > 0 && held == last ? same + 1 : 0;
    last = held;
  }
  child->Signal(SIGINT);
  EXPECT_EQ(child->Wait(), 130);
  ::close(reader);
  EXPECT_EQ(Err(), "allelix-lab: interrupted by SIGINT; no output file was replaced\n");
  EXPECT_FALSE(fs::exists(files_ / "chart.svg"));
}

// A trace or a chart sent to standard output under another name than - (as /dev/stdout, or as
// the file standard output goes to) gets standard output to itself; the summary goes to stderr.
TEST_F(Programs, ATraceOrAChartOnStandardOutputUnderAnyNameKeepsTheSummaryOff) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  const Args run = {"--seed", "1", "--max-generations", "2", "--stop-flags", "16"};
  for (const std::string& option : Args{"--trace", "--plot"}) {
    for (const std::string& name : Args{"/dev/stdout", "/dev/fd/1", dir_ / "stdout"}) {
      SCOPED_TRACE(option + " " + name);
      Args args = run;
      args.insert(args.end(), {option, name});
      ASSERT_EQ(Run(LabProgram, args), 0) << Err();
      EXPECT_TRUE(Out().starts_with(option == "--trace" ? "generation," : "<svg")) << Out();
      EXPECT_EQ(Out().find("stop reason"), std::string::npos);
      EXPECT_TRUE(Err().starts_with("seed 1, engine mt19937")) << Err();
      EXPECT_NE(Err().find("stop reason: generations"), std::string::npos) << Err();
    }
  }
}

// Killed at moments from before its first checkpoint to well into the batch (many of them in a
// checkpoint's write) and resumed from what is on disk each time, the lab ends with the
// uninterrupted batch's trace, chart and summary.
TEST_F(Programs, AKilledLabResumesToTheUninterruptedResult) {
  if (LabProgram.empty()) GTEST_SKIP() << "the lab is not built";
  // Each checkpoint costs a sync; in memory (a tmpfs) next to nothing.
  std::string pattern = "/dev/shm/allelix-kill-XXXXXX";
  const fs::path work = ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : files_;
  const std::shared_ptr<void> removeWork(nullptr, [&](void*) { fs::remove_all(work); });
  const std::string ckpt = work / "ckpt";
  const Args batch = {
      "--seed", "7", "--selection", "roulette", "--stop-flags", "16", "--max-generations", "150",
      "--runs", "5", "--jobs",      "2"};
  Args reference = batch, fresh = batch;
  reference.insert(reference.end(),
                   {"--trace", work / "reference.csv", "--plot", work / "reference.svg"});
  fresh.insert(fresh.end(), {"--trace", work / "resumed.csv", "--plot", work / "resumed.svg",
                             "--checkpoint", ckpt, "--checkpoint-every", "3"});
  ASSERT_EQ(Run(LabProgram, reference), 0);
  const std::string summary = Timeless();
  // A resumed batch may take another number of threads.
  const Args resume = {"--resume", ckpt, "--jobs", "1"};
  const fs::path resumable = ckpt + "/batch.checkpoint";
  int status = -SIGKILL;
  for (int attempt = 0; status != 0; ++attempt) {
    ASSERT_LT(attempt, 20) << "the lab never finished";
    const auto lab = Start(LabProgram, fs::exists(resumable) ? resume : fresh);
    // The last kill waits for a checkpoint, so that the run that finishes is a resumed one.
    for (int t = 0; attempt == 7 && !fs::exists(resumable) && t < 500; ++t) sleep_for(10ms);
    if (attempt < 8) {
      // From 0.1 ms to 0.4 s, so that some kills come before the first checkpoint.
      sleep_for(std::chrono::microseconds(100 << (attempt * 5 % 13)));
      lab->Signal(attempt == 5 ? SIGINT : SIGKILL);  // SIGINT saves a last checkpoint
    }
    status = lab->Wait();
    ASSERT_TRUE(status == 0 || status == -SIGKILL || status == -SIGINT || status == 130)
        << status << ": " << Err();
    EXPECT_TRUE(status != 130 || Err().find("; resume with --resume " + resume[1]) != Err().npos);
  }
  EXPECT_EQ(Timeless(), summary);
  EXPECT_EQ(ReadFile(work / "resumed.csv") + ReadFile(work / "resumed.svg"),
            ReadFile(work / "reference.csv") + ReadFile(work / "reference.svg"));
  // Finished runs are taken as they ended, not run (and saved) again.
  const auto checkpoints = [&] {
    std::string all;
    for (int r = 0; r < 5; ++r) all += ReadFile(ckpt + "/run-" + std::to_string(r) + ".checkpoint");
    return all;
  };
  const std::string finished = checkpoints();
  EXPECT_EQ(Run(LabProgram, resume), 0);
  EXPECT_EQ(Timeless(), summary);
  EXPECT_EQ(checkpoints(), finished);
}

// Outputs go only where the user may write and a checkpoint can be replaced whole, and a resume
// takes only what continues the same run: each refusal is a bad command line that names the
// option. Root may write anything, so a root test runs the lab as nobody, from a copy it may run.
TEST_F(Programs, TheLabRefusesFilesItMayNotWriteAndCheckpointsItCannotKeepOrResume) {
  if (LabProgram.empty() || OneMaxProgram.empty()) GTEST_SKIP() << "the programs are not built";
  const fs::path lab = dir_ / "allelix-lab";
  fs::copy_file(std::string(LabProgram), lab);
  fs::create_directory(files_ / "read-only");
  fs::permissions(files_ / "read-only", fs::perms(0555));
  // A file anyone may write, but in a sticky directory only its owner (root here) may replace.
  fs::create_directory(files_ / "sticky");
  fs::permissions(files_ / "sticky", fs::perms(01777));
  std::ofstream(files_ / "sticky" / "theirs.csv") << "old";
  fs::permissions(files_ / "sticky" / "theirs.csv", fs::perms(0666));
  ASSERT_EQ(Run(LabProgram, {"--seed", "3", "--stop-flags", "16", "--max-generations", "5",
                             "--checkpoint", "@lab.ckpt", "--trace", "@saved.csv"}),
            0);
  const std::string whole = ReadFile(files_ / "lab.ckpt");
  ASSERT_EQ(Run(OneMaxProgram, {"1", "--checkpoint", "@onemax.ckpt", "--checkpoint-every", "1000"}),
            0);
  const struct {
    Args args;
    std::string err;          // after "allelix-lab: ", with @ standing for the directory of files
    bool asRootOnly = false;  // needs a file of another user
  } refusals[] = {
      // clang-format off
      {.args = {"--checkpoint", "@read-only/new.ckpt"}, .err = "--checkpoint: cannot write '@read-only/new.ckpt': Permission denied"},
      {.args = {"--trace", "@sticky/theirs.csv"}, .err = "--trace: cannot replace '@sticky/theirs.csv': it belongs to another user, in a directory where only a file's owner may replace it", .asRootOnly = true},
      {.args = {"--checkpoint", "/dev/full"}, .err = "--checkpoint: cannot write '/dev/full': it is a character device, not a regular file"},
      {.args = {"--trace", "@trace.csv", "--checkpoint", "@../files/trace.csv"}, .err = "--checkpoint: it names the same file as --trace '@trace.csv'"},
      {.args = {"--trace", "-", "--checkpoint", "@../stdout"}, .err = "--checkpoint: it names the same file as --trace '-'"},
      {.args = {"--checkpoint", "@sticky/theirs.csv"}, .err = "--checkpoint: cannot replace '@sticky/theirs.csv': it belongs to another user, in a directory where only a file's owner may replace it", .asRootOnly = true},
      {.args = {"--runs", "2", "--checkpoint", "@batch", "--trace", "@./batch"}, .err = "--checkpoint: it names the same file as --trace '@./batch'"},
      {.args = {"--runs", "2", "--checkpoint", "@", "--plot", "@run-1.checkpoint"}, .err = "--checkpoint: the directory '@' keeps its own file as --plot '@run-1.checkpoint'"},
      {.args = {"--resume", "@onemax.ckpt"}, .err = "--resume: '@onemax.ckpt' was saved by onemax, not by allelix-lab"},
      {.args = {"--resume", "@lab.ckpt", "--seed", "4"}, .err = "--seed: '4' differs from the checkpoint's '3'"},
      {.args = {"--resume", "@lab.ckpt", "--max-stagnation", "9"}, .err = "--max-stagnation: '9' differs from the checkpoint's run, which did not set it"},
      // clang-format on
  };
  for (const auto& refusal : refusals) {
    if (refusal.asRootOnly && ::geteuid() != 0) continue;
    SCOPED_TRACE(refusal.err);
    const int status = Start(lab.string(), refusal.args, Output::File, ::geteuid() == 0)->Wait();
    if (status == 126) GTEST_SKIP() << "cannot run as nobody here";
    EXPECT_EQ(status, 2);
    EXPECT_EQ(Err(), At("allelix-lab: " + refusal.err + "\n"));
  }
  EXPECT_EQ(ReadFile(files_ / "lab.ckpt") + ReadFile(files_ / "sticky" / "theirs.csv"),
            whole + "old");
  EXPECT_FALSE(fs::exists(files_ / "batch"));
  // Options given again that agree, in other spellings, resume the finished run as it ended.
  EXPECT_EQ(
      Run(LabProgram, {"--resume", "@lab.ckpt", "--seed", "03", "--engine", "mt19937",
                       "--checkpoint", "@../files/lab.ckpt", "--trace", "@../files/saved.csv"}),
      0);
  EXPECT_NE(Out().find("generations: 5\n"), std::string::npos);
}

}  // namespace
}  // namespace allelix::testing
