// What the benchmark files share: the demonstration's settings, the population sizes of the
// scaling table and the number of generations a timed run takes.
#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "square_root.h"

namespace allelix::bench {

using demo::CMyIndividual;
using Population = CPopulation<CMyIndividual, CBit>;

// The population sizes of the scaling table.
inline constexpr std::array<int, 5> PopulationSizes = {1000, 4000, 16000, 64000, 256000};

// Generations per timed run, for Allelix and for the peer alike (--generations).
inline int& Generations() {
  static int generations = 20;
  return generations;
}

// Registers a benchmark once per population size of the scaling table.
inline void AtEverySize(benchmark::internal::Benchmark* benchmark) {
  for (const int size : PopulationSizes) benchmark->Arg(size);
  benchmark->ArgName("individuals");
}

// The demonstration's problem as the peer is given it: a 14-bit number scored by how close
// its square lies to 1,522,756.
inline double SquareRootFitness(std::uint32_t x) {
  if (x > 9999u) return 0.0;
  const auto root = static_cast<std::int32_t>(x);
  const std::int32_t difference = demo::Square - root * root;
  return 1.0 - (difference < 0 ? -difference : difference) / 99980001.0;
}

// Reports the time of one generation beside the time of one iteration of Generations().
inline void CountGenerations(benchmark::State& state) {
  state.counters["per_generation"] = benchmark::Counter(
      Generations(), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace allelix::bench
