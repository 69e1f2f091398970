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
#include <iterator>
#include <optional>
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
  std::string out;
  std::string err;
};

// Runs the lab in-process with a clock that stands still, so every byte of its output is fixed.
Outcome Lab(Args args) {
  args.insert(args.begin(), "allelix-lab");
  std::ostringstream out, err;
  Console console{.out = out, .err = err, .seconds = [] { return 0.0; }};
  const int status = RunLab(args, console);
  return {status, out.str(), err.str()};
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using LabFiles = testing::ScratchDirectory;
using testing::ReadFile;

TEST(LabOptions, EachOptionSetsExactlyItsOwnFieldToTheValueTyped) {
  const std::vector<double> library = SettingsOf({});  // left out: the demonstration's
  EXPECT_EQ((std::vector{library[5], library[10], library[11]}), (std::vector<double>{60, 3, 2}));
  // Just above the midpoint between 0.5 and the next double: rounding through long double first
  // lands on the midpoint and then on 0.5; one correct rounding (strtod's) gives the double above.
  const std::string halfUp = "0.50000000000000005551115123125783";
  ASSERT_EQ(std::stod(halfUp), std::nextafter(0.5, 1.0));
  const auto expectOnly = [&](const std::string& option, const std::string& text, double value) {
    std::vector<double> expected = library;
    expected[std::find(SettingOptions.begin(), SettingOptions.end(), option) -
             SettingOptions.begin()] = value;
    EXPECT_EQ(SettingsOf({option, text}), expected) << option << " " << text;
  };
  // --max-generations at the largest int, the bound it may reach.
  const std::string typed[] = {"0.1", "1e-3", halfUp, "0.9",        "7",
                               "48",  "0.85", "11",   "2147483647", "17"};
  for (std::size_t i = 0; i < std::size(typed); ++i) {
    expectOnly(SettingOptions[i], typed[i], std::stod(typed[i]));
  }
  const std::pair<std::string, Args> operators[] = {
      {"--selection", {"none", "roulette", "remainder", "elitism", "tournament"}},
      {"--crossover", {"none", "one-point", "two-point", "uniform"}}};
  for (const auto& [option, names] : operators) {
    for (std::size_t number = 0; number < names.size(); ++number) {
      expectOnly(option, names[number], double(number));
      expectOnly(option, std::to_string(number), double(number));
    }
  }
}

TEST_F(LabFiles, BadOptionsFailWithOneLineAndWriteNothing) {
  // One case a line, its arguments apart by '|'; a leading '@' stands for the test's directory.
  const std::vector<std::string> cases = Lines(
      "--seed|4294967296\n--seed|-1\n--seed|0x10\n--seed\n--mutation-rate|abc\n"
      "--mutation-rate|1.5\n--crossover-rate|nan\n--uniform-rate|0.5.1\n--tournament-rate|-0.1\n"
      "--mutation-rate|1e-999\n--selection|Elitism\n--selection|5\n--crossover|two_point\n"
      "--crossover|-1\n--engine|mt\n--stop-flags|2\n--stop-flags|64\n--stop-flags|0\n--runs|0\n"
      "--runs|100001\n--jobs|0\n--elite-count|-1\n--max-generations|2147483648\n"
      "--max-minutes|5 \n--unknown\npositional\n--plot|-\n--trace|\n--trace|@/missing/trace.csv\n"
      "--plot|@/missing/chart.svg\n--plot|@\n--trace|@/same|--plot|@/same\n"
      "--clock-seeding|--seed|1\n");
  const auto lab = [&](const std::string& joined) {
    Args args;
    for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 1) {
      to = joined.find('|', from);
      args.push_back(joined.substr(from, to - from));
      if (args.back().rfind('@', 0) == 0) args.back().replace(0, 1, dir_.string());
    }
    // A trace to write in a directory that exists, which a failure must not leave behind.
    if (joined.find("--trace") == joined.npos) args.insert(args.end(), {"--trace", Path("t")});
    return Lab(args);
  };
  for (const std::string& joined : cases) {
    const Outcome outcome = lab(joined);
    EXPECT_EQ(outcome.status, 2) << joined;
    EXPECT_EQ(outcome.out, "") << joined;
    EXPECT_EQ(outcome.err.rfind("allelix-lab: ", 0), 0u) << joined << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_TRUE(fs::is_empty(dir_)) << joined;
  }
  EXPECT_NE(lab("--trace|@/missing/trace.csv").err.find("No such file or directory"),
            std::string::npos);
}

