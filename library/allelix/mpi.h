// Fitness evaluation on the ranks of an MPI job: rank 0 runs the generator and sends each pass's
// individuals, as packed genes, to the other ranks, which score them and send the scores back.
// Include this header only in programs built against MPI (the allelix::mpi CMake target).
#pragma once

#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allelix/chromosome.h"
#include "allelix/generator.h"

namespace allelix::mpi {

// A failure reported by MPI itself, with its error text.
class MpiError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An exception thrown by Fitness on a worker rank, rethrown on rank 0: what() reads
// "rank R: <the worker's message>".
class WorkerError : public std::runtime_error {
 public:
  WorkerError(int rank, const std::string& message)
      : std::runtime_error("rank " + std::to_string(rank) + ": " + message),
        rank_(rank),
        message_(message) {}

  int Rank() const { return rank_; }
  const std::string& WorkerMessage() const { return message_; }

 private:
  int rank_;
  std::string message_;
};

namespace detail {

// Message tags: rank 0 sends work or the stop on WorkTag, workers answer on ScoreTag.
inline constexpr int WorkTag = 7100;
inline constexpr int ScoreTag = 7101;

// The first field of a work message.
inline constexpr std::int32_t CommandScore = 1;
inline constexpr std::int32_t CommandStop = 2;

// The first field of an answer.
inline constexpr std::int32_t AnswerScores = 0;
inline constexpr std::int32_t AnswerFailed = 1;

// Throws MpiError with MPI's text for a failed call; MPI's default handler aborts the job
// first, so this matters under a communicator whose handler returns errors.
inline void Check(int code, const char* call) {
  if (code == MPI_SUCCESS) return;
  char text[MPI_MAX_ERROR_STRING] = {};
  int length = 0;
  MPI_Error_string(code, text, &length);
  throw MpiError(std::string(call) +
                 " failed: " + std::string(text, static_cast<std::size_t>(length)));
}

// Appends and reads plain values as their bytes; every rank of a job shares one architecture.
class Writer {
 public:
  template <class T>
  void Put(const T& value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    buffer.insert(buffer.end(), bytes, bytes + sizeof(T));
  }
  std::vector<unsigned char> buffer;
};

class Reader {
 public:
  explicit Reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

  template <class T>
  T Get() {
    if (bytes_.size() - position_ < sizeof(T)) throw MpiError("truncated message");
    T value;
    std::memcpy(&value, bytes_.data() + position_, sizeof(T));
    position_ += sizeof(T);
    return value;
  }
  std::span<const unsigned char> Rest() const { return bytes_.subspan(position_); }

 private:
  std::span<const unsigned char> bytes_;
  std::size_t position_ = 0;
};

// Bytes that hold one individual: a bit per gene for the values, then a bit per gene for the
// locks.
inline std::size_t PackedBytes(int geneCount) {
  return 2 * ((static_cast<std::size_t>(geneCount) + 7) / 8);
}

template <class TIndividual>
void PackGenes(const TIndividual& individual, unsigned char* out) {
  const auto half = PackedBytes(individual.geneCount) / 2;
  std::fill(out, out + 2 * half, static_cast<unsigned char>(0));
  for (int g = 0; g < individual.geneCount; ++g) {
    const auto byte = static_cast<std::size_t>(g) / 8;
    const auto bit = static_cast<unsigned char>(1u << (static_cast<unsigned>(g) % 8));
    if (individual.genes[g]->value) out[byte] |= bit;
    if (individual.genes[g]->locked) out[half + byte] |= bit;
  }
}

// Gives an individual that already has geneCount genes the packed values and locks, and the
// state of a new individual otherwise: fitness 0.0, unmarked.
template <class TIndividual>
void UnpackGenes(const unsigned char* in, TIndividual& individual) {
  const auto half = PackedBytes(individual.geneCount) / 2;
  for (int g = 0; g < individual.geneCount; ++g) {
    const auto byte = static_cast<std::size_t>(g) / 8;
    const auto bit = static_cast<unsigned char>(1u << (static_cast<unsigned>(g) % 8));
    individual.genes[g]->value = (in[byte] & bit) != 0;
    individual.genes[g]->locked = (in[half + byte] & bit) != 0;
  }
  individual.fitness = 0.0;
  individual.marked = false;
}

// Calls done() until it returns true without keeping a core busy meanwhile: first back to back,
// for the quick answers to cheap work, then with sleeps that grow by a tenth each time up to a
// millisecond, so a long wait overruns by about a tenth at most. A rank that waits leaves its
// core to the ranks that score, which matters when there are more ranks than cores.
template <class Done>
void Patiently(Done&& done) {
  constexpr int BusyPolls = 2000;
  double pause = 10.0;  // microseconds
  for (int polls = 0; !done(); ++polls) {
    if (polls < BusyPolls) continue;
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(pause)));
    pause = std::min(pause * 1.1, 1000.0);
  }
}

