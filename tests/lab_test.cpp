#include "lab.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "allelix/experiment/experiment.h"
#include "experiment.h"
#include "options.h"
#include "support.h"

namespace allelix::lab {
namespace {

namespace fs = std::filesystem;
using namespace experiment;
using Args = std::vector<std::string>;

struct Outcome {
  int status;
  std::string out, err;
};

// Runs the lab in-process with a clock that stands still, so every byte of its output is fixed.
Outcome Lab(Args args) {
  args.insert(args.begin(), "allelix-lab");
  std::ostringstream out, err;
  Console console{.out = out, .err = err, .seconds = [] { return 0.0; }};
  return {RunLab(args, console), out.str(), err.str()};  // a braced list runs left to right
}

// Every setting the command line reaches, in the order of SettingOptions, as args configure it.
std::vector<double> SettingsOf(Args args) {
  args.insert(args.begin(), "allelix-lab");
  std::ostringstream sink;
  const ParsedCommandLine parsed = ParseCommandLine(args, sink, sink);
  EXPECT_TRUE(parsed.options.has_value()) << sink.str();
  demo::CMyGenerator g;
  Configure(parsed.options.value_or(Options{}), g);
  return {g.mutationRate,          g.crossoverRate,         g.uniformRate,
          g.tournamentRate,        double(g.eliteCount),    double(g.stopFlags),
          g.convergenceThreshold,  double(g.maxMinutes),    double(g.maxGenerations),
          double(g.maxStagnation), double(g.selectionType), double(g.crossoverType)};
}
const Args SettingOptions = {"--mutation-rate",         "--crossover-rate", "--uniform-rate",
                             "--tournament-rate",       "--elite-count",    "--stop-flags",
                             "--convergence-threshold", "--max-minutes",    "--max-generations",
                             "--max-stagnation",        "--selection",      "--crossover"};

// A fresh directory; in the arguments of Words, a leading '@' stands for it.
struct LabFiles : testing::ScratchDirectory {
  // The words of `line` apart by `separator`, each kept as typed (an empty one between two
  // separators too).
  Args Words(const std::string& line, char separator) const {
    Args words;
    std::istringstream in(line);
    for (std::string word; std::getline(in, word, separator);)
      words.push_back(regex_replace(word, std::regex("^@"), Path("")));
    return words;
  }
};

using testing::ReadFile;

TEST(LabOptions, EachOptionSetsExactlyItsOwnFieldToTheValueTyped) {
  const std::vector<double> library = SettingsOf({});  // left out: the demonstration's
  // Just above the midpoint between 0.5 and the next double: rounding through long double first
  // lands on the midpoint and then on 0.5; one correct rounding (strtod's) gives the double above.
  const std::string halfUp = "0.50000000000000005551115123125783";
  // --max-generations at the largest int, the bound it may reach; --selection and --crossover by
  // name and by number.
  const std::pair<std::string, double> typed[] = {
      // clang-format off
      {"0.1", 0.1}, {"1e-3", 1e-3}, {halfUp, std::nextafter(0.5, 1.0)}, {"0.9", 0.9}, {"7", 7}, {"48", 48},
      {"0.85", 0.85}, {"11", 11}, {"2147483647", 2147483647}, {"17", 17}, {"tournament", 4}, {"0", 0}};
  // clang-format on
  for (std::size_t field = 0; field < std::size(typed); ++field) {
    std::vector<double> expected = library;
    expected[field] = typed[field].second;
    EXPECT_EQ(SettingsOf({SettingOptions[field], typed[field].first}), expected) << field;
  }
}

// Each refusal is one line and leaves the directory as it was. A trace and a chart that lead to
// one file (by name, by a hard or a symbolic link, or through /dev/stdout) are refused too.
TEST_F(LabFiles, BadOptionsFailWithOneLineAndWriteNothing) {
  std::ofstream(Path("a")) << "old";
  fs::create_hard_link(Path("a"), Path("hard"));
  fs::create_symlink("new", Path("link"));
  fs::create_symlink("/dev/stdout", Path("stdout"));
  const std::set<fs::path> before = {fs::directory_iterator(dir_), {}};
  // One case a string, its arguments apart by '|'.
  const std::string cases[] = {
      // clang-format off
      "--seed|4294967296", "--seed|-1", "--seed|0x10", "--seed", "--mutation-rate|abc", "--mutation-rate|1.5",
      "--crossover-rate|nan", "--uniform-rate|0.5.1", "--tournament-rate|-0.1", "--mutation-rate|1e-999",
      "--selection|Elitism", "--selection|5", "--crossover|two_point", "--crossover|-1", "--engine|mt",
      "--stop-flags|2", "--stop-flags|64", "--stop-flags|0", "--runs|0", "--runs|4097", "--jobs|0",
      "--elite-count|-1", "--max-generations|2147483648", "--max-minutes|5 ", "--unknown", "positional",
      "--plot|-", "--trace||--seed|1", "--trace|@missing/trace.csv", "--plot|@missing/chart.svg", "--plot|@",
      "--clock-seeding|--seed|1", "--trace|@same|--plot|@same", "--trace|@out|--plot|@./out",
      "--trace|@a|--plot|@hard", "--trace|@link|--plot|@new", "--trace|-|--plot|@stdout",
      // clang-format on
  };
  // Stop flags of 0, if accepted, would run for ever: that refusal is checked without running.
  std::ostringstream sink;
  ASSERT_FALSE(ParseCommandLine({"allelix-lab", "--stop-flags", "0"}, sink, sink).options);
  std::string errors;
  for (const std::string& joined : cases) {
    // A trace to write in a directory that exists, which a failure must not leave behind.
    const bool traced = joined.find("--trace") != joined.npos;
    const Outcome outcome = Lab(Words(traced ? joined : joined + "|--trace|@t", '|'));
    EXPECT_TRUE(outcome.status == 2 && outcome.out.empty() &&
                std::regex_match(outcome.err, std::regex("allelix-lab: [^\n]*\n")))
        << joined << ": " << outcome.err;
    EXPECT_EQ((std::set<fs::path>{fs::directory_iterator(dir_), {}}), before) << joined;
    errors += outcome.err;
  }
  EXPECT_EQ(ReadFile(Path("a")), "old");
  // A missing directory is named as the system names it; links to one file are found out.
  EXPECT_NE(errors.find("missing/trace.csv': No such file or directory"), std::string::npos);
  const std::regex sameFile("--trace and --plot name the same file");
  EXPECT_EQ(std::distance(std::sregex_iterator(errors.begin(), errors.end(), sameFile), {}), 5);
}

// A chart that cannot be written leaves the trace as it was, although the trace itself was
// written whole; and a chart named as /dev/fd/N is never the lab's own temporary trace file.
TEST_F(LabFiles, AFailedOrCollidingChartReplacesNoTrace) {
  std::ofstream(Path("t")) << "old";
  const std::set<fs::path> before = {fs::directory_iterator(dir_), {}};
  const Args run = {"--seed", "1", "--max-generations", "2", "--stop-flags", "16", "--trace"};
  Args full = run;
  full.insert(full.end(), {Path("t"), "--plot", "/dev/full"});
  const Outcome failed = Lab(full);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("No space left on device"), std::string::npos) << failed.err;
  EXPECT_EQ(ReadFile(Path("t")), "old");
  // The descriptors the lab opens come from the lowest free numbers: try each it may take.
  const int lowest = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  for (int fd = lowest; fd < lowest + 4; ++fd) {
    Args own = run;
    own.insert(own.end(), {Path("t"), "--plot", "/dev/fd/" + std::to_string(fd)});
    const Outcome outcome = Lab(own);
    EXPECT_EQ(outcome.status, 2) << fd << ": " << outcome.err;
    EXPECT_EQ(ReadFile(Path("t")), "old") << fd;
  }
  EXPECT_EQ((std::set<fs::path>{fs::directory_iterator(dir_), {}}), before);
}

// The lab's complete output for one command line, compared with a file kept under golden/lab:
// every selection and crossover, each engine, single runs and batches, traces to a file and to
// standard output, with and without the convergence threshold on the chart. The runtime engine's
// case holds glibc's rand().
TEST_F(LabFiles, OutputsMatchTheGoldenFilesByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"single", "--seed 1 --trace @trace.csv --plot @chart.svg"},
      {"trace-stdout", "--seed 2 --selection roulette --crossover one-point --max-generations 20 --trace -"},
      {"batch", "--seed 3 --runs 4 --jobs 2 --selection tournament --crossover uniform --max-generations 30 --trace @trace.csv --plot @chart.svg"},
      {"classic", "--seed 4 --engine classic --selection remainder --crossover none --max-generations 15 --trace @trace.csv --plot @chart.svg"},
      {"runtime", "--seed 5 --engine runtime --selection none --crossover 2 --runs 3 --jobs 2 --max-generations 10 --stop-flags 16 --trace - --plot @chart.svg"},
      {"batch-trace-stdout", "--seed 4294967295 --runs 3 --jobs 1 --mutation-rate 0.05 --elite-count 5 --stop-flags 48 --max-stagnation 8 --trace - --plot @chart.svg"},
      // clang-format on
  };
  for (const auto& [name, line] : cases) {
    const Outcome outcome = Lab(Words(line, ' '));
    std::string actual = "status " + std::to_string(outcome.status) + "\n== stdout\n" +
                         outcome.out + "== stderr\n" + outcome.err;
    for (const char* file : {"trace.csv", "chart.svg"}) {
      if (fs::exists(Path(file))) actual += std::string("== ") + file + "\n" + ReadFile(Path(file));
      fs::remove(Path(file));
    }
    const fs::path expected = fs::path(ALLELIX_GOLDEN_DIR) / (name + ".txt");
    if (std::getenv("ALLELIX_UPDATE_GOLDEN") != nullptr) std::ofstream(expected) << actual;
    EXPECT_EQ(actual, ReadFile(expected)) << name << ": " << line;
  }
}

