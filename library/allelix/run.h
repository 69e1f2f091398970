// The run loop and its stop test, for any generator with the stop settings of CGeneratorEx.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace allelix {

// Bits of stopFlags; no other bit enables anything.
inline constexpr std::uint32_t StopOnConvergence = 4;
inline constexpr std::uint32_t StopOnMinutes = 8;
inline constexpr std::uint32_t StopOnGenerations = 16;
inline constexpr std::uint32_t StopOnStagnation = 32;

// The criterion that ended a run.
enum class StopReason { None, Convergence, Minutes, Generations, Stagnation };

inline std::string_view StopReasonName(StopReason reason) {
  switch (reason) {
    case StopReason::None:
      return "none";
    case StopReason::Convergence:
      return "convergence";
    case StopReason::Minutes:
      return "minutes";
    case StopReason::Generations:
      return "generations";
    case StopReason::Stagnation:
      return "stagnation";
  }
  return "unknown";
}

// The first enabled criterion that holds, in the order convergence, elapsed minutes,
// generations, stagnation; later criteria are not evaluated (Convergence is computed only
// when its bit is set). Every comparison is "greater than or equal"; a NaN convergence never
// holds, and neither does convergence without a population.
template <class TGenerator>
StopReason TestStop(const TGenerator& generator) {
  const std::uint32_t flags = generator.stopFlags;
  if ((flags & StopOnConvergence) != 0 && generator.population != nullptr &&
      generator.population->Convergence() >= generator.convergenceThreshold) {
    return StopReason::Convergence;
  }
  if ((flags & StopOnMinutes) != 0) {
    // The quotient's low 32 bits, read as a signed int.
    const auto minutes =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(generator.elapsedSeconds / 60));
    if (minutes >= generator.maxMinutes) return StopReason::Minutes;
  }
  if ((flags & StopOnGenerations) != 0 && generator.generation >= generator.maxGenerations) {
    return StopReason::Generations;
  }
  if ((flags & StopOnStagnation) != 0) {
    // 32-bit wrapping difference, without the undefined behaviour of a signed overflow.
    const auto stagnant =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(generator.generation) -
                                  static_cast<std::uint32_t>(generator.bestGeneration));
    if (stagnant >= generator.maxStagnation) return StopReason::Stagnation;
  }
  return StopReason::None;
}

// Runs generations on an initialized generator until the stop test fires, evaluating the
// test before every generation, the first included. observe(generator) is called right
// before each evaluation of the stop test, so once for the state it starts from and once after
// each generation. Returns the criterion that fired.
// Precondition: an initialized generator. With no criterion enabled (the library's default
// stopFlags 2 enables none) or none that can fire, it never returns.
template <class TGenerator, class Observer>
StopReason Evolve(TGenerator& generator, Observer&& observe) {
  for (;;) {
    observe(static_cast<const TGenerator&>(generator));
    const StopReason reason = TestStop(generator);
    if (reason != StopReason::None) return reason;
    generator.NextGeneration();
  }
}

// Initialize, then Evolve: the whole run of a generator with the default shape.
template <class TGenerator, class Observer>
StopReason Run(TGenerator& generator, Observer&& observe) {
  generator.Initialize();
  return Evolve(generator, std::forward<Observer>(observe));
}

template <class TGenerator>
StopReason Run(TGenerator& generator) {
  return Run(generator, [](const TGenerator&) {});
}

}  // namespace allelix
