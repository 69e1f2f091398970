// Checkpoints: a loaded checkpoint continues its run exactly; a damaged one is refused and changes
// nothing; a failed save keeps the old file. (Saves killed midway: programs_test kills the lab.
// A failed generation's checkpoint: parallel_test.)
#include "allelix/checkpoint.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "snapshot.h"
#include "support.h"

namespace allelix::testing {
namespace {

using Generator = CGeneratorEx<COnes>;
using CoreGenerator = CGenerator<CPopulation<COnes, CBit>, COnes, CBit>;

using CheckpointFiles = ScratchDirectory;

// The states after each of `generations` generations, then every draw they made.
template <class TGenerator>
std::pair<std::vector<GeneratorState>, std::vector<int>> Continue(TGenerator& generator,
                                                                  int generations) {
  std::pair<std::vector<GeneratorState>, std::vector<int>> continuation;
  SetDrawSource([&] { return continuation.second.emplace_back(EngineRand()); });
  for (int g = 0; g < generations; ++g) {
    generator.NextGeneration();
    continuation.first.push_back(GeneratorStateOf(generator));
  }
  SetDrawSource(nullptr);
  return continuation;
}

// Expects `action` to throw E with a message that contains `problem`.
template <class E>
void ExpectThrowsWith(const std::function<void()>& action, const std::string& problem) {
  try {
    action();
    ADD_FAILURE() << "no exception; expected: " << problem;
  } catch (const E& error) {
    EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
  }
}

// In memory, as a file costs a sync; the file round trip is proved below.
TEST(CheckpointRoundTrip, LoadedRunContinuesExactlyUnderEveryEngineSeedingAndOperator) {
  const std::pair<Engine, Seeding> rows[] = {{Engine::Mt19937, Seeding::Schedule},
                                             {Engine::Classic, Seeding::Entropy},
                                             {Engine::Runtime, Seeding::Clock}};
  for (const auto& [engine, seeding] : rows) {
    for (int selection = SelectionNone; selection <= SelectionTournament; ++selection) {
      for (int crossover = CrossoverNone; crossover <= CrossoverUniform; ++crossover) {
        SCOPED_TRACE(::testing::Message() << int(engine) << int(seeding) << selection << crossover);
        const ScopedSeedSchedule restore(7, engine);
        if (seeding == Seeding::Entropy) RemoveSeedSchedule();
        if (seeding == Seeding::Clock) UseClockSeeding();
        ManualClock clock;
        Generator original;
        original.selectionType = selection;
        original.crossoverType = crossover;
        original.Initialize(40, 20);
        for (int g = 0; g < 3; ++g) original.NextGeneration();
        const std::string checkpoint = EncodeCheckpoint(original);
        const std::optional<std::uint32_t> runSeed = LastRunSeed();
        const auto expected = Continue(original, 25);
        Generator resumed;
        RestoreCheckpoint(resumed, checkpoint, "run");
        EXPECT_EQ(LastRunSeed(), runSeed);
        EXPECT_EQ(Continue(resumed, 25), expected);
      }
    }
  }
}

// A generator with odd values in its fields (doubles whose bits only an exact copy keeps, as a NaN
// with a payload; two neighbouring settings apart), and individuals with locks, marks and odd
// fitness values.
TEST_F(CheckpointFiles, EveryFieldAndEveryDoubleComesBackExactly) {
  const double payloadNaN = std::bit_cast<double>(0x7FF4'0000'DEAD'BEEFull);
  const ScopedSeedSchedule schedule(0xFFFF'FFFFu, Engine::Classic);
  Generator original;
  original.elapsedSeconds = -5'000'000'000;
  original.generation = 2'000'000'000;
  original.uniformRate = payloadNaN;
  original.stopFlags = 0xFFFF'FFFFu;
  original.population = MakePopulation<COnes>({payloadNaN, -0.0, 1e300}).release();
  original.populationSize = 3;
  original.population->individuals[1]->genes[7]->locked = true;
  original.population->individuals[2]->marked = true;
  // best may be longer or shorter than the population's individuals
  original.best = MakeIndividual<COnes>({1, 0, 1}, -std::numeric_limits<double>::infinity());
  const std::string attachment("attached\0bytes", 14);
  SaveCheckpoint(original, Path("odd.ckpt"), attachment);

  RemoveSeedSchedule();
  SetEngine(Engine::Mt19937);
  Generator loaded;
  EXPECT_EQ(LoadCheckpoint(loaded, Path("odd.ckpt")), attachment);
  EXPECT_EQ(EncodeCheckpoint(loaded), EncodeCheckpoint(original));  // bit for bit
}

TEST(CheckpointFormat, BytesAreFixedWhateverThePlatform) {
  const ScopedSeedSchedule schedule(0x01020304u, Engine::Classic);
  Generator generator;                                            // CGeneratorEx's defaults
  generator.population = MakePopulation<COnes>({0.5}).release();  // slot 0 holds the number 0
  generator.populationSize = 1;
  generator.population->individuals[0]->genes[0]->value = true;
  generator.population->individuals[0]->genes[7]->locked = true;
  // Byte by byte, as the format's table in checkpoint.h describes it; the checksum is zlib's.
  const std::string hex =
      "414C5843484B5054 02000000 A200000000000000"  // magic, version, length 162
      "01 0000000000000000 01000000"                // kind CGeneratorEx, elapsed, populationSize
      "000000E04D62503F 000000403333E33F"           // mutationRate 0.001f, crossoverRate 0.6f
      "00000000 00000000 00000000"                  // generation, fitnessContext, bestGeneration
      "02000000 000000A09999B93F 03000000"          // crossoverType, uniformRate, selectionType
      "14000000 000000000000E83F 02000000"          // eliteCount, tournamentRate, stopFlags
      "000000C0CCCCEC3F 05000000 B80B0000"          // convergenceThreshold, maxMinutes, maxGen.
      "32000000 01000000"                           // maxStagnation, evaluationThreads
      "01 01 01 04030201 00 00000000"               // classic, schedule, next seed, no run seed
      "00 01 01000000 08000000"                     // no best; a population of 1 x 8 genes
      "000000000000E03F 00 01 80"                   // fitness 0.5, mark, values, locks
      "0000000000000000 F9BE4623";                  // no attachment, CRC-32
  std::string expected;
  for (std::size_t at = 0; at < hex.size(); at += hex[at] == ' ' ? 1 : 2) {
    if (hex[at] != ' ') expected.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), 0, 16)));
  }
  EXPECT_EQ(EncodeCheckpoint(generator), expected);
}

