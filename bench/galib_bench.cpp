// The demonstration's problem written with GAlib, timed per generation beside Allelix: 1000
// individuals, a 14-bit binary string genome, the simple GA with two-point crossover at 0.6,
// flip mutation and elitism.
#include <ga/GA1DBinStrGenome.h>
#include <ga/GASimpleGA.h>

#include <memory>

#include "bench_support.h"

namespace {

float Objective(GAGenome& genome) {
  const auto& bits = static_cast<GA1DBinaryStringGenome&>(genome);
  std::uint32_t x = 0;
  for (int i = 0; i < bits.length(); ++i)
    x = x * 2u + (bits.gene(static_cast<unsigned>(i)) ? 1u : 0u);
  return static_cast<float>(allelix::bench::SquareRootFitness(x));
}

void GAlibGenerations(benchmark::State& state) {
  unsigned int seed = 1;
  std::unique_ptr<GASimpleGA> ga;
  for (auto _ : state) {
    state.PauseTiming();
    GA1DBinaryStringGenome genome(14, Objective);
    genome.crossover(GA1DBinaryStringGenome::TwoPointCrossover);
    genome.mutator(GA1DBinaryStringGenome::FlipMutator);
    ga = std::make_unique<GASimpleGA>(genome);
    ga->populationSize(1000);
    ga->pCrossover(0.6f);
    ga->pMutation(0.001f);
    ga->elitist(gaTrue);
    ga->nGenerations(allelix::bench::Generations);
    ga->initialize(seed++);
    state.ResumeTiming();
    for (int g = 0; g < allelix::bench::Generations; ++g) ga->step();
  }
  allelix::bench::CountGenerations(state);
}

}  // namespace

BENCHMARK(GAlibGenerations)->Name("GAlib/generations")->Unit(benchmark::kMillisecond);
