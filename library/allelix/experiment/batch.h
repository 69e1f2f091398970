// The batch runner: independent seeded runs of a generator, on threads, handed over in run order.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "allelix/experiment/ranks.h"
#include "allelix/experiment/recorder.h"
#include "allelix/experiment/run_checkpoint.h"
#include "allelix/platform.h"
#include "allelix/run.h"

namespace allelix::experiment {

// Seeds of consecutive runs in a batch lie this far apart, so that no two runs of a batch share
// a reseed unless one of them runs for more than a million generations.
inline constexpr std::uint32_t RunSeedSpacing = 1048576;

// The most runs a seeded batch holds: run r + 4096 would start from run r's seed (modulo 2^32)
// and repeat it draw for draw.
inline constexpr int MaxSeededRuns = static_cast<int>((std::uint64_t{1} << 32) / RunSeedSpacing);

// The base seed of run r in a batch whose base seed is base (modulo 2^32).
inline std::uint32_t RunSeed(std::uint32_t base, int run) {
  return base + static_cast<std::uint32_t>(run) * RunSeedSpacing;
}

// Seconds on a steady clock, for timing runs.
inline double SteadySeconds() {
  const auto now = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(now.time_since_epoch()).count();
}

namespace batch_detail {

// Thrown out of Evolve's observer when the cancellation predicate asks a run to stop.
struct Stopped {};

}  // namespace batch_detail

// What one finished run leaves.
struct RunRecord {
  int run = 0;
  std::optional<std::uint32_t> seed = {};  // its seed schedule's base; none under clock seeding
  Row last = {};                           // the state at its final stop test
  std::vector<Row> rows = {};              // every stop test, when the batch keeps them
  bool success = false;                    // what the batch's success test said
  std::string description = {};            // what the batch's describe said
  double seconds = 0;                      // the run's own time

  StopReason Reason() const { return last.reason; }
};

// What a batch leaves.
struct BatchResult {
  std::optional<std::uint32_t> seed = {};     // the base seed, drawn when none was given
  int threads = 1;                            // threads the runs ran on
  std::vector<std::string> columnNames = {};  // the user's columns, in the order of Row::own
  std::vector<RunRecord> records = {};        // the finished runs, in run order
  bool successTested = false;                 // whether the batch had a success test
  bool cancelled = false;                     // whether the cancellation predicate ended the batch
  bool onProcesses = false;                   // threads counts the processes of a job
  double wallSeconds = 0;                     // the batch's time from first run to last
};

// Shows "k of n runs done" on one line of a stream (a terminal's), and clears it at the end.
class ProgressLine {
 public:
  ProgressLine(std::ostream* stream, int runs)
      : stream_(runs > 1 ? stream : nullptr), runs_(runs) {}
  ~ProgressLine() {
    if (stream_ != nullptr) *stream_ << "\r" << std::string(40, ' ') << "\r" << std::flush;
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Done(int runs) {
    if (stream_ != nullptr)
      *stream_ << "\r" << runs << " of " << runs_ << " runs done" << std::flush;
  }

 private:
  std::ostream* stream_;
  int runs_;
};

// Where a batch's runs keep their checkpoints, and whether they continue from them.
struct CheckpointPlan {
  std::function<std::string(int run)> path;  // run r's file; empty: no checkpoints
  int every = 1;        // a checkpoint after every `every` generations, and one at the end
  std::string note;     // the program's settings, kept in every file and checked on resume
  bool resume = false;  // a run whose file exists continues from it (a finished one just ends)
};

// N runs of a generator. Run r starts from the seed schedule of RunSeed(seed, r) on the chosen
// engine, on its own thread's random source, so the results do not depend on the thread count.
// Every function member is called on the thread of the run it serves (use, on the caller's);
// those the runs call must be safe to call from several threads at once.
template <class TGenerator>
struct Batch {
  int runs = 1;
  std::optional<std::uint32_t> seed;  // empty: Run draws one with EntropySeed()
  bool clockSeeding = false;          // every reseed from the clock's whole seconds; no seed then
  Engine engine = Engine::Mt19937;
  int threads = 1;       // 0: one per processor; always 1 on the Runtime engine, which is shared
  bool keepRows = true;  // keep every stop test's row, not only the last
  std::vector<Column<TGenerator>> columns;
  std::function<void(TGenerator&)> configure;      // settings of a fresh generator, before a run
  std::function<void(TGenerator&)> initialize;     // starts the run; empty: generator.Initialize()
  std::function<bool(const TGenerator&)> success;  // tested on the finished run
  std::function<std::string(const TGenerator&)> describe;  // words on the finished run
  std::function<bool()> cancelled;   // consulted before every run and every stop test
  std::function<double()> clock;     // times the runs; empty: SteadySeconds
  std::ostream* progress = nullptr;  // where to show progress (a terminal), or nowhere
  // The processes of a job to spread the runs over, one run at a time each, or null. Every
  // process calls Run: rank 0 gets the records, the others run their share and get none.
  Ranks* ranks = nullptr;
  // Checkpoints of the runs, saved on their threads between generations. A run resumed from its
  // checkpoint gives the record, rows included, that it would have given without the break; its
  // seconds add the time before the checkpoint to the time since.
  CheckpointPlan checkpoints;

