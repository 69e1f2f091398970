// Checkpoints: a loaded checkpoint continues its run exactly; a damaged one is refused and changes
// nothing; a failed save keeps the old file. (Saves killed midway: programs_test kills the lab.)
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

// In memory, as a file costs a sync; the file round trip is proved below.
TEST(CheckpointRoundTrip, LoadedRunContinuesExactlyUnderEveryEngineSeedingAndOperator) {
  const std::pair<Engine, Seeding> rows[] = {{Engine::Mt19937, Seeding::Schedule},
                                             {Engine::Classic, Seeding::Entropy},
                                             {Engine::Runtime, Seeding::Clock}};
  for (const auto& [engine, seeding] : rows) {
    for (int selection = SelectionNone; selection <= SelectionTournament; ++selection) {
      for (int crossover = CrossoverNone; crossover <= CrossoverUniform; ++crossover) {
        SCOPED_TRACE(::testing::Message()
                     << EngineName(engine) << " seeding " << int(seeding) << " selection "
                     << selection << " crossover " << crossover);
        const ScopedSeedSchedule restore(7, engine);
        if (seeding == Seeding::Entropy) RemoveSeedSchedule();
        if (seeding == Seeding::Clock) UseClockSeeding();
        ManualClock clock;
        Generator original;
        original.selectionType = selection;
        original.crossoverType = crossover;
        original.mutationRate = 0.2;
        original.uniformRate = 0.4;
        original.eliteCount = 5;
        original.tournamentRate = 0.6;
        original.Initialize(40, 20);
        for (int g = 0; g < 3; ++g) original.NextGeneration();
        const std::string checkpoint = EncodeCheckpoint(original);
        const GeneratorState saved = GeneratorStateOf(original);
        const std::optional<std::uint32_t> runSeed = LastRunSeed();
        const auto expected = Continue(original, 25);

        RestoreRandomPosition(RandomPosition{});
        Generator resumed;
        RestoreCheckpoint(resumed, checkpoint, "run");
        EXPECT_EQ(GeneratorStateOf(resumed), saved);
        EXPECT_EQ(LastRunSeed(), runSeed);
        EXPECT_EQ(Continue(resumed, 25), expected);
      }
    }
  }
  // A generator without CGeneratorEx's settings: its own hooks, the base's mutation.
  const ScopedSeedSchedule restore(9);
  CoreGenerator original;
  original.Initialize(30, 10);
  const std::string checkpoint = EncodeCheckpoint(original);
  const auto expected = Continue(original, 10);
  CoreGenerator resumed;
  RestoreCheckpoint(resumed, checkpoint, "core");
  EXPECT_EQ(Continue(resumed, 10), expected);
}

