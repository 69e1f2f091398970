// Fuzz target: the checkpoint loader, and the reader of a run's progress in its attachment, fed
// arbitrary bytes. A load either fails with CheckpointError and changes nothing, or yields a
// generator whose checkpoint is the input itself and that runs on soundly.
//
// The first input byte chooses: bit 0 repairs the length and the checksum before loading, so that
// mutations reach the fields behind them; bit 1 loads into a CGenerator instead of a CGeneratorEx.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "allelix/checkpoint.h"
#include "allelix/experiment/run_checkpoint.h"
#include "allelix/generator.h"
#include "allelix/platform.h"
#include "invariants.h"

namespace {

using allelix::CBit;

// An individual scored by its number of set genes.
class CFuzzIndividual final : public allelix::CIndividual<CFuzzIndividual, CBit> {
 public:
  double Fitness(int /*fitnessContext*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

using ExGenerator = allelix::CGeneratorEx<CFuzzIndividual>;
using CoreGenerator =
    allelix::CGenerator<allelix::CPopulation<CFuzzIndividual, CBit>, CFuzzIndividual, CBit>;

void Require(bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what.c_str());
  std::abort();
}

// The bytes with the length field and the closing checksum made to fit them.
std::string Repaired(std::string bytes) {
  if (bytes.size() < 24) return bytes;
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[12 + i] = static_cast<char>(static_cast<std::uint64_t>(bytes.size()) >> (8 * i));
  }
  const std::uint32_t crc =
      allelix::detail::Crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
  for (std::size_t i = 0; i < 4; ++i)
    bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  return bytes;
}

template <class TGenerator>
void Load(const std::string& bytes) {
  TGenerator generator;
  generator.Initialize(3, 4);  // a state for a failed load to leave alone
  const std::string before = allelix::EncodeCheckpoint(generator);
  const void* population = generator.population;
  std::string attachment;
  try {
    attachment = allelix::RestoreCheckpoint(generator, bytes, "fuzz");
  } catch (const allelix::CheckpointError&) {
    Require(allelix::EncodeCheckpoint(generator) == before, "a refused load changed the state");
    Require(generator.population == population, "a refused load replaced the population");
    return;
  }
  // The format has one spelling for each state, so the state saves to the very same bytes (in
  // the current version; an older one loads, and saves as the current one).
  const bool current = static_cast<unsigned char>(bytes[8]) == allelix::CheckpointFormatVersion;
  Require(!current || allelix::EncodeCheckpoint(generator, attachment) == bytes,
          "the state saves otherwise");
  // So has a run's progress in the attachment, and the settings in its note.
  try {
    const auto progress = allelix::experiment::DecodeRunProgress(attachment, "fuzz");
    Require(allelix::experiment::EncodeRunProgress(progress) == attachment,
            "the run's progress saves otherwise");
    const auto settings = allelix::experiment::DecodeSettings(progress.note, "fuzz");
    Require(allelix::experiment::EncodeSettings(settings) == progress.note,
            "the settings save otherwise");
  } catch (const allelix::CheckpointError&) {
  }
  if (generator.population == nullptr) return;
  // Marks and counters are the file's to choose; shape and ownership are the loader's to keep.
  for (int i = 0; i < generator.population->count; ++i) {
    generator.population->individuals[i]->marked = false;
  }
  if (generator.bestGeneration > generator.generation) {
    generator.bestGeneration = generator.generation;
  }
  const int count = generator.population->count;
  const int geneCount = generator.population->individuals[0]->geneCount;
  std::string broken = allelix::testing::BrokenInvariant(generator, count, geneCount);
  Require(broken.empty(), broken);
  if constexpr (requires { generator.evaluationThreads; }) generator.evaluationThreads = 1;
  for (int g = 0; g < 2; ++g) generator.NextGeneration();
  broken = allelix::testing::BrokenInvariant(generator, count, geneCount);
  Require(broken.empty(), broken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const allelix::ScopedSeedSchedule schedule(1);  // puts back what a load restores
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) != 0) bytes = Repaired(std::move(bytes));
  if ((data[0] & 2) != 0) {
    Load<CoreGenerator>(bytes);
  } else {
    Load<ExGenerator>(bytes);
  }
  return 0;
}