  // Runs every run and hands each finished one to use (when given) in run order on the
  // caller's thread, which may take its rows; then keeps it in the result. A cancelled batch
  // hands over the runs finished before the first one the cancellation stopped or kept from
  // starting. Rethrows the first failure of a run, in run order, once the runs in progress end
  // (a failure on another rank as a std::runtime_error with its message).
  // Throws std::invalid_argument for runs below 1 or, unless clock seeding, above MaxSeededRuns,
  // threads below 0, or a seed with clock seeding.
  BatchResult Run(const std::function<void(RunRecord&)>& use = {}) const;

  // The threads Run will use.
  int Threads() const {
    int count = threads != 0 ? threads : static_cast<int>(std::thread::hardware_concurrency());
    count = std::clamp(count, 1, std::max(runs, 1));
    return engine == Engine::Runtime ? 1 : count;
  }

  // The names of the user's columns, in the order of Row::own.
  std::vector<std::string> ColumnNames() const {
    std::vector<std::string> names;
    for (const Column<TGenerator>& column : columns) names.push_back(column.name);
    return names;
  }

  // One run on this thread; the thread's random source is put back afterwards. Sets cancelled
  // when the cancellation predicate stopped it between two generations.
  RunRecord RunOne(int run, std::optional<std::uint32_t> base, bool& wasCancelled) const {
    RunRecord record;
    record.run = run;
    if (base) record.seed = RunSeed(*base, run);
    const ScopedSeedSchedule scope(record.seed.value_or(0), engine);
    if (!record.seed) UseClockSeeding();
    // On the heap, since a user's generator may be large, inside a holder deleted as itself:
    // deleting a generator class that is not final through a pointer to it is what clang warns
    // of, its destructor not being virtual.
    struct Holder {
      TGenerator generator;
    };
    const auto holder = std::make_unique<Holder>();
    TGenerator& generator = holder->generator;
    if (configure) configure(generator);
    Recorder<TGenerator> recorder(columns, keepRows);
    const std::string checkpoint = checkpoints.path ? checkpoints.path(run) : std::string();
    double before = 0;  // the run's time before the checkpoint it resumed from
    bool resumed = false;
    const double start = Clock();
    if (!checkpoint.empty() && checkpoints.resume && Exists(checkpoint)) {
      RunProgress kept = LoadRun(generator, checkpoint, checkpoints.note, run);
      recorder.Restore(std::move(kept.rows));
      before = kept.seconds;
      resumed = true;
    } else if (initialize) {
      initialize(generator);
    } else {
      generator.Initialize();
    }
    bool recorded = false;  // whether this process recorded a row the file lacks
    const auto save = [&](const TGenerator& g) {
      if (checkpoint.empty()) return;
      const RunProgress now{checkpoints.note, run, before + Clock() - start, recorder.Rows()};
      SaveCheckpoint(g, checkpoint, EncodeRunProgress(now));
    };
    wasCancelled = false;
    try {
      recorder.Finish(Evolve(generator, [&](const TGenerator& g) {
        const bool stop = cancelled && cancelled();
        // The state a resumed run starts from is the checkpoint's, whose row it holds.
        if (!std::exchange(resumed, false)) {
          recorder(g);
          recorded = true;
          if (stop || g.generation % std::max(checkpoints.every, 1) == 0) save(g);
        }
        if (stop) throw batch_detail::Stopped();
      }));
    } catch (const batch_detail::Stopped&) {
      wasCancelled = true;
      return record;
    }
    if (recorded) save(generator);  // with the stop reason on the last row
    record.seconds = before + Clock() - start;
    record.success = success && success(generator);
    if (describe) record.description = describe(generator);
    record.rows = recorder.TakeRows();
    record.last = record.rows.back();
    if (!keepRows) record.rows.clear();
    return record;
  }