// Counts set bits, or throws while `failing` is set.
class CFlaky final : public CIndividual<CFlaky, CBit> {
 public:
  static inline bool failing = false;
  double Fitness(int /*context*/) override {
    if (failing) throw std::runtime_error("fitness failed");
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

// Its rescoring cannot be replayed from a file, so a failed generation is saved once repaired.
TEST(CheckpointRoundTrip, AFailedGenerationIsSavedOnlyOnceRepaired) {
  const ScopedSeedSchedule schedule(3);
  CGeneratorEx<CFlaky> original;
  original.Initialize(20, 8);
  CFlaky::failing = true;
  EXPECT_THROW(original.NextGeneration(), std::runtime_error);
  CFlaky::failing = false;
  EXPECT_THROW(EncodeCheckpoint(original), std::invalid_argument);
  original.RepairFailedGeneration();
  const std::string checkpoint = EncodeCheckpoint(original);
  const auto expected = Continue(original, 5);
  CGeneratorEx<CFlaky> resumed;
  RestoreCheckpoint(resumed, checkpoint, "repaired");
  EXPECT_EQ(Continue(resumed, 5), expected);
}

// A bit pattern that only a bit-exact copy keeps: a NaN with a payload.
const double PayloadNaN = std::bit_cast<double>(0x7FF4'0000'DEAD'BEEFull);

// A generator with odd values in its fields (doubles whose bits only an exact copy keeps, two
// neighbouring settings apart), and individuals with locks, marks and odd fitness values.
TEST_F(CheckpointFiles, EveryFieldAndEveryDoubleComesBackExactly) {
  const ScopedSeedSchedule schedule(0xFFFF'FFFFu, Engine::Classic);
  Generator original;
  original.elapsedSeconds = -5'000'000'000;
  original.mutationRate = -0.0;
  original.crossoverRate = std::numeric_limits<double>::infinity();
  original.generation = 2'000'000'000;
  original.uniformRate = PayloadNaN;
  original.tournamentRate = std::numeric_limits<double>::denorm_min();
  original.stopFlags = 0xFFFF'FFFFu;
  original.maxGenerations = 8;
  original.maxStagnation = 7;
  original.population = MakePopulation<COnes>({PayloadNaN, -0.0, 1e300}).release();
  original.populationSize = 3;
  original.population->individuals[1]->genes[7]->locked = true;
  original.population->individuals[2]->marked = true;
  // best may be longer or shorter than the population's individuals
  original.best = MakeIndividual<COnes>({1, 0, 1}, -std::numeric_limits<double>::infinity());
  original.best->genes[0]->locked = true;
  SaveCheckpoint(original, Path("odd.ckpt"), std::string("attached\0bytes", 14));
  const std::string image = EncodeCheckpoint(original);

  RemoveSeedSchedule();
  SetEngine(Engine::Mt19937);
  Generator loaded;
  loaded.Initialize(10, 4);  // a population to be replaced
  EXPECT_EQ(LoadCheckpoint(loaded, Path("odd.ckpt")), std::string("attached\0bytes", 14));
  EXPECT_EQ(EncodeCheckpoint(loaded), image);  // the whole state, bit for bit
  // The image holds the engine and the next seed too; a lock that the encoding mistook for a
  // value (or a mark) would come back as it went, so these are checked on their own.
  EXPECT_EQ(CurrentEngine(), Engine::Classic);
  EXPECT_TRUE(loaded.population->individuals[2]->marked);
  EXPECT_TRUE(loaded.population->individuals[1]->genes[7]->locked);
  EXPECT_FALSE(loaded.population->individuals[1]->genes[6]->locked);
}

TEST(CheckpointFormat, BytesAreFixedWhateverThePlatform) {
  EXPECT_EQ(detail::Crc32("123456789"), 0xCBF43926u);  // the standard check value
  const ScopedSeedSchedule schedule(0x01020304u, Engine::Classic);
  Generator generator;                                            // CGeneratorEx's defaults
  generator.population = MakePopulation<COnes>({0.5}).release();  // slot 0 holds the number 0
  generator.populationSize = 1;
  generator.population->individuals[0]->genes[0]->value = true;
  generator.population->individuals[0]->genes[7]->locked = true;
  // Byte by byte, as the format's table in checkpoint.h describes it; the checksum is zlib's.
  const char* const hex =
      "414C5843484B5054 02000000 A200000000000000"  // magic, version, length 162
      "01 0000000000000000 01000000"                // kind CGeneratorEx, elapsed, populationSize
      "000000E04D62503F 000000403333E33F"           // mutationRate 0.001f, crossoverRate 0.6f
      "00000000 00000000 00000000"                  // generation, fitnessContext, bestGeneration
      "02000000 000000A09999B93F 03000000"          // crossoverType, uniformRate, selectionType
      "14000000 000000000000E83F 02000000"          // eliteCount, tournamentRate, stopFlags
      "000000C0CCCCEC3F 05000000 B80B0000"          // convergenceThreshold, maxMinutes, maxGen.
      "32000000 01000000"                           // maxStagnation, evaluationThreads
      "01 01 01 04030201"                           // classic, schedule, next seed
      "00 00000000"                                 // no run started
      "00 01 01000000 08000000"                     // no best; a population of 1 x 8 genes
      "000000000000E03F 00 01 80"                   // fitness 0.5, mark, values, locks
      "0000000000000000"                            // no attachment
      "F9BE4623";                                   // CRC-32
  std::string expected;
  for (const char* digit = hex; *digit != '\0'; ++digit) {
    if (*digit == ' ') continue;
    expected.push_back(static_cast<char>(std::stoi(std::string(digit, 2), nullptr, 16)));
    ++digit;
  }
  EXPECT_EQ(EncodeCheckpoint(generator), expected);
}

// Expects the bytes to be refused with a message that names them and contains `problem`, and
// the generator (its state and its objects) to be left as it was.
template <class TGenerator>
void ExpectRefused(TGenerator& generator, const std::string& bytes, const std::string& problem) {
  const std::string before = EncodeCheckpoint(generator);
  const void* population = generator.population;
  try {
    RestoreCheckpoint(generator, bytes, "test.ckpt");
    ADD_FAILURE() << "accepted; expected: " << problem;
  } catch (const CheckpointError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("cannot load checkpoint 'test.ckpt': ", 0), 0u);
    EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
  }
  EXPECT_EQ(EncodeCheckpoint(generator), before);
  EXPECT_EQ(generator.population, population);
}

// A small valid checkpoint: 3 individuals of 5 genes, best, an attachment.
std::string SmallCheckpoint() {
  const ScopedSeedSchedule schedule(11, Engine::Mt19937);
  Generator generator;
  generator.Initialize(3, 5);
  generator.NextGeneration();
  return EncodeCheckpoint(generator, "ab");
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

// A file of format version 1, which lacks the run seed, loads as the same state.
TEST(CheckpointFormat, VersionOneLoadsWithoutItsRunSeed) {
  std::string older = SmallCheckpoint();
  older.erase(124, 5);  // the run seed's flag and value
  older = Patched(older, 8, {1});
  const ScopedSeedSchedule schedule(5);
  Generator generator;
  RestoreCheckpoint(generator, older, "older");
  EXPECT_FALSE(LastRunSeed().has_value());
  std::string resaved = EncodeCheckpoint(generator, "ab");
  resaved.erase(124, 5);
  EXPECT_EQ(Patched(resaved, 8, {1}), older);
}

TEST(CheckpointDamage, InconsistentContentsAreRefusedByName) {
  // Offsets in SmallCheckpoint: the random position at 117, the run seed at 124, best's record at
  // 134 (11 bytes), the population's flag at 145, its count at 146, gene count at 150, first
  // record at 154.
  const std::string valid = SmallCheckpoint();
  // clang-format off
  const struct {
    std::string bytes, problem;
  } rows[] = {
      {.bytes = "XLXCHKPT", .problem = "not a checkpoint"},
      {.bytes = Patched(valid, 8, {3}), .problem = "format version 3, newer than"},
      {.bytes = Patched(valid, 8, {0}), .problem = "does not read"},
      {.bytes = valid + "x", .problem = "but its header says"},
      {.bytes = Patched(valid, 20, {0}), .problem = "lacks the settings of a CGeneratorEx"},
      {.bytes = Patched(valid, 20, {2}), .problem = "kind of generator is 2"},
      {.bytes = Patched(valid, 117, {3}), .problem = "engine code 3"},
      {.bytes = Patched(valid, 118, {7}), .problem = "seeding code 7"},
      {.bytes = Patched(valid, 119, {0}), .problem = "lacks its next seed"},
      {.bytes = Patched(valid, 118, {2}), .problem = "clock seeding has no next seed"},
      {.bytes = Patched(valid, 124, {2}), .problem = "the run seed's flag is 2"},
      {.bytes = Patched(valid, 124, {0}), .problem = "run seed is stored without its flag"},
      {.bytes = Patched(valid, 130, {0, 0, 0, 0}), .problem = "best's gene count is 0"},
      {.bytes = Patched(valid, 142, {2}), .problem = "best's mark is 2"},
      {.bytes = Patched(valid, 143, {0x20}), .problem = "best has bits set beyond its genes"},
      {.bytes = Patched(valid, 146, {4}), .problem = "differs from the population's 4 slots"},
      {.bytes = Patched(valid, 150, {0, 0, 0, 0x80}), .problem = "not at least 1"},
      {.bytes = Patched(valid, 150, {0xFF, 0xFF, 0xFF, 0x7F}), .problem = "needs more bytes"},
      {.bytes = Patched(valid, 163, {0x40}), .problem = "slot 0 has bits set beyond its genes"},
      {.bytes = Patched(valid, valid.size() - 14, {3}), .problem = "attachment's length 3"},
  };
  // clang-format on
  const ScopedSeedSchedule schedule(5);
  Generator generator;
  generator.Initialize(4, 6);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.problem);
    ExpectRefused(generator, row.bytes, row.problem);
  }
  CoreGenerator core;
  ExpectRefused(core, valid, "holds the settings of a CGeneratorEx");
}

TEST(CheckpointSave, StatesThatBreakTheInvariantsAreRefused) {
  const std::pair<std::function<void(Generator&)>, std::string> rows[] = {
      // clang-format off
      {[](Generator& g) { g.populationSize = 5; }, "populationSize 5 differs from the population's 4 slots"},
      {[](Generator& g) { delete std::exchange(g.population->individuals[2], nullptr); }, "slot 2 holds no individual"},
      {[](Generator& g) { delete std::exchange(g.population->individuals[3], MakeIndividual<COnes>({1, 0})); }, "slot 3 has 2 genes, slot 0 6"},
      {[](Generator& g) { g.best->ClearGenes(); }, "best has no genes"},
      {[](Generator& g) { delete std::exchange(g.population->individuals[1]->genes[5], nullptr); }, "slot 1 lacks a gene"},
      // clang-format on
  };
  for (const auto& [damage, problem] : rows) {
    Generator generator;
    generator.Initialize(4, 6);
    damage(generator);
    try {
      EncodeCheckpoint(generator);
      ADD_FAILURE() << "saved; expected: " << problem;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
    }
  }
}

// Loads and saves refuse what is not a regular file (or a link to one), naming the path; a save
// replaces a link's target and keeps the link and the target's mode.
TEST_F(CheckpointFiles, OnlyRegularFilesAreLoadedOrSavedAndLinksAndModesAreKept) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(Path("dir"));
  std::filesystem::create_symlink(Path("dir"), Path("link-to-dir"));
  std::filesystem::create_symlink(Path("nowhere"), Path("dangling"));
  std::ofstream(Path("read-only")) << "keep";
  ::chmod(Path("read-only").c_str(), 0444);
  const struct {
    std::string path, problem;
    bool load = true, save = true;
  } rows[] = {
      // clang-format off
      {.path = Path("missing"), .problem = "No such file", .save = false},
      {.path = Path("fifo"), .problem = "a FIFO, not a regular file"},
      {.path = Path("dir"), .problem = "a directory, not a regular file"},
      {.path = "/dev/zero", .problem = "a character device", .save = false},
      {.path = "/dev/null", .problem = "a character device", .load = false},
      {.path = Path("link-to-dir"), .problem = "a symbolic link to a directory", .load = false},
      {.path = Path("dangling"), .problem = "a symbolic link to a file that does not exist", .load = false},
      // Privileged processes may write read-only files.
      {.path = Path("read-only"), .problem = "read-only", .load = false, .save = ::geteuid() != 0},
      {.path = Path("missing-dir/x.ckpt"), .problem = "No such file or directory", .load = false},
      // clang-format on
  };
  Generator generator;
  const auto expectRefused = [&](bool save, const std::string& path, const std::string& problem) {
    try {
      save ? SaveCheckpoint(generator, path) : (void)LoadCheckpoint(generator, path);
      ADD_FAILURE() << path << (save ? " written" : " loaded");
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("'" + path + "': "), std::string::npos);
      EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
    }
  };
  for (const auto& row : rows) {
    if (row.load) expectRefused(false, row.path, row.problem);
  }
  EXPECT_EQ(generator.population, nullptr);
  generator.Initialize(4, 6);
  for (const auto& row : rows) {
    if (row.save) expectRefused(true, row.path, row.problem);
  }
  EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));

  std::ofstream(Path("target.ckpt")) << "old";
  ::chmod(Path("target.ckpt").c_str(), 0640);
  std::filesystem::create_symlink("target.ckpt", Path("link.ckpt"));
  SaveCheckpoint(generator, Path("link.ckpt"));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.ckpt")));
  EXPECT_EQ(ReadFile(Path("target.ckpt")), EncodeCheckpoint(generator));
  EXPECT_EQ(std::filesystem::status(Path("target.ckpt")).permissions(),
            std::filesystem::perms(0640));
}

// Runs body in a child process and returns its exit status.
int InChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CheckpointFiles, FailedWriteKeepsTheOldCheckpointAndLeavesNoTemporaryFile) {
  Generator small;
  small.Initialize(4, 6);
  SaveCheckpoint(small, Path("run.ckpt"));
  const std::string old = ReadFile(Path("run.ckpt"));
  // A file size limit stands for a full disk: the write fails with EFBIG instead of ENOSPC.
  const int status = InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Generator large;
    large.Initialize(1000, 64);
    try {
      SaveCheckpoint(large, Path("run.ckpt"));
    } catch (const std::system_error& error) {
      return error.code() == std::errc::file_too_large ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(Path("run.ckpt")), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
}  // namespace allelix::testing