// The bytes with a field patched and the length and checksum made right again, so that only
// the patched field is wrong.
std::string Patched(std::string bytes, std::size_t at, std::vector<unsigned> values) {
  for (const unsigned value : values) bytes[at++] = static_cast<char>(value);
  bytes.resize(bytes.size() - 4);
  const std::uint64_t length = bytes.size() + 4;
  for (std::size_t i = 0; i < 8; ++i) bytes[12 + i] = static_cast<char>(length >> (8 * i));
  const std::uint32_t crc = detail::Crc32(bytes);
  for (std::size_t i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(crc >> (8 * i)));
  return bytes;
}

// Each refusal names the problem (and, checked once, the file). (That a refused load changes
// nothing, the fuzz target checks on every input.)
TEST(CheckpointDamage, DamagedContentsAreRefusedByNameAndVersionOneLoads) {
  // A small valid checkpoint: 3 individuals of 5 genes, best, an attachment. Offsets in it: the
  // random position at 117, the run seed at 124, best's record at 134, the population's count at
  // 146, its gene count at 150, its first record at 154.
  const ScopedSeedSchedule schedule(11, Engine::Mt19937);
  Generator generator;
  generator.Initialize(3, 5);
  generator.NextGeneration();
  const std::string valid = EncodeCheckpoint(generator, "ab");
  // clang-format off
  const struct {
    std::string bytes, problem;
  } rows[] = {
      {.bytes = Patched(valid, 8, {3}), .problem = "format version 3, newer than"},
      {.bytes = Patched(valid, 8, {0}), .problem = "does not read"},
      {.bytes = Patched(valid, 20, {0}), .problem = "lacks the settings of a CGeneratorEx"},
      {.bytes = Patched(valid, 117, {3}), .problem = "engine code 3"},
      {.bytes = Patched(valid, 118, {2}), .problem = "clock seeding has no next seed"},
      {.bytes = Patched(valid, 124, {2}), .problem = "the run seed's flag is 2"},
      {.bytes = Patched(valid, 146, {4}), .problem = "differs from the population's 4 slots"},
      {.bytes = Patched(valid, 150, {0, 0, 0, 0x80}), .problem = "not at least 1"},
      {.bytes = Patched(valid, 150, {0xFF, 0xFF, 0xFF, 0x7F}), .problem = "needs more bytes"},
      {.bytes = Patched(valid, 163, {0x40}), .problem = "slot 0 has bits set beyond its genes"},
      {.bytes = Patched(valid, valid.size() - 14, {3}), .problem = "attachment's length 3"},
  };
  // clang-format on
  for (const auto& row : rows) {
    ExpectThrowsWith<CheckpointError>([&] { RestoreCheckpoint(generator, row.bytes, "t"); },
                                      row.problem);
  }
  CoreGenerator core;
  ExpectThrowsWith<CheckpointError>([&] { RestoreCheckpoint(core, valid, "t"); },
                                    "cannot load checkpoint 't': it holds the settings of a");
  // Format version 1 lacks the run seed; such a file loads as the same state.
  std::string older = valid;
  older.erase(124, 5);  // the run seed's flag and value
  older = Patched(older, 8, {1});
  RestoreCheckpoint(generator, older, "older");
  EXPECT_FALSE(LastRunSeed().has_value());
  std::string resaved = EncodeCheckpoint(generator, "ab");
  resaved.erase(124, 5);
  EXPECT_EQ(Patched(resaved, 8, {1}), older);
}

