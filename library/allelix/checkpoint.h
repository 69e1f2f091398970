// Saving a generator's whole state to a file and loading it back, so that a long run survives a
// crash or a time limit and continues exactly where it stood. POSIX only (the files are synced).
//
// What a checkpoint holds: the population in slot order (each individual's gene values and
// locks, its stored fitness and mark), best, the counters (generation, bestGeneration,
// elapsedSeconds), populationSize, every setting of CGenerator and, for a generator derived from
// CGeneratorEx, every setting of CGeneratorEx (evaluationThreads included), and where the calling
// thread's random source stands (engine, seeding, next seed, and the run's first seed that
// LastRunSeed reports). Every generation reseeds, so under
// a seed schedule, and under the default seeding from an entropy base, a loaded checkpoint
// continues its run bit for bit; under clock seeding it simply reseeds from the clock. Only the
// state that CIndividual and CBit declare is saved, as Clone copies only that: fields of a
// derived individual, gene or generator class are not, nor is the individual class itself (load
// into a generator of the type that saved). A program's own state can travel in the attachment.
//
// The file, version 2 (version 1 lacks the run seed). Integers are little-endian (signed ones two's
// complement); a double is its IEEE 754 bit pattern as an unsigned 64-bit integer, so every value
// (NaN payloads, -0.0, infinities) comes back exactly. Every version keeps the first three fields
// and the last.
//
//   bytes  field
//   8      magic: the ASCII letters ALXCHKPT
//   4      format version: 2
//   8      length of the whole file in bytes
//   1      kind: 0 a CGenerator, 1 a generator derived from CGeneratorEx
//   8+4    elapsedSeconds, populationSize
//   8+8    mutationRate, crossoverRate
//   4+4+4  generation, fitnessContext, bestGeneration
//   56     kind 1 only: crossoverType 4, uniformRate 8, selectionType 4, eliteCount 4,
//          tournamentRate 8, stopFlags 4, convergenceThreshold 8, maxMinutes 4,
//          maxGenerations 4, maxStagnation 4, evaluationThreads 4
//   1+1    engine (0 mt19937, 1 classic, 2 runtime), seeding (0 entropy, 1 schedule, 2 clock)
//   1+4    1 when the next reseed continues a schedule, then its seed; else 0 and 0
//   1+4    1 when a run has started, then its first seed (LastRunSeed); else 0 and 0
//   1      1 when best follows: its gene count (4), then its individual record
//   1      1 when a population follows: its count (4), gene count (4), then one individual
//          record per slot, in slot order
//   8      length of the attachment, then its bytes
//   4      CRC-32 (IEEE, as zlib computes it) of every byte before it
//
//   An individual record of n genes: fitness (8), mark (1: 0 or 1), then the n gene values and
//   then the n locks, each as ceil(n / 8) bytes: gene i is bit i % 8 of byte i / 8, and the
//   bits beyond n are 0.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "allelix/atomic_write.h"
#include "allelix/generator.h"
#include "allelix/platform.h"

