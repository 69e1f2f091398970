// Benchmarks of the library on the demonstration's problem, and a scaling table of the ratios
// that matter: a generation per selection type beside the peer's (when built in), and
// SortByFitness beside std::stable_sort of the same keys, at every population size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench_support.h"

namespace allelix::bench {
namespace {

using demo::CMyGenerator;

constexpr std::uint32_t BaseSeed = 1;

void Initialize(benchmark::State& state) {
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  CMyGenerator generator;
  for (auto _ : state) generator.Initialize(static_cast<int>(state.range(0)), 14);
}

// Runs of Generations() generations from a fresh population of the benchmark's size, with the
// given operators.
void NextGenerations(benchmark::State& state, int selectionType, int crossoverType) {
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  const auto size = static_cast<int>(state.range(0));
  std::unique_ptr<CMyGenerator> generator;
  for (auto _ : state) {
    state.PauseTiming();
    generator.reset();
    generator = std::make_unique<CMyGenerator>();
    generator->selectionType = selectionType;
    generator->crossoverType = crossoverType;
    generator->Initialize(size, 14);
    state.ResumeTiming();
    for (int g = 0; g < Generations(); ++g) generator->NextGeneration();
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

// A population to sort again and again: individuals holding the fitness values of a real run,
// in the order its sort received them, and the same keys side by side for std::stable_sort.
// The individuals are made in a shuffled order, so that, as in a run, slot order is not memory
// order.
struct SortInput {
  std::unique_ptr<Population> population = std::make_unique<Population>();
  std::vector<CMyIndividual*> order;
  std::vector<double> keys;

  void Restore() const { std::copy(order.begin(), order.end(), population->individuals); }
};

SortInput Capture(const Population& source, std::mt19937& engine) {
  SortInput input;
  const int count = source.count;
  std::vector<int> made(static_cast<std::size_t>(count));
  std::iota(made.begin(), made.end(), 0);
  std::shuffle(made.begin(), made.end(), engine);
  input.population->AllocateIndividuals(count);
  for (const int slot : made) input.population->individuals[slot] = new CMyIndividual();
  for (int i = 0; i < count; ++i) {
    input.population->individuals[i]->fitness = source.individuals[i]->fitness;
    input.keys.push_back(source.individuals[i]->fitness);
  }
  input.order.assign(input.population->individuals, input.population->individuals + count);
  return input;
}

// The populations that the sorts of a seeded demonstration run of the given size receive, at
// generations 1, 2, 4, 8, 16 and 32 (fewer should the run stop sooner):
// from many distinct values to a few values shared by most individuals.
const std::vector<SortInput>& RunInputs(int size) {
  static std::map<int, std::vector<SortInput>> bySize;
  auto found = bySize.find(size);
  if (found != bySize.end()) return found->second;
  std::vector<SortInput> captured;
  std::mt19937 engine(static_cast<std::uint32_t>(size));
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  CCapturingGenerator generator;
  generator.Initialize(size, 14);
  for (int g = 1; g <= 32 && TestStop(generator) == StopReason::None; ++g) {
    generator.NextGeneration();
    if ((g & (g - 1)) == 0) captured.push_back(Capture(*generator.population, engine));
    if (generator.sortAsked) generator.population->SortByFitness();
  }
  return bySize.emplace(size, std::move(captured)).first->second;
}

// Sorts the inputs of the benchmark's size in turn, each from the order it was captured in.
template <class SortFunction>
void SortEach(benchmark::State& state, SortFunction sort) {
  const std::vector<SortInput>& all = RunInputs(static_cast<int>(state.range(0)));
  std::size_t next = 0;
  for (auto _ : state) {
    const SortInput& input = all[next];
    next = (next + 1) % all.size();
    sort(input);
  }
}

void SortByFitness(benchmark::State& state) {
  SortEach(state, [](const SortInput& input) {
    input.Restore();
    input.population->SortByFitness();
    benchmark::DoNotOptimize(input.population->individuals[0]);
  });
}

void StableSort(benchmark::State& state) {
  std::vector<double> keys;
  SortEach(state, [&keys](const SortInput& input) {
    keys = input.keys;
    std::stable_sort(keys.begin(), keys.end(), std::greater<>());
    benchmark::DoNotOptimize(keys.data());
  });
}

void Convergence(benchmark::State& state) {
  const ScopedSeedSchedule schedule(BaseSeed, Engine::Mt19937);
  CMyGenerator generator;
  generator.Initialize();
  for (int g = 0; g < 20; ++g) generator.NextGeneration();
  for (auto _ : state) benchmark::DoNotOptimize(generator.population->Convergence());
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

BENCHMARK(Initialize)->Arg(1000)->ArgName("individuals")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(NextGenerations, demo, SelectionElitism, CrossoverTwoPoint)
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, roulette, SelectionRouletteWheel, CrossoverTwoPoint)
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, remainder, SelectionStochasticRemainder, CrossoverTwoPoint)
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, tournament, SelectionTournament, CrossoverTwoPoint)
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, one_point, SelectionElitism, CrossoverOnePoint)
    ->Arg(1000)
    ->ArgName("individuals")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NextGenerations, uniform, SelectionElitism, CrossoverUniform)
    ->Arg(1000)
    ->ArgName("individuals")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SortByFitness)->Apply(AtEverySize)->Unit(benchmark::kMicrosecond);
BENCHMARK(StableSort)->Apply(AtEverySize)->Unit(benchmark::kMicrosecond);
BENCHMARK(Convergence)->Unit(benchmark::kMicrosecond);
BENCHMARK(DemoRun)->Unit(benchmark::kMillisecond);