// Receives the next message from source with tag, of whatever length it has.
inline std::vector<unsigned char> ReceiveBytes(MPI_Comm comm, int source, int tag) {
  MPI_Status status;
  Patiently([&] {
    int arrived = 0;
    Check(MPI_Iprobe(source, tag, comm, &arrived, &status), "MPI_Iprobe");
    return arrived != 0;
  });
  int length = 0;
  Check(MPI_Get_count(&status, MPI_BYTE, &length), "MPI_Get_count");
  std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
  Check(MPI_Recv(bytes.data(), length, MPI_BYTE, source, tag, comm, MPI_STATUS_IGNORE), "MPI_Recv");
  return bytes;
}

inline int ByteCount(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw MpiError("a message of " + std::to_string(size) + " bytes is too large to send");
  }
  return static_cast<int>(size);
}

inline int RankOf(MPI_Comm comm) {
  int rank = 0;
  Check(MPI_Comm_rank(comm, &rank), "MPI_Comm_rank");
  return rank;
}

inline int SizeOf(MPI_Comm comm) {
  int size = 0;
  Check(MPI_Comm_size(comm, &size), "MPI_Comm_size");
  return size;
}

}  // namespace detail

// MPI for the lifetime of the object: MPI_Init on construction (unless the program already
// started it), MPI_Finalize on destruction (only if this object started it).
class Environment {
 public:
  Environment(int& argc, char**& argv) {
    int started = 0;
    detail::Check(MPI_Initialized(&started), "MPI_Initialized");
    if (started == 0) {
      detail::Check(MPI_Init(&argc, &argv), "MPI_Init");
      owns_ = true;
    }
  }
  ~Environment() {
    if (owns_) MPI_Finalize();
  }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

  int Rank() const { return detail::RankOf(MPI_COMM_WORLD); }
  int Size() const { return detail::SizeOf(MPI_COMM_WORLD); }

 private:
  bool owns_ = false;
};

// Rank 0's side: an Evaluator that splits each batch into one contiguous share per worker
// (ranks 1 to size - 1), sends each share as one message of packed genes, and stores the
// answers in batch order. With no worker (a job of one rank) it scores on rank 0 itself.
// Its destruction tells the workers to stop, so that a run that ends or fails releases them.
// Fitness on the workers sees the genes (values and locks) of a new individual of TIndividual;
// anything else it reads must be built the same way on every rank.
template <class TIndividual>
class MpiEvaluator final : public Evaluator<TIndividual> {
 public:
  // Throws std::logic_error when called on a rank other than 0.
  explicit MpiEvaluator(MPI_Comm comm = MPI_COMM_WORLD)
      : comm_(comm), workers_(detail::SizeOf(comm) - 1) {
    if (detail::RankOf(comm) != 0) {
      throw std::logic_error("MpiEvaluator belongs on rank 0; the other ranks call ServeFitness");
    }
  }
  ~MpiEvaluator() override {
    try {
      Stop();
    } catch (...) {  // MPI has failed already; its own handler decides what becomes of the job
    }
  }
  MpiEvaluator(const MpiEvaluator&) = delete;
  MpiEvaluator& operator=(const MpiEvaluator&) = delete;

  int Workers() const { return workers_; }