namespace allelix {

// A checkpoint that cannot be loaded: missing, unreadable, damaged, of a newer format, or of
// another kind of generator. The message names the file and what is wrong.
class CheckpointError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The format version this library writes, and the newest it reads.
inline constexpr std::uint32_t CheckpointFormatVersion = 2;
// The oldest format version this library reads.
inline constexpr std::uint32_t CheckpointOldestVersion = 1;

namespace detail {

inline constexpr std::string_view CheckpointMagic = "ALXCHKPT";
inline constexpr std::size_t CheckpointFrameBytes = 8 + 4 + 8;  // magic, version, length
inline constexpr std::size_t CheckpointChecksumBytes = 4;

static_assert(sizeof(int) == 4, "the file holds ints as 32 bits");

// CRC-32 with the reflected polynomial 0xEDB88320, as zlib and PNG compute it.
inline std::uint32_t Crc32(std::string_view bytes) {
  static constexpr std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[n] = c;
    }
    return entries;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

// The types a generator works with, read off its public fields.
template <class TGenerator>
using PopulationOf = std::remove_pointer_t<decltype(std::declval<TGenerator&>().population)>;
template <class TGenerator>
using IndividualOf = std::remove_pointer_t<decltype(std::declval<TGenerator&>().best)>;
template <class TGenerator>
using GeneOf =
    std::remove_pointer_t<std::remove_pointer_t<decltype(IndividualOf<TGenerator>::genes)>>;

// Calls field(a.x, b.x) for every field that CGenerator declares besides population and best,
// in the order of the file; a and b are generators or GeneratorFields, which share the names.
template <class A, class B, class Field>
void PairCoreFields(A& a, B& b, Field&& field) {
  field(a.elapsedSeconds, b.elapsedSeconds);
  field(a.populationSize, b.populationSize);
  field(a.mutationRate, b.mutationRate);
  field(a.crossoverRate, b.crossoverRate);
  field(a.generation, b.generation);
  field(a.fitnessContext, b.fitnessContext);
  field(a.bestGeneration, b.bestGeneration);
}

// The same for the settings that CGeneratorEx adds. A new setting belongs here, with a new
// format version.
template <class A, class B, class Field>
void PairExFields(A& a, B& b, Field&& field) {
  field(a.crossoverType, b.crossoverType);
  field(a.uniformRate, b.uniformRate);
  field(a.selectionType, b.selectionType);
  field(a.eliteCount, b.eliteCount);
  field(a.tournamentRate, b.tournamentRate);
  field(a.stopFlags, b.stopFlags);
  field(a.convergenceThreshold, b.convergenceThreshold);
  field(a.maxMinutes, b.maxMinutes);
  field(a.maxGenerations, b.maxGenerations);
  field(a.maxStagnation, b.maxStagnation);
  field(a.evaluationThreads, b.evaluationThreads);
}

// A generator's counters and settings as plain values, read from a file before they replace the
// generator's own.
struct GeneratorFields {
  std::int64_t elapsedSeconds = 0;
  int populationSize = 0;
  double mutationRate = 0.0;
  double crossoverRate = 0.0;
  int generation = 0;
  int fitnessContext = 0;
  int bestGeneration = 0;
  int crossoverType = 0;
  double uniformRate = 0.0;
  int selectionType = 0;
  int eliteCount = 0;
  double tournamentRate = 0.0;
  std::uint32_t stopFlags = 0;
  double convergenceThreshold = 0.0;
  int maxMinutes = 0;
  int maxGenerations = 0;
  int maxStagnation = 0;
  int evaluationThreads = 0;
};

// File codes of the engines and seeding modes, fixed whatever the enumerations' values.
inline std::uint8_t EngineCode(Engine engine) {
  switch (engine) {
    case Engine::Mt19937:
      return 0;
    case Engine::Classic:
      return 1;
    case Engine::Runtime:
      return 2;
  }
  return 0;
}

inline std::uint8_t SeedingCode(Seeding seeding) {
  switch (seeding) {
    case Seeding::Entropy:
      return 0;
    case Seeding::Schedule:
      return 1;
    case Seeding::Clock:
      return 2;
  }
  return 0;
}

// Bytes of a gene bit set of n genes.
inline std::size_t BitBytes(int geneCount) { return (static_cast<std::size_t>(geneCount) + 7) / 8; }

// Bytes of an individual record of n genes: fitness, mark, values, locks.
inline std::uint64_t RecordBytes(int geneCount) { return 8 + 1 + 2 * BitBytes(geneCount); }

// Builds a checkpoint's bytes.
class CheckpointWriter {
 public:
  void Byte(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }

  // An integer in `width` little-endian bytes.
  void Unsigned(std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) Byte(static_cast<std::uint8_t>(value >> (8 * i)));
  }

