// Parallel fitness evaluation: one generation with evaluationThreads 1 and 2, for a fitness that
// costs tens of microseconds (where threads pay), for fitness costs around the break-even, and
// for the demonstration's cheap fitness (where they only add overhead). Wall time is what counts.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "allelix/generator.h"
#include "allelix/platform.h"
#include "square_root.h"

namespace {

using allelix::CBit;
using allelix::CGeneratorEx;
using allelix::CIndividual;

// A fitness of adjustable cost: fitnessContext rounds of mixing over the genes, a few tens of
// microseconds at the settings below. Pure, so threads give the sequential result.
class CCostly final : public CIndividual<CCostly, CBit> {
 public:
  double Fitness(int rounds) override {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (int r = 0; r < rounds; ++r) {
      for (int i = 0; i < geneCount; ++i) {
        state = (state ^ (genes[i]->value ? 1u : 0u)) * 0x100000001B3u + static_cast<unsigned>(r);
      }
    }
    return static_cast<double>(state >> 11) * 0x1p-53;
  }
};

constexpr int CostlyRounds = 250;

// One Fitness call of the costly individual, to show what it costs.
void BM_CostlyFitness(benchmark::State& state) {
  allelix::ScopedSeedSchedule schedule(1);
  CGeneratorEx<CCostly> generator;
  generator.Initialize(1, 64);
  for (auto _ : state) {
    benchmark::DoNotOptimize(generator.population->individuals[0]->Fitness(CostlyRounds));
  }
}
BENCHMARK(BM_CostlyFitness);

// One NextGeneration of a generator after Initialize(size, genes), with state.range(0) threads.
template <class TGenerator>
void RunGenerations(benchmark::State& state, TGenerator& generator, int size, int genes) {
  allelix::ScopedSeedSchedule schedule(1);
  generator.evaluationThreads = static_cast<int>(state.range(0));
  generator.Initialize(size, genes);
  for (auto _ : state) generator.NextGeneration();
  state.SetItemsProcessed(state.iterations() * size);
}

// 200 individuals of 64 genes whose fitness costs tens of microseconds.
void BM_CostlyGeneration(benchmark::State& state) {
  CGeneratorEx<CCostly> generator;
  generator.fitnessContext = CostlyRounds;
  RunGenerations(state, generator, 200, 64);
}
BENCHMARK(BM_CostlyGeneration)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Where threads start to pay: 1000 individuals of 64 genes, a fitness of state.range(0) rounds
// (about 0.1 microseconds a round), with state.range(1) threads.
void BM_BreakEven(benchmark::State& state) {
  allelix::ScopedSeedSchedule schedule(1);
  CGeneratorEx<CCostly> generator;
  generator.fitnessContext = static_cast<int>(state.range(0));
  generator.evaluationThreads = static_cast<int>(state.range(1));
  generator.Initialize(1000, 64);
  for (auto _ : state) generator.NextGeneration();
}
BENCHMARK(BM_BreakEven)
    ->ArgsProduct({{1, 4, 16}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The demonstration's shape and fitness: 1000 individuals of 14 genes, a fitness of nanoseconds.
void BM_CheapGeneration(benchmark::State& state) {
  CGeneratorEx<allelix::demo::CMyIndividual> generator;
  RunGenerations(state, generator, 1000, 14);
}
BENCHMARK(BM_CheapGeneration)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Initialize alone, where every individual is scored once.
void BM_CostlyInitialize(benchmark::State& state) {
  allelix::ScopedSeedSchedule schedule(1);
  CGeneratorEx<CCostly> generator;
  generator.fitnessContext = CostlyRounds;
  generator.evaluationThreads = static_cast<int>(state.range(0));
  for (auto _ : state) generator.Initialize(200, 64);
  state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_CostlyInitialize)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