// Without a seed a run or a batch draws one and tells how to repeat it; with clock seeding every
// reseed takes the clock's seconds, so a clock that stands still repeats the run.
TEST(LabSeeds, UnseededRunsTellTheirSeedAndClockSeedingFollowsTheClock) {
  for (const std::string runs : {"1", "3"}) {
    const Outcome unseeded = Lab({"--runs", runs, "--max-generations", "5", "--trace", "-"});
    const std::regex told("^(3 runs, )?seed (\\d+) drawn at random \\(repeat with --seed \\2\\)");
    std::smatch seed;
    ASSERT_TRUE(std::regex_search(unseeded.err, seed, told) && seed[1].matched == (runs == "3"))
        << unseeded.err;
    EXPECT_EQ(
        Lab({"--runs", runs, "--max-generations", "5", "--trace", "-", "--seed", seed[2]}).out,
        unseeded.out);
  }
  const testing::ManualClock clock(1'700'000'000);
  const Args args = {"--clock-seeding", "--max-generations", "3", "--trace", "-"};
  const Outcome clocked = Lab(args);
  EXPECT_EQ(clocked.out, Lab(args).out);
  EXPECT_NE(clocked.err.find("no seed (reseeded from the clock)"), std::string::npos);
}

// Each target is written with "new" and committed: a regular file is replaced whole (keeping its
// mode, and any links that lead to it), anything else is written in place, and no temporary file
// is left. What an output that is never committed leaves, the programs' test checks.
TEST_F(LabFiles, PendingFileReplacesRegularFilesWholeAndWritesAnythingElseInPlace) {
  const mode_t savedMask = ::umask(022);
  const bool root = ::geteuid() == 0;  // root may write a read-only file, as with `>`
  std::vector<int> descriptors;        // opened by a row, closed at the end
  // A file dir/file of this content and mode; returns its path.
  const auto file = [](const fs::path& dir, const std::string& content, int mode) {
    std::ofstream(dir / "file") << content;
    fs::permissions(dir / "file", fs::perms(mode));
    return (dir / "file").string();
  };
  struct Target {
    // Makes what the row needs in a fresh directory; returns the path to open.
    std::function<std::string(const fs::path&)> make;
    std::optional<std::string> content = "new";  // of dir/file afterwards; nullopt: no file
    fs::perms mode = fs::perms::unknown;         // of dir/file afterwards
    std::string_view error = {};  // opening or committing throws a message that contains it
  };
  // clang-format off
  const Target targets[] = {
      // A path that does not exist yet; a read-only file.
      {.make = [](const fs::path& dir) { return (dir / "file").string(); }, .mode = fs::perms(0644)},
      {.make = [&](const fs::path& dir) { return file(dir, "old", 0444); }, .content = root ? "new" : "old", .mode = fs::perms(0444), .error = root ? "" : "Permission denied"},
      // A relative link in another directory to the file, through a second link.
      {.make = [&](const fs::path& dir) { file(dir, "old", 0640); fs::create_directory(dir / "sub"); fs::create_symlink("../file", dir / "sub" / "link"); fs::create_symlink("sub/link", dir / "target"); return (dir / "target").string(); }, .mode = fs::perms(0640)},
      // A descriptor of this process on a regular file, as /dev/fd/N.
      {.make = [&](const fs::path& dir) { descriptors.push_back(::open(file(dir, "head\n", 0600).c_str(), O_WRONLY | O_APPEND)); return "/dev/fd/" + std::to_string(descriptors.back()); }, .content = "head\nnew", .mode = fs::perms(0600)},
      // A link to a device that takes no data.
      {.make = [](const fs::path& dir) { fs::create_symlink("/dev/full", dir / "target"); return (dir / "target").string(); }, .content = std::nullopt, .error = "No space left on device"},
  };
  // clang-format on
  for (const Target& target : targets) {
    SCOPED_TRACE(&target - targets);
    const fs::path dir = dir_ / std::to_string(&target - targets);
    fs::create_directory(dir);
    const std::string path = target.make(dir);
    const fs::file_type kind = fs::symlink_status(path).type();  // not following a last link
    std::string error;
    try {
      PendingFile pending(path);
      pending.Stream() << "new" << std::flush;
      pending.Commit();
    } catch (const OutputError& e) {
      error = e.what();
    }
    EXPECT_TRUE(error.empty() == target.error.empty() && error.find(target.error) != error.npos)
        << error;
    EXPECT_EQ(fs::exists(dir / "file") ? std::optional(ReadFile(dir / "file")) : std::nullopt,
              target.content);
    EXPECT_TRUE(!target.content || fs::status(dir / "file").permissions() == target.mode);
    EXPECT_TRUE(kind == fs::file_type::not_found || fs::symlink_status(path).type() == kind);
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
  }
  for (const int fd : descriptors) ::close(fd);
  ::umask(savedMask);
}

}  // namespace
}  // namespace allelix::lab