  // A field of a generator, in as many bytes as its type holds.
  template <class T>
  void Field(const T& value) {
    if constexpr (std::is_same_v<T, double>) {
      Unsigned(std::bit_cast<std::uint64_t>(value), 8);
    } else {
      static_assert(std::is_integral_v<T>);
      Unsigned(static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value)), sizeof(T));
    }
  }

  void Bytes(std::string_view bytes) { bytes_.append(bytes); }

  // An individual record; false, with the record incomplete, when a gene is missing. Each gene
  // is visited once, for its value and its lock: with genes scattered over the heap, the visits
  // are what a large save costs.
  template <class TIndividual>
  bool Individual(const TIndividual& individual) {
    Field(individual.fitness);
    Byte(individual.marked ? 1 : 0);
    const std::size_t values = bytes_.size();
    const std::size_t bitBytes = BitBytes(individual.geneCount);
    bytes_.append(2 * bitBytes, '\0');
    char* const bits = bytes_.data() + values;
    for (int j = 0; j < individual.geneCount; ++j) {
      const auto* gene = individual.genes[j];
      if (gene == nullptr) return false;
      const auto at = static_cast<std::size_t>(j) / 8;
      const auto bit = static_cast<unsigned char>(1u << (j % 8));
      if (gene->value) bits[at] = static_cast<char>(static_cast<unsigned char>(bits[at]) | bit);
      if (gene->locked) {
        bits[bitBytes + at] =
            static_cast<char>(static_cast<unsigned char>(bits[bitBytes + at]) | bit);
      }
    }
    return true;
  }

  void Reserve(std::uint64_t bytes) { bytes_.reserve(static_cast<std::size_t>(bytes)); }

  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Reads a checkpoint's bytes in order; every fault throws CheckpointError naming the file.
class CheckpointReader {
 public:
  CheckpointReader(std::string_view bytes, std::string name)
      : bytes_(bytes), name_(std::move(name)) {}

  [[noreturn]] void Fail(const std::string& problem) const {
    throw CheckpointError("cannot load checkpoint '" + name_ + "': " + problem);
  }

  std::size_t Remaining() const { return bytes_.size() - at_; }

  // Ends the bytes to read before the checksum, once the frame is checked.
  void DropChecksum() { bytes_.remove_suffix(CheckpointChecksumBytes); }

  std::string_view Take(std::size_t n, const char* what) {
    if (n > Remaining()) Fail("it ends in the middle of " + std::string(what));
    const std::string_view taken = bytes_.substr(at_, n);
    at_ += n;
    return taken;
  }

  std::uint64_t Unsigned(std::size_t width, const char* what) {
    const std::string_view taken = Take(width, what);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(taken[i])) << (8 * i);
    }
    return value;
  }

  std::uint8_t Byte(const char* what) { return static_cast<std::uint8_t>(Unsigned(1, what)); }

  // A byte that must be 0 or 1.
  bool Flag(const char* what) {
    const std::uint8_t value = Byte(what);
    if (value > 1) Fail(std::string(what) + " is " + std::to_string(value) + ", not 0 or 1");
    return value == 1;
  }

  template <class T>
  void Field(T& value) {
    if constexpr (std::is_same_v<T, double>) {
      value = std::bit_cast<double>(Unsigned(8, "a field"));
    } else {
      static_assert(std::is_integral_v<T>);
      value = static_cast<T>(static_cast<std::make_unsigned_t<T>>(Unsigned(sizeof(T), "a field")));
    }
  }

  // A gene count of at least 1 whose records, `records` of them, fit in what is left of the file,
  // so that no count can make the loader allocate more than the file's size warrants.
  int GeneCount(const char* what, std::uint64_t records) {
    const auto geneCount = static_cast<std::int32_t>(Unsigned(4, what));
    if (geneCount < 1) {
      Fail(std::string(what) + " is " + std::to_string(geneCount) + ", not at least 1");
    }
    if (records * RecordBytes(geneCount) > Remaining()) {
      Fail(std::string(what) + " " + std::to_string(geneCount) +
           " needs more bytes than the file holds");
    }
    return geneCount;
  }

  // One individual of n genes, newly built: the one in `slot`, or best for slot -1.
  template <class TIndividual, class TGene>
  std::unique_ptr<TIndividual> Individual(int geneCount, int slot) {
    double fitness = 0.0;
    Field(fitness);
    const std::uint8_t mark = Byte("a mark");
    if (mark > 1) Fail(Where(slot) + "'s mark is " + std::to_string(mark) + ", not 0 or 1");
    const std::string_view values = GeneBits(geneCount, slot);
    const std::string_view locks = GeneBits(geneCount, slot);
    auto individual = std::make_unique<TIndividual>();
    individual->AllocateGenes(geneCount);
    for (int j = 0; j < geneCount; ++j) {
      TGene* gene = new TGene();
      individual->genes[j] = gene;
      gene->value = Bit(values, j);
      gene->locked = Bit(locks, j);
    }
    individual->fitness = fitness;
    individual->marked = mark == 1;
    return individual;
  }

 private:
  std::string_view bytes_;
  std::string name_;
  std::size_t at_ = 0;

  static bool Bit(std::string_view bits, int j) {
    const unsigned byte = static_cast<unsigned char>(bits[static_cast<std::size_t>(j) / 8]);
    return (byte >> (j % 8) & 1u) != 0;
  }

  static std::string Where(int slot) { return slot < 0 ? "best" : "slot " + std::to_string(slot); }

  // A bit set of n genes whose bits beyond n are 0.
  std::string_view GeneBits(int geneCount, int slot) {
    const std::string_view bits = Take(BitBytes(geneCount), "a gene record");
    const int spare = static_cast<int>(bits.size() * 8) - geneCount;
    const auto last = static_cast<unsigned char>(bits.back());
    if (spare > 0 && (last >> (8 - spare)) != 0) {
      Fail(Where(slot) + " has bits set beyond its genes");
    }
    return bits;
  }
};