// A slot or a gene missing is refused by name, not followed.
TEST(CheckpointSave, StatesThatBreakTheInvariantsAreRefused) {
  Generator generator;
  generator.Initialize(4, 6);
  delete std::exchange(generator.population->individuals[1]->genes[5], nullptr);
  ExpectThrowsWith<std::invalid_argument>([&] { EncodeCheckpoint(generator); },
                                          "slot 1 lacks a gene");
  delete std::exchange(generator.population->individuals[2], nullptr);
  ExpectThrowsWith<std::invalid_argument>([&] { EncodeCheckpoint(generator); },
                                          "slot 2 holds no individual");
}

// Loads and saves refuse what is not a regular file (or a link to one), naming the path; a save
// replaces a link's target and keeps the link and the target's mode. (Other kinds of files: the
// lab's refusals in programs_test.)
TEST_F(CheckpointFiles, OnlyRegularFilesAreLoadedOrSavedAndLinksAndModesAreKept) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir_, Path("link-to-dir"));
  std::filesystem::create_symlink(Path("nowhere"), Path("dangling"));
  Generator generator;
  ExpectThrowsWith<CheckpointError>(
      [&] { LoadCheckpoint(generator, Path("fifo")); },
      "cannot load checkpoint '" + Path("fifo") + "': it is a FIFO, not a regular file");
  generator.Initialize(4, 6);
  ExpectThrowsWith<std::runtime_error>([&] { SaveCheckpoint(generator, Path("link-to-dir")); },
                                       "a symbolic link to a directory");
  ExpectThrowsWith<std::runtime_error>([&] { SaveCheckpoint(generator, Path("dangling")); },
                                       "a symbolic link to a file that does not exist");
  EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));
  // A large file that is not a checkpoint is refused by its first bytes, not read whole.
  std::ofstream(Path("large.csv")) << std::string(std::size_t{1} << 20, 'x');
  EXPECT_LT(detail::ReadCheckpointFile(Path("large.csv")).size(), std::size_t{1} << 20);

  std::ofstream(Path("target.ckpt")) << "old";
  ::chmod(Path("target.ckpt").c_str(), 0640);
  std::filesystem::create_symlink("target.ckpt", Path("link.ckpt"));
  SaveCheckpoint(generator, Path("link.ckpt"));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.ckpt")));
  EXPECT_EQ(ReadFile(Path("target.ckpt")), EncodeCheckpoint(generator));
  EXPECT_EQ(std::filesystem::status(Path("target.ckpt")).permissions(),
            std::filesystem::perms(0640));
}

// A file size limit stands for a full disk: the write, in a child process, fails with EFBIG
// instead of ENOSPC.
TEST_F(CheckpointFiles, FailedWriteKeepsTheOldCheckpointAndLeavesNoTemporaryFile) {
  Generator small;
  small.Initialize(4, 6);
  SaveCheckpoint(small, Path("run.ckpt"));
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Generator large;
    large.Initialize(1000, 64);
    try {
      SaveCheckpoint(large, Path("run.ckpt"));
    } catch (const std::system_error& error) {
      ::_exit(error.code() == std::errc::file_too_large ? 0 : 2);
    }
    ::_exit(1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(Path("run.ckpt")), EncodeCheckpoint(small));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
}  // namespace allelix::testing