// The lab's complete output for one command line, compared with a file kept under golden/lab.
struct GoldenCase {
  const char* name;
  const char* args;  // apart by spaces; @trace and @chart stand for files in the test's directory
};

// Every selection and crossover, each engine, single runs and batches, traces to a file and to
// standard output, with and without the convergence threshold on the chart. The runtime engine's
// case holds glibc's rand().
constexpr GoldenCase GoldenCases[] = {
    // clang-format off
    {.name = "single", .args = "--seed 1 --trace @trace --plot @chart"},
    {.name = "trace-stdout", .args = "--seed 2 --selection roulette --crossover one-point --max-generations 20 --trace -"},
    {.name = "batch", .args = "--seed 3 --runs 4 --jobs 2 --selection tournament --crossover uniform --max-generations 30 --trace @trace --plot @chart"},
    {.name = "classic", .args = "--seed 4 --engine classic --selection remainder --crossover none --max-generations 15 --trace @trace --plot @chart"},
    {.name = "runtime", .args = "--seed 5 --engine runtime --selection none --crossover 2 --runs 3 --jobs 2 --max-generations 10 --stop-flags 16 --trace - --plot @chart"},
    {.name = "batch-trace-stdout", .args = "--seed 4294967295 --runs 3 --jobs 1 --mutation-rate 0.05 --elite-count 5 --stop-flags 48 --max-stagnation 8 --trace - --plot @chart"},
    // clang-format on
};

TEST_F(LabFiles, OutputsMatchTheGoldenFilesByteForByte) {
  const fs::path golden = ALLELIX_GOLDEN_DIR;
  const bool update = std::getenv("ALLELIX_UPDATE_GOLDEN") != nullptr;
  for (const GoldenCase& c : GoldenCases) {
    Args args;
    std::istringstream words(c.args);
    for (std::string word; words >> word;) {
      args.push_back(word == "@trace"   ? Path("trace.csv")
                     : word == "@chart" ? Path("chart.svg")
                                        : word);
    }
    const Outcome outcome = Lab(args);
    std::string actual = "status " + std::to_string(outcome.status) + "\n== stdout\n" +
                         outcome.out + "== stderr\n" + outcome.err;
    for (const char* file : {"trace.csv", "chart.svg"}) {
      if (fs::exists(Path(file))) actual += std::string("== ") + file + "\n" + ReadFile(Path(file));
      fs::remove(Path(file));
    }
    const fs::path expected = golden / (std::string(c.name) + ".txt");
    if (update) std::ofstream(expected, std::ios::binary) << actual;
    EXPECT_EQ(actual, ReadFile(expected)) << c.name << ": " << c.args;
  }
}

TEST(LabSeeds, WithoutSeedARunOrBatchDrawsOneAndSaysHowToRepeatIt) {
  for (const std::string runs : {"1", "3"}) {
    const Outcome unseeded = Lab({"--runs", runs, "--max-generations", "5", "--trace", "-"});
    const std::string mark = " drawn at random (repeat with --seed ";
    const std::size_t at = unseeded.err.find(mark);
    ASSERT_NE(at, std::string::npos) << unseeded.err;
    const std::string seed =
        unseeded.err.substr(at + mark.size(), unseeded.err.find(')', at) - at - mark.size());
    EXPECT_EQ(
        unseeded.err.rfind((runs == "1" ? "" : "3 runs, ") + std::string("seed ") + seed + mark, 0),
        0u);
    EXPECT_EQ(unseeded.out,
              Lab({"--runs", runs, "--max-generations", "5", "--seed", seed, "--trace", "-"}).out);
  }
}