 private:
  double Clock() const { return clock ? clock() : SteadySeconds(); }
};

namespace batch_detail {

// A run's place in the batch: empty until a worker fills it.
struct Slot {
  enum class State : std::uint8_t { Waiting, Done, Failed, Cancelled } state = State::Waiting;
  RunRecord record;
  std::exception_ptr failure;
};

// Runs run `run` of the batch on this thread; a failure or a cancellation is kept in the slot.
// A batch cancelled before the run starts leaves it unrun.
template <class TGenerator>
Slot Execute(const Batch<TGenerator>& batch, int run, std::optional<std::uint32_t> base) {
  Slot slot;
  if (batch.cancelled && batch.cancelled()) {
    slot.state = Slot::State::Cancelled;
    return slot;
  }
  try {
    bool cancelled = false;
    slot.record = batch.RunOne(run, base, cancelled);
    slot.state = cancelled ? Slot::State::Cancelled : Slot::State::Done;
  } catch (...) {
    slot.failure = std::current_exception();
    slot.state = Slot::State::Failed;
  }
  return slot;
}

inline std::string FailureMessage(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// A slot as bytes for rank 0, in the encoding of the checkpoints' rows: a failure travels as its
// message.
inline std::string Encode(const Slot& slot) {
  namespace rc = run_checkpoint_detail;
  detail::CheckpointWriter out;
  out.Byte(static_cast<std::uint8_t>(slot.state));
  if (slot.state == Slot::State::Failed) rc::PutText(out, FailureMessage(slot.failure));
  if (slot.state != Slot::State::Done) return std::move(out.Bytes());
  const RunRecord& record = slot.record;
  out.Field(record.run);
  out.Byte(record.seed.has_value() ? 1 : 0);
  out.Field(record.seed.value_or(0));
  rc::PutRow(out, record.last);
  out.Unsigned(record.rows.size(), 8);
  for (const Row& row : record.rows) rc::PutRow(out, row);
  out.Byte(record.success ? 1 : 0);
  rc::PutText(out, record.description);
  out.Field(record.seconds);
  return std::move(out.Bytes());
}

// The slot another rank sent; a run that failed there fails here with its message.
inline Slot Decode(const std::string& bytes) {
  namespace rc = run_checkpoint_detail;
  detail::CheckpointReader in(bytes, "a message from another rank");
  Slot slot;
  slot.state = static_cast<Slot::State>(in.Byte("a run's state"));
  if (slot.state == Slot::State::Failed) {
    slot.failure = std::make_exception_ptr(std::runtime_error(rc::GetText(in, "a failure")));
  }
  if (slot.state != Slot::State::Done) return slot;
  RunRecord& record = slot.record;
  in.Field(record.run);
  const bool seeded = in.Flag("whether the run is seeded");
  std::uint32_t seed = 0;
  in.Field(seed);
  if (seeded) record.seed = seed;
  record.last = rc::GetRow(in);
  record.rows.resize(rc::GetCount(in, rc::MinRowBytes, "a run's count of rows"));
  for (Row& row : record.rows) row = rc::GetRow(in);
  record.success = in.Flag("the run's success");
  record.description = rc::GetText(in, "the run's description");
  in.Field(record.seconds);
  return slot;
}

// Fills the slots on worker threads (or on the caller's, or on the ranks of a job) and hands
// them over in run order.
template <class TGenerator>
class Runner {
 public:
  Runner(const Batch<TGenerator>& batch, std::optional<std::uint32_t> base)
      : batch_(batch), base_(base), slots_(static_cast<std::size_t>(batch.runs)) {}

  // Hands every finished run to use in run order; false when cancellation ended the batch.
  bool Each(int threads, const std::function<void(RunRecord&)>& use) {
    std::vector<std::jthread> workers;
    if (threads > 1) {
      workers_ = threads;
      for (int i = 0; i < threads; ++i) workers.emplace_back([this] { Work(); });
    }
    try {
      for (int run = 0; run < batch_.runs; ++run) {
        Slot& slot = slots_[static_cast<std::size_t>(run)];
        if (threads > 1) {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return slot.state != Slot::State::Waiting || workers_ == 0; });
        } else {
          slot = Execute(batch_, run, base_);
        }
        if (slot.state == Slot::State::Failed) std::rethrow_exception(slot.failure);
        if (slot.state != Slot::State::Done) {
          stop_ = true;
          return false;
        }
        use(slot.record);
        slot.record = RunRecord();
      }
    } catch (...) {
      stop_ = true;  // the workers finish the runs they have and take no more
      throw;
    }
    return true;
  }