// Whether a generator derives from CGeneratorEx, and so has its settings.
template <class TGenerator>
inline constexpr bool HasExSettings =
    std::derived_from<TGenerator, CGeneratorEx<IndividualOf<TGenerator>>>;

// Throws std::invalid_argument unless the generator's state is one a checkpoint can hold: every
// slot of the population an individual with genes, all of one length, as many as populationSize.
// Missing genes are found as the records are written.
template <class TGenerator>
void CheckSavable(const TGenerator& generator, const std::string& what) {
  const auto refuse = [&](const std::string& problem) {
    throw std::invalid_argument("cannot save " + what + ": " + problem);
  };
  // Slot -1 stands for best.
  const auto checkGenes = [&](const auto* individual, int slot, int geneCount) {
    const auto where = [slot] { return slot < 0 ? "best" : "slot " + std::to_string(slot); };
    if (individual == nullptr) refuse(where() + " holds no individual");
    if (individual->genes == nullptr || individual->geneCount < 1) {
      refuse(where() + " has no genes");
    }
    if (individual->geneCount != geneCount) {
      refuse(where() + " has " + std::to_string(individual->geneCount) + " genes, slot 0 " +
             std::to_string(geneCount));
    }
  };
  if (generator.RepairPending()) {
    refuse(
        "its last generation failed and awaits RepairFailedGeneration(), which scores "
        "individuals again; call it first");
  }
  if (generator.best != nullptr) checkGenes(generator.best, -1, generator.best->geneCount);
  const auto* population = generator.population;
  if (population == nullptr) return;
  if (population->count < 1 || population->individuals == nullptr) {
    refuse("the population has no individuals");
  }
  if (population->count != generator.populationSize) {
    refuse("populationSize " + std::to_string(generator.populationSize) +
           " differs from the population's " + std::to_string(population->count) + " slots");
  }
  const auto* first = population->individuals[0];
  const int geneCount = first != nullptr ? first->geneCount : 0;
  for (int i = 0; i < population->count; ++i) {
    checkGenes(population->individuals[i], i, geneCount);
  }
}

