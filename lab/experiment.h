// One run of the square-root problem under the lab's options, watched before every stop test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

#include "allelix/run.h"
#include "options.h"
#include "square_root.h"

namespace allelix::lab {

// The generator's state at one stop test: the fields a trace row shows.
struct Snapshot {
  int generation = 0;
  std::int32_t bestValue = 0;
  double bestFitness = 0.0;
  int bestGeneration = 0;
  double fittestFitness = 0.0;  // NaN when the population has no fittest individual
  double meanFitness = 0.0;
  double convergence = 0.0;
};

// How one run ended.
struct RunResult {
  StopReason reason = StopReason::None;
  int generations = 0;
  std::int32_t value = 0;  // decoded best individual
  double fitness = 0.0;    // its fitness
  int foundGeneration = 0;
};

// Reads a snapshot off an initialized generator; draws nothing and changes nothing.
Snapshot Observe(const demo::CMyGenerator& generator);

// Gives the generator every setting the options chose; the others keep their values.
void Configure(const Options& options, demo::CMyGenerator& generator);

// The base seed of run r in a batch whose base seed is base.
inline std::uint32_t RunSeed(std::uint32_t base, int run) {
  return base + static_cast<std::uint32_t>(run) * 1048576u;  // unsigned: wraps modulo 2^32
}

// Thrown out of a run that was cancelled at one of its stop tests.
class RunCancelled : public std::runtime_error {
 public:
  RunCancelled() : std::runtime_error("the run was cancelled") {}
};

// Runs the problem once on this thread with the options' engine and settings, calling watch
// before every stop test. With a seed the run follows the seed schedule from it; without one,
// reseeding reads the clock. The thread's random source is put back afterwards.
// cancelled, when given, is asked before every stop test (the first included); once it says yes
// the run ends there by throwing RunCancelled.
RunResult RunOnce(const Options& options, std::optional<std::uint32_t> seed,
                  const std::function<void(const Snapshot&)>& watch,
                  const std::function<bool()>& cancelled = {});

}  // namespace allelix::lab
