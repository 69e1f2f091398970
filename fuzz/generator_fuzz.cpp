// Fuzz target: a generator on a small population, with the settings, engine, seed and fitness
// values chosen by the input, and the ownership invariants checked after every generation.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "allelix/generator.h"
#include "allelix/platform.h"
#include "allelix/run.h"
#include "invariants.h"

namespace {

using allelix::CBit;
using allelix::Engine;

constexpr int largestCount = 12;
constexpr int largestGeneCount = 10;

// The fitness values of this input; an individual scores the entry its genes select.
std::array<double, 8> fitnessTable{};

class CFuzzIndividual final : public allelix::CIndividual<CFuzzIndividual, CBit> {
 public:
  double Fitness(int fitnessContext) override {
    auto key = static_cast<std::uint32_t>(fitnessContext);
    for (int i = 0; i < geneCount; ++i) key = key * 2u + (genes[i]->value ? 1u : 0u);
    return fitnessTable[key % fitnessTable.size()];
  }
};

using Generator = allelix::CGeneratorEx<CFuzzIndividual>;
using Population = Generator::Population;

void Require(bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what.c_str());
  std::abort();
}

// A double, often one of those that rates and fitness values go wrong with.
double PickDouble(FuzzedDataProvider& in) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  static constexpr double special[] = {0.0,
                                       -0.0,
                                       1.0,
                                       -1.0,
                                       0.5,
                                       0.75,
                                       0.0005,
                                       0.0015,
                                       0.999999,
                                       1.000001,
                                       2.0,
                                       static_cast<double>(0.6f),
                                       static_cast<double>(0.1f),
                                       static_cast<double>(0.001f),
                                       1e9,
                                       -1e9,
                                       3e9,
                                       1e300,
                                       -1e300,
                                       std::numeric_limits<double>::max(),
                                       std::numeric_limits<double>::lowest(),
                                       std::numeric_limits<double>::denorm_min(),
                                       -999999995904.0,
                                       inf,
                                       -inf,
                                       std::numeric_limits<double>::quiet_NaN()};
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
    case 1:
      return in.PickValueInArray(special);
    case 2:
      return in.ConsumeProbability<double>();
    default:
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
  }
}

// An int, usually between low and high, sometimes an extreme or anything at all.
int PickInt(FuzzedDataProvider& in, int low, int high) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
    case 1:
      return in.ConsumeIntegralInRange(low, high);
    case 2:
      return in.PickValueInArray(
          {std::numeric_limits<int>::min(), -1, 0, std::numeric_limits<int>::max()});
    default:
      return in.ConsumeIntegral<int>();
  }
}

// Every setting the generation step and the stop test read, in and out of range.
void Configure(Generator& generator, FuzzedDataProvider& in, int count) {
  generator.selectionType = PickInt(in, -1, 5);
  generator.crossoverType = PickInt(in, -1, 4);
  generator.mutationRate = PickDouble(in);
  generator.crossoverRate = PickDouble(in);
  generator.uniformRate = PickDouble(in);
  generator.tournamentRate = PickDouble(in);
  generator.eliteCount = PickInt(in, -1, count + 1);
  generator.fitnessContext = PickInt(in, 0, 3);
  // Usually left at the population's count; sometimes changed behind the population's back.
  if (in.ConsumeIntegralInRange(0, 7) == 0) generator.populationSize = PickInt(in, -1, count + 1);
  generator.stopFlags = in.ConsumeIntegral<std::uint32_t>();
  generator.convergenceThreshold = PickDouble(in);
  generator.maxMinutes = PickInt(in, 0, 5);
  generator.maxGenerations = PickInt(in, 0, 10);
  generator.maxStagnation = PickInt(in, 0, 10);
}

