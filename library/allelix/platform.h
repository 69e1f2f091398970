// Platform layer: the random source, the clock and the pick list.
// Nothing here knows about genes, individuals or generators.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace allelix {

// The engines the random source can run on. A draw is always a non-negative int.
enum class Engine {
  Mt19937,  // std::mt19937 seeded with the 32-bit seed; a draw is its output shifted right by one
  Classic,  // 15-bit linear congruential generator: s = s * 214013 + 2531011 mod 2^32
  Runtime,  // the C library's own std::rand / std::srand
};

// Name of an engine as programs accept it on their command line.
inline std::string_view EngineName(Engine engine) {
  switch (engine) {
    case Engine::Mt19937:
      return "mt19937";
    case Engine::Classic:
      return "classic";
    case Engine::Runtime:
      return "runtime";
  }
  return "unknown";
}

// The engine with the given name, or nothing when the name is unknown.
inline std::optional<Engine> EngineFromName(std::string_view name) {
  for (const Engine engine : {Engine::Mt19937, Engine::Classic, Engine::Runtime}) {
    if (EngineName(engine) == name) return engine;
  }
  return std::nullopt;
}

namespace detail {

// Everything a seed decides, kept per thread so that independent runs on separate
// threads never disturb each other. Only the Runtime engine shares the C library's state.
struct RandomState {
  Engine engine = Engine::Mt19937;
  std::mt19937 mt{1u};
  std::uint32_t classic = 1u;
  bool scheduled = false;       // a seed schedule is installed
  std::uint32_t nextSeed = 0;   // the seed the next reseed uses under the schedule
  std::function<int()> source;  // replaces the engine's draws when set (tests, tools)
};

inline RandomState& State() {
  thread_local RandomState state;
  return state;
}

inline std::int64_t SystemSeconds() {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

inline std::function<std::int64_t()>& ClockOverride() {
  thread_local std::function<std::int64_t()> clock;
  return clock;
}

}  // namespace detail

// Chooses the engine for this thread's draws; the engine keeps its own state.
inline void SetEngine(Engine engine) { detail::State().engine = engine; }

inline Engine CurrentEngine() { return detail::State().engine; }

// Seeds the current engine, like srand().
inline void Srand(std::uint32_t seed) {
  detail::RandomState& state = detail::State();
  switch (state.engine) {
    case Engine::Mt19937:
      state.mt.seed(seed);
      break;
    case Engine::Classic:
      state.classic = seed;
      break;
    case Engine::Runtime:
      std::srand(seed);
      break;
  }
}

// Draws the next number from the current engine itself, bypassing an installed draw source.
inline int EngineRand() {
  detail::RandomState& state = detail::State();
  switch (state.engine) {
    case Engine::Mt19937:
      return static_cast<int>(state.mt() >> 1);
    case Engine::Classic:
      state.classic = state.classic * 214013u + 2531011u;
      return static_cast<int>((state.classic >> 16) & 0x7FFFu);
    case Engine::Runtime:
      return std::rand();
  }
  return 0;
}

// Draws the next number, like rand(): never negative. Every draw of the library comes from here.
inline int Rand() {
  const detail::RandomState& state = detail::State();
  return state.source ? state.source() : EngineRand();
}

// Replaces this thread's draws by a function of the caller's (an empty function restores the
// engine). Reseeding goes on seeding the engine underneath, so the schedule still advances.
// Precondition: the function returns non-negative values, as every engine does.
inline void SetDrawSource(std::function<int()> source) {
  detail::State().source = std::move(source);
}

// Whole seconds since the epoch, from the system clock or the clock a caller installed.
inline std::int64_t Now() {
  const auto& clock = detail::ClockOverride();
  return clock ? clock() : detail::SystemSeconds();
}

// Replaces this thread's clock (an empty function restores the system clock).
inline void SetClock(std::function<std::int64_t()> clock) {
  detail::ClockOverride() = std::move(clock);
}

// From now on, the k-th reseed on this thread (k = 0 the next) seeds with (base + k) mod 2^32.
inline void InstallSeedSchedule(std::uint32_t base) {
  detail::State().scheduled = true;
  detail::State().nextSeed = base;
}

// Returns reseeding on this thread to the clock.
inline void RemoveSeedSchedule() { detail::State().scheduled = false; }

inline bool SeedScheduleInstalled() { return detail::State().scheduled; }

// Reseeds the current engine: with the next seed of the schedule when one is installed,
// otherwise with the low 32 bits of the clock's seconds.
inline void Reseed() {
  detail::RandomState& state = detail::State();
  if (state.scheduled) {
    Srand(state.nextSeed++);  // unsigned, so the schedule wraps modulo 2^32
  } else {
    Srand(static_cast<std::uint32_t>(Now()));
  }
}

// Installs a seed schedule and an engine for the lifetime of the object, then puts back
// what this thread had before.
class ScopedSeedSchedule {
 public:
  explicit ScopedSeedSchedule(std::uint32_t base, Engine engine = CurrentEngine())
      : saved_(detail::State()) {
    SetEngine(engine);
    InstallSeedSchedule(base);
  }
  ~ScopedSeedSchedule() { detail::State() = saved_; }
  ScopedSeedSchedule(const ScopedSeedSchedule&) = delete;
  ScopedSeedSchedule& operator=(const ScopedSeedSchedule&) = delete;

 private:
  detail::RandomState saved_;
};

// Calls body(k) for every k from 0 to count - 1: on up to `threads` threads when compiled with
// OpenMP, otherwise (or with fewer than 2 threads) in order on the caller's thread. body must
// not throw, and calls for different k must not write the same data.
template <class Body>
void ParallelFor(std::size_t count, [[maybe_unused]] int threads, const Body& body) {
#if defined(_OPENMP)
  if (threads > 1 && count > 1) {
    const auto last = static_cast<std::ptrdiff_t>(count);
#pragma omp parallel for num_threads(threads) schedule(static)
    for (std::ptrdiff_t k = 0; k < last; ++k) body(static_cast<std::size_t>(k));
    return;
  }
#endif
  for (std::size_t k = 0; k < count; ++k) body(k);
}

// An ordered list of pointers that the proportional selection operators pick from.
// Entries keep the order in which they were appended; the list never owns them.
template <class T>
class PickList {
 public:
  void AddTail(T* entry) { AddTail(entry, 1); }

  // Appends the same entry n times. Throws std::length_error, appending nothing, when the
  // list would hold more entries than Count can report.
  void AddTail(T* entry, std::size_t n) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (n > limit - entries_.size()) throw std::length_error("pick list is full");
    entries_.insert(entries_.end(), n, entry);
  }

  int Count() const { return static_cast<int>(entries_.size()); }

  // The entry at a zero-based index from the head; throws std::invalid_argument when
  // the index lies outside the list.
  T* At(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) {
      throw std::invalid_argument("pick list index " + std::to_string(index) +
                                  " is outside the list of " + std::to_string(entries_.size()) +
                                  " entries");
    }
    return entries_[static_cast<std::size_t>(index)];
  }

 private:
  std::vector<T*> entries_;
};

}  // namespace allelix
