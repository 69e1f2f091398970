// What the benchmark files share: the demonstration's settings, seeds and populations
// captured from real runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "square_root.h"

namespace allelix::bench {

using demo::CMyIndividual;
using Population = CPopulation<CMyIndividual, CBit>;

// Generations per timed run, for Allelix and for the peer alike.
inline constexpr int Generations = 200;

// The demonstration's problem as the peer is given it: a 14-bit number scored by how close
// its square lies to 1,522,756.
inline double SquareRootFitness(std::uint32_t x) {
  if (x > 9999u) return 0.0;
  const auto root = static_cast<std::int32_t>(x);
  const std::int32_t difference = demo::Square - root * root;
  return 1.0 - (difference < 0 ? -difference : difference) / 99980001.0;
}

// Reports the time of one generation beside the time of one iteration of `Generations`.
inline void CountGenerations(benchmark::State& state) {
  state.counters["per_generation"] = benchmark::Counter(
      Generations, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace allelix::bench