// A population built directly: random genes, some locked, some twins of earlier individuals
// (for the grouping), and stored fitness values that are current or stale.
std::unique_ptr<Population> Build(FuzzedDataProvider& in, int count, int geneCount,
                                  int fitnessContext) {
  auto population = std::make_unique<Population>();
  population->AllocateIndividuals(count);
  for (int i = 0; i < count; ++i) {
    if (i > 0 && in.ConsumeIntegralInRange(0, 3) == 0) {
      population->individuals[i] =
          population->individuals[in.ConsumeIntegralInRange(0, i - 1)]->Clone();
    } else {
      auto* individual = new CFuzzIndividual();
      population->individuals[i] = individual;
      individual->AllocateGenes(geneCount);
      for (int j = 0; j < geneCount; ++j) {
        individual->genes[j] = new CBit();
        individual->genes[j]->value = in.ConsumeBool();
        individual->genes[j]->locked = in.ConsumeIntegralInRange(0, 7) == 0;
      }
    }
    CFuzzIndividual* individual = population->individuals[i];
    individual->fitness = in.ConsumeBool() ? individual->Fitness(fitnessContext) : PickDouble(in);
    // The engine keeps marks clear between calls; a stray one must not survive a generation.
    individual->marked = in.ConsumeIntegralInRange(0, 15) == 0;
  }
  return population;
}

// Initialize with a shape in or out of range: either it throws std::invalid_argument and changes
// nothing, or the generator holds the new shape. Returns whether it took effect.
bool TryInitialize(Generator& generator, FuzzedDataProvider& in, int& count, int& geneCount) {
  const int size = in.ConsumeIntegralInRange(-1, largestCount);
  const int genes = in.ConsumeIntegralInRange(-1, largestGeneCount);
  const Population* before = generator.population;
  try {
    generator.Initialize(size, genes);
  } catch (const std::invalid_argument&) {
    Require(size <= 0 || genes <= 0, "Initialize refused a valid shape");
    Require(generator.population == before, "a refused Initialize changed the population");
    return false;
  }
  Require(size > 0 && genes > 0, "Initialize accepted an invalid shape");
  Require(generator.populationSize == size, "Initialize did not set populationSize");
  count = size;
  geneCount = genes;
  return true;
}

void RequireInvariants(const Generator& generator, int count, int geneCount) {
  const std::string broken = allelix::testing::BrokenInvariant(generator, count, geneCount);
  Require(broken.empty(), broken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Engine engine = in.PickValueInArray({Engine::Mt19937, Engine::Classic, Engine::Runtime});
  const allelix::ScopedSeedSchedule schedule(in.ConsumeIntegral<std::uint32_t>(), engine);
  for (double& value : fitnessTable) value = PickDouble(in);

  Generator generator;
  int count = 0;
  int geneCount = 0;
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    if (!TryInitialize(generator, in, count, geneCount)) return 0;
  } else {
    count = in.ConsumeIntegralInRange(0, largestCount);
    geneCount = in.ConsumeIntegralInRange(0, largestGeneCount);
    generator.fitnessContext = PickInt(in, 0, 3);
    generator.population = Build(in, count, geneCount, generator.fitnessContext).release();
    generator.populationSize = count;
    if (count > 0 && in.ConsumeBool()) {
      generator.best =
          generator.population->individuals[in.ConsumeIntegralInRange(0, count - 1)]->Clone();
      if (in.ConsumeBool()) generator.best->fitness = PickDouble(in);
      generator.best->marked = false;
    }
    generator.generation = in.ConsumeIntegralInRange(0, 1000);
    generator.bestGeneration = in.ConsumeIntegralInRange(0, generator.generation);
  }
  Configure(generator, in, count);

  const int generations = in.ConsumeIntegralInRange(1, 6);
  for (int g = 0; g < generations; ++g) {
    if (g > 0) {
      switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
        case 1:
          Configure(generator, in, count);
          break;
        case 2:
          TryInitialize(generator, in, count, geneCount);
          RequireInvariants(generator, count, geneCount);
          break;
        default:
          break;
      }
    }
    const int before = generator.generation;
    generator.NextGeneration();
    Require(generator.generation == before + 1, "NextGeneration did not count one generation");
    RequireInvariants(generator, count, geneCount);
    static_cast<void>(allelix::TestStop(generator));
  }
  generator.ClearAll();
  Require(generator.population == nullptr && generator.best == nullptr, "ClearAll kept objects");
  return 0;
}