template <class TGenerator>
std::string CheckpointBytes(const TGenerator& generator, std::string_view attachment,
                            const std::string& what) {
  CheckSavable(generator, what);
  CheckpointWriter out;
  const auto* population = generator.population;
  std::uint64_t size = 256 + attachment.size();  // the fields outside the records take less
  if (generator.best != nullptr) size += RecordBytes(generator.best->geneCount);
  if (population != nullptr) {
    size += static_cast<std::uint64_t>(population->count) *
            RecordBytes(population->individuals[0]->geneCount);
  }
  out.Reserve(size);
  out.Bytes(CheckpointMagic);
  out.Unsigned(CheckpointFormatVersion, 4);
  out.Unsigned(0, 8);  // the length, filled in at the end
  out.Byte(HasExSettings<TGenerator> ? 1 : 0);
  PairCoreFields(generator, generator, [&](const auto& value, const auto&) { out.Field(value); });
  if constexpr (HasExSettings<TGenerator>) {
    PairExFields(generator, generator, [&](const auto& value, const auto&) { out.Field(value); });
  }
  const RandomPosition position = CurrentRandomPosition();
  out.Byte(EngineCode(position.engine));
  out.Byte(SeedingCode(position.seeding));
  out.Byte(position.nextSeed.has_value() ? 1 : 0);
  out.Unsigned(position.nextSeed.value_or(0), 4);
  out.Byte(position.runSeed.has_value() ? 1 : 0);
  out.Unsigned(position.runSeed.value_or(0), 4);
  // Slot -1 stands for best.
  const auto record = [&](const auto& individual, int slot) {
    if (out.Individual(individual)) return;
    throw std::invalid_argument("cannot save " + what + ": " +
                                (slot < 0 ? "best" : "slot " + std::to_string(slot)) +
                                " lacks a gene");
  };
  out.Byte(generator.best != nullptr ? 1 : 0);
  if (generator.best != nullptr) {
    out.Unsigned(static_cast<std::uint32_t>(generator.best->geneCount), 4);
    record(*generator.best, -1);
  }
  out.Byte(population != nullptr ? 1 : 0);
  if (population != nullptr) {
    out.Unsigned(static_cast<std::uint32_t>(population->count), 4);
    out.Unsigned(static_cast<std::uint32_t>(population->individuals[0]->geneCount), 4);
    for (int i = 0; i < population->count; ++i) record(*population->individuals[i], i);
  }
  out.Unsigned(attachment.size(), 8);
  out.Bytes(attachment);
  std::string& bytes = out.Bytes();
  const std::uint64_t length = bytes.size() + CheckpointChecksumBytes;
  for (std::size_t i = 0; i < 8; ++i) bytes[12 + i] = static_cast<char>(length >> (8 * i) & 0xFFu);
  out.Unsigned(Crc32(bytes), 4);
  return std::move(bytes);
}

// Checks the frame every version shares (magic, length, checksum) and the version, and returns
// the version; the reader then stands at the first field and stops before the checksum.
inline std::uint32_t CheckFrame(CheckpointReader& in, std::string_view bytes) {
  const std::string_view magic = bytes.substr(0, CheckpointMagic.size());
  if (magic != CheckpointMagic.substr(0, magic.size())) {
    in.Fail("it is not a checkpoint (wrong magic word)");
  }
  if (bytes.size() < CheckpointFrameBytes + CheckpointChecksumBytes) {
    in.Fail("it is truncated (" + std::to_string(bytes.size()) + " bytes)");
  }
  in.Take(CheckpointMagic.size(), "the magic word");
  const auto version = static_cast<std::uint32_t>(in.Unsigned(4, "the version"));
  const std::uint64_t length = in.Unsigned(8, "the length");
  if (length != bytes.size()) {
    in.Fail("it is " + std::to_string(bytes.size()) + " bytes long, but its header says " +
            std::to_string(length) + (length > bytes.size() ? " (truncated)" : ""));
  }
  const std::size_t body = bytes.size() - CheckpointChecksumBytes;
  std::uint32_t stored = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    stored |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[body + i])) << (8 * i);
  }
  if (Crc32(bytes.substr(0, body)) != stored) {
    in.Fail("its checksum does not match (it is damaged)");
  }
  if (version > CheckpointFormatVersion) {
    in.Fail("it has format version " + std::to_string(version) + ", newer than this library's " +
            std::to_string(CheckpointFormatVersion));
  }
  if (version < CheckpointOldestVersion) {
    in.Fail("it has format version " + std::to_string(version) +
            ", which this library does not read");
  }
  in.DropChecksum();
  return version;
}

inline RandomPosition ReadRandomPosition(CheckpointReader& in, std::uint32_t version) {
  RandomPosition position;
  const std::uint8_t engine = in.Byte("the engine");
  if (engine > 2) in.Fail("the engine code " + std::to_string(engine) + " is unknown");
  position.engine = engine == 0 ? Engine::Mt19937 : engine == 1 ? Engine::Classic : Engine::Runtime;
  const std::uint8_t seeding = in.Byte("the seeding");
  if (seeding > 2) in.Fail("the seeding code " + std::to_string(seeding) + " is unknown");
  position.seeding = seeding == 0   ? Seeding::Entropy
                     : seeding == 1 ? Seeding::Schedule
                                    : Seeding::Clock;
  const bool hasSeed = in.Flag("the next seed's flag");
  const auto seed = static_cast<std::uint32_t>(in.Unsigned(4, "the next seed"));
  if (hasSeed) {
    if (position.seeding == Seeding::Clock) in.Fail("clock seeding has no next seed");
    position.nextSeed = seed;
  } else {
    if (position.seeding == Seeding::Schedule) in.Fail("a seed schedule lacks its next seed");
    if (seed != 0) in.Fail("a next seed is stored without its flag");
  }
  if (version < 2) return position;
  const bool hasRunSeed = in.Flag("the run seed's flag");
  const auto runSeed = static_cast<std::uint32_t>(in.Unsigned(4, "the run seed"));
  if (hasRunSeed) {
    position.runSeed = runSeed;
  } else if (runSeed != 0) {
    in.Fail("a run seed is stored without its flag");
  }
  return position;
}

