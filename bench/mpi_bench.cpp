// Fitness evaluation on MPI ranks: one generation for a fitness of about a millisecond, where
// worker ranks pay, and for a cheap one, where they show their overhead per individual.
// Run it twice and compare: `mpirun -n 1` scores on rank 0 alone, `mpirun -n 3` on two workers.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "allelix/generator.h"
#include "allelix/mpi.h"
#include "allelix/platform.h"

namespace {

using allelix::CBit;
using allelix::CGeneratorEx;
using allelix::CIndividual;

// A fitness of adjustable cost: fitnessContext rounds of mixing over the genes (0: a count of
// the ones only). Pure, so the workers give the sequential result.
class CBusy final : public CIndividual<CBusy, CBit> {
 public:
  double Fitness(int rounds) override {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (int r = 0; r < rounds; ++r) {
      for (int i = 0; i < geneCount; ++i) {
        state = (state ^ (genes[i]->value ? 1u : 0u)) * 0x100000001B3u + static_cast<unsigned>(r);
      }
    }
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones + static_cast<double>(state >> 11) * 0x1p-53;
  }
};

constexpr int Genes = 64;
constexpr int MillisecondRounds = 10000;  // about 1 ms of CPU on a 2020s server core

allelix::mpi::MpiEvaluator<CBusy>* evaluator = nullptr;  // rank 0's, for the whole program

// One Fitness call of the costly individual, to show what it costs.
void BM_Fitness(benchmark::State& state) {
  allelix::ScopedSeedSchedule schedule(1);
  CGeneratorEx<CBusy> generator;
  generator.Initialize(1, Genes);
  for (auto _ : state) {
    benchmark::DoNotOptimize(generator.population->individuals[0]->Fitness(MillisecondRounds));
  }
}
BENCHMARK(BM_Fitness)->Unit(benchmark::kMillisecond);

// One NextGeneration of state.range(0) individuals with a fitness of `rounds`, scored by the
// ranks of the job; items per second count individuals.
void Generations(benchmark::State& state, int rounds) {
  allelix::ScopedSeedSchedule schedule(1);
  const auto size = static_cast<int>(state.range(0));
  CGeneratorEx<CBusy> generator;
  generator.evaluator = evaluator;
  generator.fitnessContext = rounds;
  generator.Initialize(size, Genes);
  for (auto _ : state) generator.NextGeneration();
  state.SetItemsProcessed(state.iterations() * size);
  state.counters["workers"] = evaluator->Workers();
}

void BM_CostlyGeneration(benchmark::State& state) { Generations(state, MillisecondRounds); }
BENCHMARK(BM_CostlyGeneration)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CheapGeneration(benchmark::State& state) { Generations(state, 0); }
BENCHMARK(BM_CheapGeneration)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

// Rank 0 runs the benchmarks; the other ranks serve its Fitness calls until it is done.
int main(int argc, char** argv) {
  allelix::mpi::Environment environment(argc, argv);
  if (environment.Rank() != 0) {
    allelix::mpi::ServeFitness<CBusy>();
    return 0;
  }
  allelix::mpi::MpiEvaluator<CBusy> rankZero;  // its end releases the workers
  evaluator = &rankZero;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