  // Tells every worker to return from ServeFitness; later Evaluate calls throw. Safe to repeat.
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    const std::int32_t stop = detail::CommandStop;
    for (int w = 1; w <= workers_; ++w) {
      detail::Check(MPI_Send(&stop, sizeof stop, MPI_BYTE, w, detail::WorkTag, comm_), "MPI_Send");
    }
  }

  // Throws WorkerError for a worker's failed Fitness, after storing the scores before it;
  // std::invalid_argument, scoring nothing, when the individuals differ in length.
  void Evaluate(std::span<TIndividual* const> batch, int fitnessContext) override {
    if (stopped_) throw std::logic_error("MpiEvaluator used after its workers were stopped");
    if (exchanging_) throw std::logic_error("MpiEvaluator used after an exchange failed part-way");
    if (batch.empty()) return;
    if (workers_ == 0) {
      SequentialEvaluator<TIndividual>().Evaluate(batch, fitnessContext);
      return;
    }
    const int geneCount = batch.front()->geneCount;
    for (const TIndividual* individual : batch) {
      if (individual->geneCount != geneCount) {
        throw std::invalid_argument("MpiEvaluator needs individuals of one length");
      }
    }
    const std::size_t packed = detail::PackedBytes(geneCount);
    const std::size_t n = batch.size();
    const auto workers = static_cast<std::size_t>(workers_);

    // Worker w scores individuals begin(w) to begin(w + 1) - 1. Every message is built before
    // the first is sent, so that a failure while building leaves nothing in flight.
    const auto begin = [&](std::size_t w) { return w * n / workers; };
    std::vector<std::vector<unsigned char>> messages(workers);
    for (std::size_t w = 0; w < workers; ++w) {
      const std::size_t first = begin(w);
      const std::size_t count = begin(w + 1) - first;
      if (count == 0) continue;
      detail::Writer writer;
      writer.Put(detail::CommandScore);
      writer.Put(static_cast<std::int32_t>(fitnessContext));
      writer.Put(static_cast<std::int32_t>(geneCount));
      writer.Put(static_cast<std::uint64_t>(count));
      std::vector<unsigned char>& message = messages[w];
      message = std::move(writer.buffer);
      const std::size_t header = message.size();
      message.resize(header + count * packed);
      for (std::size_t k = 0; k < count; ++k) {
        detail::PackGenes(*batch[first + k], message.data() + header + k * packed);
      }
      detail::ByteCount(message.size());
    }
    std::vector<MPI_Request> requests;
    requests.reserve(workers);
    std::vector<std::vector<unsigned char>> answers(workers);
    // Until every answer is in, a failure (MPI's, or memory) would leave answers behind that a
    // later call would take for its own; such an evaluator refuses further work.
    exchanging_ = true;
    for (std::size_t w = 0; w < workers; ++w) {
      if (messages[w].empty()) continue;
      requests.emplace_back();
      detail::Check(MPI_Isend(messages[w].data(), detail::ByteCount(messages[w].size()), MPI_BYTE,
                              static_cast<int>(w) + 1, detail::WorkTag, comm_, &requests.back()),
                    "MPI_Isend");
    }
    detail::Patiently([&] {
      int sent = 0;
      detail::Check(MPI_Testall(static_cast<int>(requests.size()), requests.data(), &sent,
                                MPI_STATUSES_IGNORE),
                    "MPI_Testall");
      return sent != 0;
    });
    for (std::size_t w = 0; w < workers; ++w) {
      if (!messages[w].empty()) {
        answers[w] = detail::ReceiveBytes(comm_, static_cast<int>(w) + 1, detail::ScoreTag);
      }
    }
    exchanging_ = false;

    // The scores in batch order, up to the first worker that failed.
    for (std::size_t w = 0; w < workers; ++w) {
      const std::size_t first = begin(w);
      const std::size_t count = begin(w + 1) - first;
      if (count == 0) continue;
      detail::Reader reader(answers[w]);
      const auto status = reader.Get<std::int32_t>();
      const auto scored = static_cast<std::size_t>(reader.Get<std::uint64_t>());
      if (scored > count) throw MpiError("a worker answered for more individuals than it got");
      for (std::size_t k = 0; k < scored; ++k) batch[first + k]->fitness = reader.Get<double>();
      if (status == detail::AnswerFailed) {
        const auto text = reader.Rest();
        throw WorkerError(static_cast<int>(w) + 1, std::string(text.begin(), text.end()));
      }
      if (scored != count) throw MpiError("a worker answered for fewer individuals than it got");
    }
  }

 private:
  MPI_Comm comm_;
  int workers_;
  bool stopped_ = false;
  bool exchanging_ = false;  // sent a batch and not yet received every answer
};

// A worker rank's side: scores the shares rank 0 sends until it is told to stop. The first
// Fitness that throws ends the share; its message goes back to rank 0, and the worker waits for
// the next share. Throws MpiError only when MPI fails or a message is malformed.
template <class TIndividual, class TGene = CBit>
void ServeFitness(MPI_Comm comm = MPI_COMM_WORLD) {
  std::unique_ptr<TIndividual> individual;
  for (;;) {
    const std::vector<unsigned char> message = detail::ReceiveBytes(comm, 0, detail::WorkTag);
    detail::Reader reader(message);
    if (reader.Get<std::int32_t>() != detail::CommandScore) return;
    const auto context = reader.Get<std::int32_t>();
    const auto geneCount = reader.Get<std::int32_t>();
    const auto count = reader.Get<std::uint64_t>();
    if (geneCount <= 0) throw MpiError("malformed work message");
    const std::size_t packed = detail::PackedBytes(geneCount);
    const std::span<const unsigned char> genes = reader.Rest();
    if (genes.size() / packed != count || genes.size() % packed != 0) {
      throw MpiError("malformed work message");
    }

    detail::Writer answer;
    answer.Put(detail::AnswerScores);
    answer.Put(count);
    std::size_t scored = 0;
    std::string failure;
    try {
      if (!individual || individual->geneCount != geneCount) {
        individual = std::make_unique<TIndividual>();
        individual->AllocateGenes(geneCount);
        for (int g = 0; g < geneCount; ++g) individual->genes[g] = new TGene();
      }
      for (; scored < count; ++scored) {
        detail::UnpackGenes(genes.data() + scored * packed, *individual);
        answer.Put(individual->Fitness(context));
      }
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "unknown exception";
    }
    if (scored < count) {
      // The status and the count sit at the front; the scores so far stay as written.
      const std::int32_t failed = detail::AnswerFailed;
      const auto done = static_cast<std::uint64_t>(scored);
      std::memcpy(answer.buffer.data(), &failed, sizeof failed);
      std::memcpy(answer.buffer.data() + sizeof failed, &done, sizeof done);
      answer.buffer.insert(answer.buffer.end(), failure.begin(), failure.end());
    }
    detail::Check(MPI_Send(answer.buffer.data(), detail::ByteCount(answer.buffer.size()), MPI_BYTE,
                           0, detail::ScoreTag, comm),
                  "MPI_Send");
  }
}

}  // namespace allelix::mpi
