// The run loop and its stop test, for any generator with the stop settings of CGeneratorEx.
#pragma once

#include <cstdint>
#include <stdexcept>
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

namespace detail {

// The four stop criteria, each true when its value has reached its setting.

// The population's Convergence is at least convergenceThreshold; never on a NaN, nor without a
// population.
template <class TGenerator>
bool ConvergenceReached(const TGenerator& generator) {
  return generator.population != nullptr &&
         generator.population->Convergence() >= generator.convergenceThreshold;
}

// Whole minutes of elapsedSeconds, the quotient's low 32 bits read as a signed int, are at
// least maxMinutes.
template <class TGenerator>
bool MinutesReached(const TGenerator& generator) {
  const auto minutes =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(generator.elapsedSeconds / 60));
  return minutes >= generator.maxMinutes;
}

template <class TGenerator>
bool GenerationsReached(const TGenerator& generator) {
  return generator.generation >= generator.maxGenerations;
}

// generation - bestGeneration, a 32-bit wrapping difference, is at least maxStagnation.
template <class TGenerator>
bool StagnationReached(const TGenerator& generator) {
  const auto stagnant =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(generator.generation) -
                                static_cast<std::uint32_t>(generator.bestGeneration));
  return stagnant >= generator.maxStagnation;
}

}  // namespace detail

// The first enabled criterion that holds, in the order convergence, elapsed minutes,
// generations, stagnation; later criteria are not evaluated (Convergence is computed only
// when its bit is set).
template <class TGenerator>
StopReason TestStop(const TGenerator& generator) {
  const std::uint32_t flags = generator.stopFlags;
  if ((flags & StopOnConvergence) != 0 && detail::ConvergenceReached(generator)) {
    return StopReason::Convergence;
  }
  if ((flags & StopOnMinutes) != 0 && detail::MinutesReached(generator)) {
    return StopReason::Minutes;
  }
  if ((flags & StopOnGenerations) != 0 && detail::GenerationsReached(generator)) {
    return StopReason::Generations;
  }
  if ((flags & StopOnStagnation) != 0 && detail::StagnationReached(generator)) {
    return StopReason::Stagnation;
  }
  return StopReason::None;
}

// Runs generations on an initialized generator until the stop test fires, evaluating the
// test before every generation, the first included. observe(generator) is called right
// before each evaluation of the stop test, so once for the state it starts from and once after
// each generation. Returns the criterion that fired.
// Throws std::logic_error when the generator holds no population, at the start or after an
// observer released it, since no generation could then change anything. With no criterion
// enabled (the library's default stopFlags 2 enables none) or none that can fire, it never
// returns.
template <class TGenerator, class Observer>
StopReason Evolve(TGenerator& generator, Observer&& observe) {
  for (;;) {
    if (generator.population == nullptr) {
      throw std::logic_error(
          "Evolve: the generator holds no population; call Initialize before evolving");
    }
    observe(static_cast<const TGenerator&>(generator));
    const StopReason reason = TestStop(generator);
    if (reason != StopReason::None) return reason;
    generator.NextGeneration();
  }
}

// A whole run from nothing with the default shape: Reset, Initialize, then Evolve. Whatever the
// generator held before (population, best, counters, elapsed time) takes no part; its settings
// do.
template <class TGenerator, class Observer>
StopReason Run(TGenerator& generator, Observer&& observe) {
  generator.Reset();
  generator.Initialize();
  return Evolve(generator, std::forward<Observer>(observe));
}

template <class TGenerator>
StopReason Run(TGenerator& generator) {
  return Run(generator, [](const TGenerator&) {});
}

}  // namespace allelix