TEST(LabSeeds, ClockSeedingReseedsFromTheClocksSecondsEveryTime) {
  const testing::ManualClock clock(1'700'000'000);
  const Args args = {"--clock-seeding", "--max-generations", "3", "--trace", "-"};
  const Args rows = Lines(Lab(args).out);
  EXPECT_EQ(Lab(args).out, Lab(args).out);
  // The start reseeds with the clock's seconds, as a schedule from them would; the generations
  // after it reseed with the same seconds again, where the schedule goes on counting.
  const Args scheduled =
      Lines(Lab({"--seed", "1700000000", "--max-generations", "3", "--trace", "-"}).out);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[1], scheduled[1]);
  EXPECT_NE(rows[4], scheduled[4]);
  EXPECT_NE(Lab(args).err.find("no seed (reseeded from the clock)"), std::string::npos);
}

// What a path is, without following a link it ends in.
fs::file_type KindOf(const std::string& path) { return fs::symlink_status(path).type(); }

// Any hidden file under dir: a temporary file left behind.
bool HasHiddenFile(const fs::path& dir) {
  return std::any_of(fs::recursive_directory_iterator(dir), fs::recursive_directory_iterator(),
                     [](const fs::directory_entry& entry) {
                       return entry.path().filename().string().front() == '.';
                     });
}

