// The pairing pass when a selection marks a long run of individuals (to keep them out of
// crossover, say): the partner searches must stay near linear over the pass, not scan the run
// once per individual.
#include <benchmark/benchmark.h>

#include "allelix/generator.h"

namespace allelix::bench {
namespace {

class CPlain final : public CIndividual<CPlain, CBit> {};

// Marks the second half of the population before every pass; every pair found is crossed.
class CHalfMarking final : public CGeneratorEx<CPlain> {
 public:
  CHalfMarking() {
    crossoverType = CrossoverNone;
    crossoverRate = 1.0;
    mutationRate = 0.0;
  }
  bool Select(Population*& selected) override {
    for (int i = selected->count / 2; i < selected->count; ++i) {
      selected->individuals[i]->marked = true;
    }
    return false;
  }
};

void PairingPassOverAMarkedHalf(benchmark::State& state) {
  const ScopedSeedSchedule schedule(1, Engine::Mt19937);
  CHalfMarking generator;
  generator.Initialize(static_cast<int>(state.range(0)), 4);
  for (auto _ : state) generator.NextGeneration();
  state.SetComplexityN(state.range(0));
}

BENCHMARK(PairingPassOverAMarkedHalf)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 16)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

}  // namespace
}  // namespace allelix::bench
