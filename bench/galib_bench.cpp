// The demonstration's problem written with GAlib, timed per generation beside Allelix at every
// population size of the scaling table: a 14-bit binary string genome, the simple GA with
// two-point crossover at 0.6 and flip mutation; elitism with GAlib's default selector for the
// demonstration's settings, and without elitism for each of the three selectors Allelix also has.
#include <ga/GA1DBinStrGenome.h>
#include <ga/GASelector.h>
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

enum class Selector { DemoSettings, RouletteWheel, StochasticRemainder, Tournament };

void GAlibGenerations(benchmark::State& state, Selector selector) {
  const auto size = static_cast<unsigned>(state.range(0));
  const int generations = allelix::bench::Generations();
  unsigned int seed = 1;
  std::unique_ptr<GASimpleGA> ga;
  for (auto _ : state) {
    state.PauseTiming();
    ga.reset();
    GA1DBinaryStringGenome genome(14, Objective);
    genome.crossover(GA1DBinaryStringGenome::TwoPointCrossover);
    genome.mutator(GA1DBinaryStringGenome::FlipMutator);
    ga = std::make_unique<GASimpleGA>(genome);
    ga->populationSize(size);
    ga->pCrossover(0.6f);
    ga->pMutation(0.001f);
    ga->elitist(selector == Selector::DemoSettings ? gaTrue : gaFalse);
    switch (selector) {
      case Selector::DemoSettings:
      case Selector::RouletteWheel:
        ga->selector(GARouletteWheelSelector());
        break;
      case Selector::StochasticRemainder:
        ga->selector(GASRSSelector());
        break;
      case Selector::Tournament:
        ga->selector(GATournamentSelector());
        break;
    }
    ga->nGenerations(static_cast<unsigned>(generations));
    ga->initialize(seed++);
    state.ResumeTiming();
    for (int g = 0; g < generations; ++g) ga->step();
  }
  allelix::bench::CountGenerations(state);
}

}  // namespace

using allelix::bench::AtEverySize;

BENCHMARK_CAPTURE(GAlibGenerations, demo, Selector::DemoSettings)
    ->Name("GAlib/demo")
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GAlibGenerations, roulette, Selector::RouletteWheel)
    ->Name("GAlib/roulette")
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GAlibGenerations, remainder, Selector::StochasticRemainder)
    ->Name("GAlib/remainder")
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GAlibGenerations, tournament, Selector::Tournament)
    ->Name("GAlib/tournament")
    ->Apply(AtEverySize)
    ->Unit(benchmark::kMillisecond);