TEST_F(LabFiles, PendingFileReplacesRegularFilesWholeAndWritesAnythingElseInPlace) {
  const bool root = ::geteuid() == 0;  // root may write a read-only file, as with `>`
  const mode_t savedMask = ::umask(022);
  std::vector<int> descriptors;  // opened by a row, closed at the end
  // A file dir/file of this content and mode; returns its path.
  const auto file = [](const fs::path& dir, const std::string& content, int mode) {
    std::ofstream(dir / "file") << content;
    fs::permissions(dir / "file", fs::perms(mode));
    return (dir / "file").string();
  };
  // A link dir/target to `to`; returns its path.
  const auto link = [](const fs::path& dir, const fs::path& to) {
    fs::create_symlink(to, dir / "target");
    return (dir / "target").string();
  };
  struct Target {
    std::string_view kind;
    // Makes what the row needs in a fresh directory; returns the path to open.
    std::function<std::string(const fs::path&)> make;
    std::string_view refusal = {};  // opening throws a message that contains it
    // The content of dir/file (or what a reader of the FIFO dir/fifo got) after "new" was
    // written and flushed, then discarded, and after it was committed instead; nullopt: no file.
    std::optional<std::string> discarded = {};
    std::string committed = "new";
    fs::perms mode = fs::perms::unknown;  // of dir/file after the commit
    std::string_view commitError = {};    // Commit throws a message that contains it
  };
  // clang-format off
  const Target targets[] = {
      {.kind = "a path that does not exist yet", .make = [](const fs::path& dir) { return (dir / "file").string(); }, .mode = fs::perms(0644)},
      {.kind = "a read-only file", .make = [&](const fs::path& dir) { return file(dir, "old", 0444); }, .refusal = root ? "" : "Permission denied", .discarded = "old", .mode = fs::perms(0444)},
      {.kind = "a relative link in another directory to the file, through a second link",
       .make = [&](const fs::path& dir) { file(dir, "old", 0640); fs::create_directory(dir / "sub"); fs::create_symlink("../file", dir / "sub" / "link"); return link(dir, "sub/link"); },
       .discarded = "old", .mode = fs::perms(0640)},
      {.kind = "a link to a file that does not exist yet", .make = [&](const fs::path& dir) { return link(dir, "file"); }, .mode = fs::perms(0644)},
      {.kind = "a link to a FIFO", .make = [&](const fs::path& dir) { EXPECT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0); return link(dir, "fifo"); }, .discarded = "new"},
      {.kind = "a descriptor of this process on a regular file, as /dev/fd/N",
       .make = [&](const fs::path& dir) { descriptors.push_back(::open(file(dir, "head\n", 0600).c_str(), O_WRONLY | O_APPEND)); return "/dev/fd/" + std::to_string(descriptors.back()); },
       .discarded = "head\nnew", .committed = "head\nnew", .mode = fs::perms(0600)},
      {.kind = "a link to a device that takes no data", .make = [&](const fs::path& dir) { return link(dir, "/dev/full"); }, .commitError = "No space left on device"},
      {.kind = "a directory", .make = [](const fs::path& dir) { return dir.string(); }, .refusal = "Is a directory"},
  };
  // clang-format on
  for (const Target& target : targets) {
    SCOPED_TRACE(target.kind);
    for (const bool commit : {false, true}) {
      const fs::path dir = dir_ / (commit ? "committed" : "discarded");
      fs::create_directory(dir);
      const std::string path = target.make(dir);
      const fs::file_type kind = KindOf(path);
      // A FIFO's writer waits for a reader, so the reader comes first; a read once the writer
      // is gone (or when it never came) sees what was written, then the end.
      const bool fifo = fs::exists(dir / "fifo");
      const int reader = fifo ? ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK) : -1;
      try {
        PendingFile pending(path);
        EXPECT_EQ(target.refusal, "");
        pending.Stream() << "new" << std::flush;
        if (commit) {
          pending.Commit();
          EXPECT_EQ(target.commitError, "");
        }
      } catch (const OutputError& e) {
        const std::string_view expected =
            commit && target.refusal.empty() ? target.commitError : target.refusal;
        EXPECT_NE(expected, "") << e.what();
        EXPECT_NE(std::string_view(e.what()).find(expected), std::string_view::npos) << e.what();
      }
      const std::optional<std::string> expected =
          commit && target.refusal.empty() && target.commitError.empty() ? target.committed
                                                                         : target.discarded;
      if (fifo) {
        char got[16] = {};
        EXPECT_EQ(::read(reader, got, sizeof got), ssize_t(expected.value_or("").size()));
        EXPECT_EQ(got, expected.value_or(""));
        ::close(reader);
        EXPECT_EQ(KindOf((dir / "fifo").string()), fs::file_type::fifo);
      } else if (expected) {
        EXPECT_EQ(ReadFile(dir / "file"), *expected) << commit;
        if (commit) {
          EXPECT_EQ(fs::status(dir / "file").permissions(), target.mode);
        }
      } else {
        EXPECT_FALSE(fs::exists(dir / "file"));
      }
      if (path.starts_with(dir.string()) && kind != fs::file_type::not_found) {
        EXPECT_EQ(KindOf(path), kind) << "what the path is stays what it was";
      }
      EXPECT_FALSE(HasHiddenFile(dir));
    }
    fs::remove_all(dir_ / "committed");
    fs::remove_all(dir_ / "discarded");
  }
  for (const int fd : descriptors) ::close(fd);
  ::umask(savedMask);
}

TEST_F(LabFiles, TraceAndPlotLeadingToOneFileAreRefused) {
  const fs::path saved = fs::current_path();
  fs::current_path(dir_);
  std::ofstream("a") << "old";
  fs::create_hard_link("a", "hard");
  fs::create_symlink("new", "link");
  fs::create_symlink("/dev/stdout", "stdout");
  fs::create_directory("sub");
  // Neither exists yet; hard links; a link to a file not there yet; a link to /dev/stdout.
  for (const auto& [trace, plot] : {std::pair{"out", "./out"}, std::pair{"a", "hard"},
                                    std::pair{"link", "sub/../new"}, std::pair{"-", "stdout"}}) {
    const Outcome outcome = Lab({"--trace", trace, "--plot", plot});
    EXPECT_EQ(outcome.status, 2) << trace << " " << plot;
    EXPECT_NE(outcome.err.find("name the same file"), std::string::npos) << outcome.err;
  }
  EXPECT_EQ(ReadFile("a"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 5);
  fs::current_path(saved);
}

}  // namespace
}  // namespace allelix::lab