// What a checkpoint puts into a generator, built in full before any of it replaces the
// generator's own state.
template <class TGenerator>
struct LoadedCheckpoint {
  GeneratorFields fields;
  RandomPosition position;
  std::unique_ptr<IndividualOf<TGenerator>> best;
  std::unique_ptr<PopulationOf<TGenerator>> population;
  std::string attachment;
};

template <class TGenerator>
LoadedCheckpoint<TGenerator> ParseCheckpoint(std::string_view bytes, const std::string& name) {
  using TIndividual = IndividualOf<TGenerator>;
  using TGene = GeneOf<TGenerator>;
  CheckpointReader in(bytes, name);
  const std::uint32_t version = CheckFrame(in, bytes);
  LoadedCheckpoint<TGenerator> loaded;
  const bool ex = in.Flag("the kind of generator");
  if (ex != HasExSettings<TGenerator>) {
    in.Fail(ex ? "it holds the settings of a CGeneratorEx, which this generator lacks"
               : "it lacks the settings of a CGeneratorEx, which this generator has");
  }
  PairCoreFields(loaded.fields, loaded.fields, [&](auto& value, auto&) { in.Field(value); });
  if (ex) PairExFields(loaded.fields, loaded.fields, [&](auto& value, auto&) { in.Field(value); });
  loaded.position = ReadRandomPosition(in, version);
  if (in.Flag("best's flag")) {
    loaded.best =
        in.template Individual<TIndividual, TGene>(in.GeneCount("best's gene count", 1), -1);
  }
  if (in.Flag("the population's flag")) {
    const auto count = static_cast<std::int32_t>(in.Unsigned(4, "the population's count"));
    if (count < 1) {
      in.Fail("the population's count is " + std::to_string(count) + ", not at least 1");
    }
    if (count != loaded.fields.populationSize) {
      in.Fail("populationSize " + std::to_string(loaded.fields.populationSize) +
              " differs from the population's " + std::to_string(count) + " slots");
    }
    const int geneCount =
        in.GeneCount("the population's gene count", static_cast<std::uint64_t>(count));
    loaded.population = std::make_unique<PopulationOf<TGenerator>>();
    loaded.population->AllocateIndividuals(count);
    for (int i = 0; i < count; ++i) {
      loaded.population->individuals[i] =
          in.template Individual<TIndividual, TGene>(geneCount, i).release();
    }
  }
  const std::uint64_t attachment = in.Unsigned(8, "the attachment's length");
  if (attachment != in.Remaining()) {
    in.Fail("the attachment's length " + std::to_string(attachment) + " disagrees with the file's");
  }
  loaded.attachment = in.Take(static_cast<std::size_t>(attachment), "the attachment");
  return loaded;
}

// Puts a loaded checkpoint in place of the generator's state; nothing here can fail.
template <class TGenerator>
void Install(TGenerator& generator, LoadedCheckpoint<TGenerator>& loaded) noexcept {
  delete generator.population;
  generator.population = loaded.population.release();
  delete generator.best;
  generator.best = loaded.best.release();
  const auto assign = [](auto& to, const auto& from) { to = from; };
  PairCoreFields(generator, loaded.fields, assign);
  if constexpr (HasExSettings<TGenerator>) PairExFields(generator, loaded.fields, assign);
  RestoreRandomPosition(loaded.position);
}

