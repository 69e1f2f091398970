// Platform layer: the random source, the clock and the pick list.
// Nothing here knows about genes, individuals or generators.
#pragma once

#include <algorithm>
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

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(_OPENMP)
#include <omp.h>
#endif

namespace allelix {

// The engines the random source can run on. A draw is always a non-negative int.
enum class Engine {
  Mt19937,  // std::mt19937 seeded with the 32-bit seed; a draw is its output shifted right by one
  // 15-bit linear congruential generator: s = s * 214013 + 2531011 mod 2^32, a draw is
  // (s >> 16) & 0x7FFF. Its draws stop at 32767, so a rate trial (draw % 10,000,000 below
  // rate * 10,000,000) succeeds with chance min(1, ceil(rate * 10^7) / 32768): the default
  // mutation rate 0.001 acts as about 0.31, and every rate from 0.0032768 up always succeeds,
  // as on a platform whose rand() has 15 bits. Picks never reach slots beyond 32767.
  Classic,
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

// How reseeding chooses its seeds.
enum class Seeding {
  Entropy,   // the default: a run's first reseed takes a fresh base seed from a high-entropy
             // source, and every later reseed follows a schedule from that base
  Schedule,  // an installed schedule: the k-th reseed seeds with (base + k) mod 2^32
  Clock,     // opt-in: every reseed seeds with the clock's whole seconds, so all reseeds within
             // one second repeat the same draws (as a clock-seeded platform does)
};

namespace detail {

// Everything a seed decides, kept per thread so that independent runs on separate
// threads never disturb each other. Only the Runtime engine shares the C library's state.
struct RandomState {
  Engine engine = Engine::Mt19937;
  std::mt19937 mt{1u};
  std::uint32_t classic = 1u;
  Seeding seeding = Seeding::Entropy;
  bool based = false;                    // Entropy: nextSeed follows a base already taken
  std::uint32_t nextSeed = 0;            // the seed the next scheduled reseed uses
  std::optional<std::uint32_t> runSeed;  // the seed of the latest run's first reseed
  std::function<int()> source;           // replaces the engine's draws when set (tests, tools)
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

// a * b rounded to double on its own. A product whose sum decides a result goes through here, so
// that no compiler fuses the two into one multiply-add, whatever -ffp-contract or -march say.
inline double RoundedProduct(double a, double b) {
  const volatile double product = a * b;
  return product;
}

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

// Asks the processor to start loading the cache line at an address, to be read or, when asked,
// written; a hint with no effect on results, and nothing where the compiler offers no such hint.
inline void Prefetch(const void* address, bool forWriting = false) {
#if defined(__GNUC__)
  if (forWriting) {
    __builtin_prefetch(address, 1);
  } else {
    __builtin_prefetch(address);
  }
#else
  static_cast<void>(address);
  static_cast<void>(forWriting);
#endif
}

// Asks the operating system to back a range of memory with huge pages where it offers them on
// request (Linux's transparent huge pages in "madvise" mode); a hint, ignored elsewhere.
inline void AdviseHugePages(void* memory, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  static_cast<void>(::madvise(memory, bytes, MADV_HUGEPAGE));
#else
  static_cast<void>(memory);
  static_cast<void>(bytes);
#endif
}

// Draws the next number, like rand(): never negative. Every draw of the library comes from here.
inline int Rand() {
  const detail::RandomState& state = detail::State();
  return state.source ? state.source() : EngineRand();
}

// This thread's engine as it stands, so that draws made since can be taken back: only when the
// draws come from the mt19937 or classic engine itself, not from an installed draw source or the
// C library's rand.
struct EngineState {
  Engine engine = Engine::Mt19937;
  std::mt19937 mt;
  std::uint32_t classic = 1u;
};

inline std::optional<EngineState> SaveEngineState() {
  const detail::RandomState& state = detail::State();
  if (state.source || state.engine == Engine::Runtime) return std::nullopt;
  return EngineState{state.engine, state.mt, state.classic};
}

inline void RestoreEngineState(const EngineState& saved) {
  detail::RandomState& state = detail::State();
  state.engine = saved.engine;
  state.mt = saved.mt;
  state.classic = saved.classic;
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

// A seed from the operating system's entropy source, mixed with a high-resolution clock reading
// in case that source is deterministic on this platform.
inline std::uint32_t EntropySeed() {
  std::random_device device;
  const auto ticks = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::seed_seq mix{device(), device(), static_cast<std::uint32_t>(ticks),
                    static_cast<std::uint32_t>(ticks >> 32)};
  std::uint32_t seed = 0;
  mix.generate(&seed, &seed + 1);
  return seed;
}

// From now on, the k-th reseed on this thread (k = 0 the next) seeds with (base + k) mod 2^32.
inline void InstallSeedSchedule(std::uint32_t base) {
  detail::RandomState& state = detail::State();
  state.seeding = Seeding::Schedule;
  state.nextSeed = base;
}

// Returns reseeding on this thread to the default: each run from a fresh base seed.
inline void RemoveSeedSchedule() {
  detail::State().seeding = Seeding::Entropy;
  detail::State().based = false;
}

// Opts in to reseeding from the clock's whole seconds at every reseed. Only for reproducing a
// clock-seeded platform: every generation within one second then repeats the same draws.
inline void UseClockSeeding() { detail::State().seeding = Seeding::Clock; }

inline Seeding CurrentSeeding() { return detail::State().seeding; }

inline bool SeedScheduleInstalled() { return CurrentSeeding() == Seeding::Schedule; }

// The seed that the latest start of a run on this thread reseeded with, if one has started.
// Under Entropy and Schedule seeding, a schedule from it repeats that run exactly.
inline std::optional<std::uint32_t> LastRunSeed() { return detail::State().runSeed; }

namespace detail {

// The seed of the next reseed: the schedule's next one (under the default seeding from a fresh
// base at the start of a run, or when there is none yet), or the clock's seconds.
inline std::uint32_t NextSeed(bool startsRun) {
  RandomState& state = State();
  if (state.seeding == Seeding::Clock) return static_cast<std::uint32_t>(Now());
  if (state.seeding == Seeding::Entropy && (startsRun || !state.based)) {
    state.nextSeed = EntropySeed();
    state.based = true;
  }
  return state.nextSeed++;  // unsigned, so the schedule wraps modulo 2^32
}

}  // namespace detail

// Reseeds the current engine for the next generation: with the schedule's next seed, or the
// clock's seconds under clock seeding.
inline void Reseed() { Srand(detail::NextSeed(false)); }

// Reseeds the current engine at the start of a run, as Reseed does, except that under the
// default seeding the run takes a fresh base seed. The seed is kept for LastRunSeed.
inline void ReseedForRun() {
  const std::uint32_t seed = detail::NextSeed(true);
  detail::State().runSeed = seed;
  Srand(seed);
}

// Where the random source stands between two reseeds: enough to continue a run's draws exactly
// elsewhere (a checkpoint). nextSeed is empty when the next reseed takes a seed of its own
// (clock seeding, or the default seeding before its first reseed); runSeed is what LastRunSeed
// reports.
struct RandomPosition {
  Engine engine = Engine::Mt19937;
  Seeding seeding = Seeding::Entropy;
  std::optional<std::uint32_t> nextSeed;
  std::optional<std::uint32_t> runSeed;
};

inline RandomPosition CurrentRandomPosition() {
  const detail::RandomState& state = detail::State();
  RandomPosition position{state.engine, state.seeding, std::nullopt, state.runSeed};
  const bool scheduled =
      state.seeding == Seeding::Schedule || (state.seeding == Seeding::Entropy && state.based);
  if (scheduled) position.nextSeed = state.nextSeed;
  return position;
}

// Puts this thread's random source where CurrentRandomPosition found it; the next reseed
// continues from there. Every generation reseeds the engine, so its own state is not part of
// the position.
inline void RestoreRandomPosition(const RandomPosition& position) {
  detail::RandomState& state = detail::State();
  state.engine = position.engine;
  state.seeding = position.seeding;
  state.based = position.seeding == Seeding::Entropy && position.nextSeed.has_value();
  state.nextSeed = position.nextSeed.value_or(0);
  state.runSeed = position.runSeed;
}

// Installs a seed schedule and an engine for the lifetime of the object, then puts back
// what this thread had before. Within it, LastRunSeed reports only runs started in it.
class ScopedSeedSchedule {
 public:
  explicit ScopedSeedSchedule(std::uint32_t base, Engine engine = CurrentEngine())
      : saved_(detail::State()) {
    SetEngine(engine);
    InstallSeedSchedule(base);
    detail::State().runSeed.reset();
  }
  ~ScopedSeedSchedule() { detail::State() = saved_; }
  ScopedSeedSchedule(const ScopedSeedSchedule&) = delete;
  ScopedSeedSchedule& operator=(const ScopedSeedSchedule&) = delete;

 private:
  detail::RandomState saved_;
};

// Calls body(k) for every k from 0 to count - 1: on up to `threads` threads when compiled with
// OpenMP, otherwise (or with fewer than 2 threads) in order on the caller's thread. body must
// not throw, and calls for different k must not write the same data. The threads started are
// at most count and at most 16 per processor: OpenMP ends the process when it cannot start
// the threads asked for, and threads beyond those bounds would have nothing to do.
template <class Body>
void ParallelFor(std::size_t count, [[maybe_unused]] int threads, const Body& body) {
#if defined(_OPENMP)
  if (threads > 1 && count > 1) {
    const auto last = static_cast<std::ptrdiff_t>(count);
    const auto processors = static_cast<std::size_t>(std::max(omp_get_num_procs(), 1));
    const auto started =
        static_cast<int>(std::min({static_cast<std::size_t>(threads), count, 16 * processors}));
#pragma omp parallel for num_threads(started) schedule(static)
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
  // list would hold more entries than Count can report. The entries are also kept one by one
  // for direct lookup, but only up to FlatLimit of them: proportional selection over scores
  // of both signs can ask for up to count entries per individual, which one by one would take
  // memory and time quadratic in the population.
  void AddTail(T* entry, std::size_t n) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (n > limit - count_) throw std::length_error("pick list is full");
    if (n == 0) return;
    if (runs_.empty() && count_ + n <= FlatLimit) {
      flat_.insert(flat_.end(), n, entry);
    } else if (!runs_.empty()) {
      runs_.push_back({entry, count_ + n});
    } else {  // the switch, built aside so that bad_alloc leaves the list as it was
      std::vector<Run> runs;
      runs.reserve(flat_.size() + 1);
      for (std::size_t k = 0; k < flat_.size(); ++k) runs.push_back({flat_[k], k + 1});
      runs.push_back({entry, count_ + n});
      runs_.swap(runs);
      std::vector<T*>().swap(flat_);
    }
    count_ += n;
  }

  int Count() const { return static_cast<int>(count_); }

  // The entry at a zero-based index from the head; throws std::invalid_argument when
  // the index lies outside the list.
  T* At(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= count_) {
      throw std::invalid_argument("pick list index " + std::to_string(index) +
                                  " is outside the list of " + std::to_string(count_) + " entries");
    }
    const auto at = static_cast<std::size_t>(index);
    if (runs_.empty()) return flat_[at];
    const auto run = std::upper_bound(runs_.begin(), runs_.end(), at,
                                      [](std::size_t i, const Run& r) { return i < r.end; });
    return run->entry;
  }

 private:
  static constexpr std::size_t FlatLimit = std::size_t{1} << 20;

  struct Run {
    T* entry;
    std::size_t end;  // the index just past the run's last entry
  };
  std::vector<T*> flat_;   // the entries one by one, while there are at most FlatLimit
  std::vector<Run> runs_;  // the entries as runs, once there are more
  std::size_t count_ = 0;
};

}  // namespace allelix
