// Benchmarks of the library on the demonstration's problem, and a summary of the ratios that
// matter: a generation against the peer's (when built in) and the sort against the
// straightforward exchange sort.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "exchange_sort.h"

namespace allelix::bench {
namespace {

using demo::CMyGenerator;

constexpr std::uint32_t BaseSeed = 1;

void Initialize(benchmark::State& state) {
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  CMyGenerator generator;
  for (auto _ : state) generator.Initialize();
}

// Runs of `Generations` generations from a fresh population, with the given operators.
void NextGenerations(benchmark::State& state, int selectionType, int crossoverType) {
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  std::unique_ptr<CMyGenerator> generator;
  for (auto _ : state) {
    state.PauseTiming();
    generator.reset();
    generator = std::make_unique<CMyGenerator>();
    generator->selectionType = selectionType;
    generator->crossoverType = crossoverType;
    generator->Initialize();
    state.ResumeTiming();
    for (int g = 0; g < Generations; ++g) generator->NextGeneration();
  }
  CountGenerations(state);
}

// The demonstration's generator, except that it hands the sort back to the caller so that the
// population can be captured in the order the sort receives it.
class CCapturingGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  bool sortAsked = false;

  CCapturingGenerator() {
    stopFlags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
  }

  bool Select(Population*& selected) override {
    sortAsked = CGeneratorEx<CMyIndividual>::Select(selected);
    return false;
  }
};

// A population to sort again and again: clones in the order a sort received them.
struct SortInput {
  std::unique_ptr<Population> population = std::make_unique<Population>();
  std::vector<CMyIndividual*> order;

  void Restore() const { std::copy(order.begin(), order.end(), population->individuals); }
};

SortInput Capture(const Population& source) {
  SortInput input;
  input.population->AllocateIndividuals(source.count);
  for (int i = 0; i < source.count; ++i) {
    input.population->individuals[i] = source.individuals[i]->Clone();
  }
  input.order.assign(input.population->individuals, input.population->individuals + source.count);
  return input;
}

// The populations of a seeded demonstration run, as each generation's sort receives them
// (the initial population first), with their many equal fitness values.
const std::vector<SortInput>& RunInputs() {
  static const std::vector<SortInput> inputs = [] {
    std::vector<SortInput> captured;
    const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
    CCapturingGenerator generator;
    generator.Initialize();
    while (TestStop(generator) == StopReason::None) {
      generator.NextGeneration();
      captured.push_back(Capture(*generator.population));
      if (generator.sortAsked) generator.population->SortByFitness();
    }
    return captured;
  }();
  return inputs;
}

// Populations of 1000 with uniformly random fitness values.
const std::vector<SortInput>& RandomInputs() {
  static const std::vector<SortInput> inputs = [] {
    std::vector<SortInput> made;
    std::mt19937_64 engine(12345);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int k = 0; k < 8; ++k) {
      Population population;
      population.AllocateIndividuals(1000);
      for (int i = 0; i < population.count; ++i) {
        population.individuals[i] = new CMyIndividual();
        population.individuals[i]->fitness = uniform(engine);
      }
      made.push_back(Capture(population));
    }
    return made;
  }();
  return inputs;
}

using Inputs = const std::vector<SortInput>& (*)();

// Sorts the inputs in turn, each from the order it was captured in, with the given sort.
template <class SortFunction>
void SortEach(benchmark::State& state, Inputs inputs, SortFunction sort) {
  const std::vector<SortInput>& all = inputs();
  std::size_t next = 0;
  for (auto _ : state) {
    const SortInput& input = all[next];
    next = (next + 1) % all.size();
    input.Restore();
    sort(*input.population);
    benchmark::DoNotOptimize(input.population->individuals[0]);
  }
}

void SortByFitness(benchmark::State& state, Inputs inputs) {
  SortEach(state, inputs, [](Population& population) { population.SortByFitness(); });
}

void ExchangeSort(benchmark::State& state, Inputs inputs) {
  SortEach(state, inputs, [](Population& population) {
    testing::ExchangeSortByFitness(population.individuals, population.count);
  });
}

void Convergence(benchmark::State& state) {
  const Population& population = *RunInputs()[RunInputs().size() / 2].population;
  for (auto _ : state) benchmark::DoNotOptimize(population.Convergence());
}

// Whole demonstration runs, cycling through 20 fixed seed schedules.
void DemoRun(benchmark::State& state) {
  std::uint32_t run = 0;
  for (auto _ : state) {
    const ScopedSeedSchedule schedule(BaseSeed + 10000 * (run++ % 20), Engine::Mt19937);
    CMyGenerator generator;
    Run(generator);
    benchmark::DoNotOptimize(generator.best);
  }
}

BENCHMARK(Initialize)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(NextGenerations, demo, SelectionElitism, CrossoverTwoPoint)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, roulette, SelectionRouletteWheel, CrossoverTwoPoint)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, remainder, SelectionStochasticRemainder, CrossoverTwoPoint)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, tournament, SelectionTournament, CrossoverTwoPoint)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, one_point, SelectionElitism, CrossoverOnePoint)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, uniform, SelectionElitism, CrossoverUniform)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SortByFitness, run, RunInputs)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ExchangeSort, run, RunInputs)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortByFitness, random, RandomInputs)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ExchangeSort, random, RandomInputs)->Unit(benchmark::kMicrosecond);
BENCHMARK(Convergence)->Unit(benchmark::kMicrosecond);
BENCHMARK(DemoRun)->Unit(benchmark::kMillisecond);

// The console table, then the ratios that the speed goals are stated in.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const auto perGeneration = run.counters.find("per_generation");
      seconds_[name] =
          perGeneration != run.counters.end()
              ? perGeneration->second.value
              : run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nMachine: %s\n", CpuModel().c_str());
    Line("A generation, demonstration's settings", "NextGenerations/demo", "GAlib/generations",
         "of GAlib's time");
    Line("SortByFitness, populations of a run", "SortByFitness/run", "ExchangeSort/run",
         "of the exchange sort's time");
    Line("SortByFitness, random values", "SortByFitness/random", "ExchangeSort/random",
         "of the exchange sort's time");
  }

 private:
  void Line(const char* what, const std::string& ours, const std::string& theirs,
            const char* unit) const {
    const auto a = seconds_.find(ours);
    const auto b = seconds_.find(theirs);
    if (a == seconds_.end() || b == seconds_.end()) return;
    std::printf("%-40s %9.1f us vs %9.1f us: %.2fx %s (%.1fx as fast)\n", what, a->second * 1e6,
                b->second * 1e6, a->second / b->second, unit, b->second / a->second);
  }

  static std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
      if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
  }

  std::map<std::string, double> seconds_;
};

}  // namespace
}  // namespace allelix::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  allelix::bench::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