  // On rank 0 of a job: runs this rank's share (run r belongs to rank r % size) one at a time,
  // receives the others' from their ranks, and hands them over in run order. After a failure or
  // a cancellation it still receives every record the other ranks send, so that none is left
  // blocked, then rethrows the failure or returns false.
  bool EachOnRanks(Ranks& ranks, const std::function<void(RunRecord&)>& use) {
    std::exception_ptr failure;
    bool stopped = false;
    for (int run = 0; run < batch_.runs; ++run) {
      const int owner = run % ranks.Size();
      if (owner == 0 && (failure || stopped)) continue;
      Slot slot = owner == 0 ? Execute(batch_, run, base_) : Decode(ranks.ReceiveFrom(owner));
      if (failure || stopped) continue;
      if (slot.state == Slot::State::Failed) failure = slot.failure;
      stopped = slot.state == Slot::State::Cancelled;
      if (slot.state != Slot::State::Done) continue;
      try {
        use(slot.record);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return !stopped;
  }

  // On any other rank: runs this rank's share and sends each record to rank 0.
  void Serve(Ranks& ranks) {
    for (int run = ranks.Rank(); run < batch_.runs; run += ranks.Size()) {
      ranks.SendToRankZero(Encode(Execute(batch_, run, base_)));
    }
  }

 private:
  bool Cancelled() const { return batch_.cancelled && batch_.cancelled(); }

  // A worker: takes the next run until none is left, a run failed or the batch is cancelled.
  void Work() {
    while (!stop_ && !Cancelled()) {
      const int run = next_++;
      if (run >= batch_.runs) break;
      Slot slot = Execute(batch_, run, base_);
      const std::lock_guard lock(mutex_);
      if (slot.state != Slot::State::Done) stop_ = true;
      slots_[static_cast<std::size_t>(run)] = std::move(slot);
      changed_.notify_all();
    }
    const std::lock_guard lock(mutex_);
    --workers_;
    changed_.notify_all();
  }

  const Batch<TGenerator>& batch_;
  std::optional<std::uint32_t> base_;
  std::vector<Slot> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int workers_ = 0;  // still running, under mutex_
  std::atomic<int> next_{0};
  std::atomic<bool> stop_{false};
};

// What rank 0 tells the other ranks before a batch: its base seed and whether rows are kept.
inline std::string EncodeStart(std::optional<std::uint32_t> base, bool keepRows) {
  detail::CheckpointWriter out;
  out.Byte(base.has_value() ? 1 : 0);
  out.Field(base.value_or(0));
  out.Byte(keepRows ? 1 : 0);
  return std::move(out.Bytes());
}

}  // namespace batch_detail

template <class TGenerator>
BatchResult Batch<TGenerator>::Run(const std::function<void(RunRecord&)>& use) const {
  if (runs < 1) throw std::invalid_argument("a batch needs at least one run");
  if (!clockSeeding && runs > MaxSeededRuns) {
    throw std::invalid_argument("a seeded batch of more than " + std::to_string(MaxSeededRuns) +
                                " runs would repeat its runs: run r + " +
                                std::to_string(MaxSeededRuns) + " starts from the seed of run r");
  }
  if (threads < 0) throw std::invalid_argument("a batch cannot run on a negative thread count");
  if (seed && clockSeeding) {
    throw std::invalid_argument("a batch takes a seed or clock seeding, not both");
  }
  BatchResult result;
  if (!clockSeeding) result.seed = seed ? *seed : EntropySeed();
  result.columnNames = ColumnNames();
  result.successTested = static_cast<bool>(success);
  Ranks* const job = ranks != nullptr && ranks->Size() > 1 ? ranks : nullptr;
  if (job != nullptr && job->Rank() != 0) {
    // Rank 0's seed and choice of rows, so that every rank runs the same runs.
    const std::string start = job->Share(std::string());
    detail::CheckpointReader in(start, "rank 0's start message");
    const bool based = in.Flag("whether the batch is seeded");
    std::uint32_t base = 0;
    in.Field(base);
    Batch<TGenerator> share = *this;
    share.keepRows = in.Flag("whether rows are kept");
    result.seed = based ? std::optional<std::uint32_t>(base) : std::nullopt;
    batch_detail::Runner<TGenerator>(share, result.seed).Serve(*job);
    return result;
  }
  if (job != nullptr) job->Share(batch_detail::EncodeStart(result.seed, keepRows));
  result.threads = job != nullptr ? job->Size() : Threads();
  result.onProcesses = job != nullptr;
  ProgressLine progressLine(progress, runs);
  batch_detail::Runner<TGenerator> runner(*this, result.seed);
  const double start = Clock();
  const auto keep = [&](RunRecord& record) {
    if (use) use(record);
    result.records.push_back(std::move(record));
    progressLine.Done(static_cast<int>(result.records.size()));
  };
  const bool finished =
      job != nullptr ? runner.EachOnRanks(*job, keep) : runner.Each(result.threads, keep);
  result.wallSeconds = Clock() - start;
  result.cancelled = !finished;
  return result;
}

}  // namespace allelix::experiment