// The console table, then the scaling table: each time in milliseconds (a generation, or one
// sort) with the ratio the speed goals are stated in, and the growth exponent from 1,000 to
// 64,000 individuals.
class ScalingReporter : public benchmark::ConsoleReporter {
 public:
  ScalingReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions, the median of each benchmark is reported after its runs and wins.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
      const std::string& args = run.run_name.args;
      const std::size_t colon = args.find(':');
      if (colon == std::string::npos) continue;
      int size = 0;
      std::from_chars(args.data() + colon + 1, args.data() + args.size(), size);
      const auto perGeneration = run.counters.find("per_generation");
      const double seconds =
          perGeneration != run.counters.end()
              ? perGeneration->second.value
              : run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      seconds_[{run.run_name.function_name, size}] = seconds;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nMachine: %s\n", CpuModel().c_str());
    Table("SortByFitness beside std::stable_sort of the same keys (a seeded run's populations)",
          "stable_sort", {{"SortByFitness", "SortByFitness", "StableSort"}});
    Table("A generation beside GAlib's, two-point crossover", "GAlib",
          {{"elitism (the demonstration)", "NextGenerations/demo", "GAlib/demo"},
           {"roulette wheel", "NextGenerations/roulette", "GAlib/roulette"},
           {"stochastic remainder", "NextGenerations/remainder", "GAlib/remainder"},
           {"tournament", "NextGenerations/tournament", "GAlib/tournament"}});
  }

 private:
  struct Column {
    const char* title;
    std::string ours;
    std::string theirs;
  };

  std::optional<double> Seconds(const std::string& name, int size) const {
    const auto found = seconds_.find({name, size});
    if (found == seconds_.end()) return std::nullopt;
    return found->second;
  }

  // One row per population size; per column our time in ms, the peer's, and ours / theirs;
  // then the growth exponents.
  void Table(const char* title, const char* peer, const std::vector<Column>& columns) const {
    bool any = false;
    for (const Column& column : columns) any = any || Seconds(column.ours, 1000).has_value();
    if (!any) return;
    std::printf("\n%s, ms\n%12s", title, "");
    for (const Column& column : columns) std::printf(" | %-28s", column.title);
    std::printf("\n%12s", "individuals");
    for (std::size_t k = 0; k < columns.size(); ++k) {
      std::printf(" | %9s %11s %6s", "Allelix", peer, "ratio");
    }
    std::printf("\n");
    for (const int size : PopulationSizes) {
      std::printf("%12d", size);
      for (const Column& column : columns) {
        const auto ours = Seconds(column.ours, size);
        const auto theirs = Seconds(column.theirs, size);
        std::printf(" | %9s %11s %6s", Milliseconds(ours).c_str(), Milliseconds(theirs).c_str(),
                    ours && theirs ? Fixed(*ours / *theirs, 2).c_str() : "-");
      }
      std::printf("\n");
    }
    std::printf("%12s", "exponent");
    for (const Column& column : columns) {
      std::printf(" | %9s %11s %6s", Exponent(column.ours).c_str(), Exponent(column.theirs).c_str(),
                  "");
    }
    std::printf(
        "\n(exponent: growth of the time from 1,000 to 64,000 individuals, 1 for linear)\n");
  }

  // log(t(64,000) / t(1,000)) / log(64): 1 for linear growth, 2 for quadratic.
  std::string Exponent(const std::string& name) const {
    const auto small = Seconds(name, 1000);
    const auto large = Seconds(name, 64000);
    if (!small || !large) return "-";
    return Fixed(std::log(*large / *small) / std::log(64.0), 2);
  }

  static std::string Milliseconds(std::optional<double> seconds) {
    if (!seconds) return "-";
    const double ms = *seconds * 1e3;
    return Fixed(ms, ms < 1 ? 4 : ms < 10 ? 3 : ms < 100 ? 2 : 1);
  }

  static std::string Fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
  }

  static std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
      if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
  }

  std::map<std::pair<std::string, int>, double> seconds_;
};

constexpr const char* Usage =
    "allelix-bench [--generations=N] [BENCHMARK_OPTION...]\n"
    "  --generations=N  generations per timed run, for Allelix and GAlib alike (1 to 100000,\n"
    "                   default 20); the time reported is per generation\n"
    "  Google Benchmark's options follow, e.g. --benchmark_filter=Sort; its --help lists them.\n";

// Takes --generations=N out of the arguments; false, with a message, when N is not valid.
bool TakeOwnOptions(int& argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    constexpr std::string_view prefix = "--generations=";
    if (argument == "--help" || argument == "-h") std::fputs(Usage, stdout);
    if (argument.substr(0, prefix.size()) != prefix) {
      argv[kept++] = argv[i];
      continue;
    }
    const std::string_view value = argument.substr(prefix.size());
    int generations = 0;
    const auto [end, error] =
        std::from_chars(value.data(), value.data() + value.size(), generations);
    if (error != std::errc() || end != value.data() + value.size() || generations < 1 ||
        generations > 100000) {
      std::fprintf(
          stderr,
          "allelix-bench: --generations takes a whole number from 1 to 100000, not '%.*s'\n",
          static_cast<int>(value.size()), value.data());
      return false;
    }
    Generations() = generations;
  }
  argc = kept;
  argv[argc] = nullptr;
  return true;
}

}  // namespace
}  // namespace allelix::bench

int main(int argc, char** argv) {
  if (!allelix::bench::TakeOwnOptions(argc, argv)) return 2;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  allelix::bench::ScalingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