// The whole contents of a regular file, or only its first bytes when they are not a checkpoint's
// magic word. Anything else is refused before it is read, so that a FIFO cannot block the loader
// and a device cannot flood it.
inline std::string ReadCheckpointFile(const std::string& path) {
  const auto fail = [&](const std::string& problem) -> void {
    throw CheckpointError("cannot load checkpoint '" + path + "': " + problem);
  };
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.IsOpen()) fail(std::generic_category().message(errno));
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) fail(std::generic_category().message(errno));
  if (!S_ISREG(status.st_mode)) {
    fail("it is " + FileTypeName(status.st_mode) + ", not a regular file");
  }
  std::string bytes;
  std::array<char, 1 << 16> chunk{};
  for (;;) {
    const ::ssize_t got = ::read(file.Get(), chunk.data(), chunk.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("reading it failed: " + std::generic_category().message(errno));
    }
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
    // A file that does not begin as a checkpoint is refused by its first bytes, however large.
    if (bytes.size() >= CheckpointMagic.size() &&
        std::string_view(bytes).substr(0, CheckpointMagic.size()) != CheckpointMagic) {
      break;
    }
  }
  return bytes;
}

template <class TGenerator>
concept HasPopulationAndBest = requires(TGenerator& generator) {
  generator.population;
  generator.best;
};

// Whether TGenerator derives from CGenerator over the types of its own population and best.
template <class TGenerator>
concept CheckpointableGenerator = HasPopulationAndBest<TGenerator> && std::derived_from<
    TGenerator, CGenerator<PopulationOf<TGenerator>, IndividualOf<TGenerator>, GeneOf<TGenerator>>>;

}  // namespace detail

// The bytes of a checkpoint of the generator's state and of the calling thread's random source
// (the file format above), carrying `attachment`, bytes of the caller's own, along. Only the
// state that CIndividual and CBit declare is saved, as Clone copies only that.
// Throws std::invalid_argument when the state breaks the generator's invariants (an empty slot,
// an individual without genes, individuals of different lengths, a populationSize other than the
// population's count) or when a failed generation awaits RepairFailedGeneration, whose scoring
// the checkpoint could not replay.
template <detail::CheckpointableGenerator TGenerator>
std::string EncodeCheckpoint(const TGenerator& generator, std::string_view attachment = {}) {
  return detail::CheckpointBytes(generator, attachment, "a checkpoint");
}

// Puts the state held in checkpoint bytes into the generator, and the random position they hold
// into the calling thread's random source; returns the attachment. All or nothing: bytes that are
// damaged, truncated, of a newer format, inconsistent or of the other kind of generator (see
// CheckpointError) leave the generator and the random source as they were. `name` stands for the
// bytes in error messages. std::bad_alloc, should memory run out, changes nothing either.
template <detail::CheckpointableGenerator TGenerator>
std::string RestoreCheckpoint(TGenerator& generator, std::string_view bytes,
                              const std::string& name) {
  auto loaded = detail::ParseCheckpoint<TGenerator>(bytes, name);
  detail::Install(generator, loaded);
  return std::move(loaded.attachment);
}

// Saves the generator's state, with the calling thread's random position and `attachment`, to the
// file at `path`, replacing it atomically (WriteFileAtomically): a crash at any moment leaves the
// old checkpoint or the new one. Call it between two generations, on the thread that runs them.
// Only the state that CIndividual and CBit declare is saved, as Clone copies only that.
// Throws std::invalid_argument as EncodeCheckpoint does, and what WriteFileAtomically throws when
// the file cannot be written (a path that is not a regular file, a full disk), which leaves any
// older checkpoint in place.
template <detail::CheckpointableGenerator TGenerator>
void SaveCheckpoint(const TGenerator& generator, const std::string& path,
                    std::string_view attachment = {}) {
  WriteFileAtomically(path,
                      detail::CheckpointBytes(generator, attachment, "checkpoint '" + path + "'"));
}

// Loads the checkpoint at `path` into the generator, as RestoreCheckpoint does, and returns its
// attachment; the next NextGeneration continues the saved run. Throws CheckpointError, naming the
// file and the fault, for a file that is missing, unreadable, not a regular file, damaged,
// truncated, of a newer format, inconsistent or of the other kind of generator; the generator and
// the random source are then unchanged.
template <detail::CheckpointableGenerator TGenerator>
std::string LoadCheckpoint(TGenerator& generator, const std::string& path) {
  return RestoreCheckpoint(generator, detail::ReadCheckpointFile(path), path);
}

}  // namespace allelix
