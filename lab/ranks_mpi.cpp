// The lab built with MPI: a process started by mpirun joins its job.
#include <mpi.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "ranks.h"

namespace allelix::lab {

namespace {

constexpr int RecordTag = 7200;

void Check(int code, const char* call) {
  if (code != MPI_SUCCESS) throw std::runtime_error(std::string(call) + " failed");
}

int ByteCount(std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("a run's record of " + std::to_string(size) +
                             " bytes is too large to send");
  }
  return static_cast<int>(size);
}

class MpiRanks final : public Ranks {
 public:
  MpiRanks(int& argc, char**& argv) {
    Check(MPI_Init(&argc, &argv), "MPI_Init");
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
  }
  ~MpiRanks() override { MPI_Finalize(); }
  MpiRanks(const MpiRanks&) = delete;
  MpiRanks& operator=(const MpiRanks&) = delete;

  int Rank() const override { return rank_; }
  int Size() const override { return size_; }

  std::string Share(const std::string& bytes) override {
    int length = rank_ == 0 ? ByteCount(bytes.size()) : 0;
    Check(MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD), "MPI_Bcast");
    std::string shared = rank_ == 0 ? bytes : std::string(static_cast<std::size_t>(length), '\0');
    Check(MPI_Bcast(shared.data(), length, MPI_BYTE, 0, MPI_COMM_WORLD), "MPI_Bcast");
    return shared;
  }

  void SendToRankZero(const std::string& bytes) override {
    Check(MPI_Send(bytes.data(), ByteCount(bytes.size()), MPI_BYTE, 0, RecordTag, MPI_COMM_WORLD),
          "MPI_Send");
  }

  std::string ReceiveFrom(int from) override {
    MPI_Status status;
    Check(MPI_Probe(from, RecordTag, MPI_COMM_WORLD, &status), "MPI_Probe");
    int length = 0;
    Check(MPI_Get_count(&status, MPI_BYTE, &length), "MPI_Get_count");
    std::string bytes(static_cast<std::size_t>(length), '\0');
    Check(MPI_Recv(bytes.data(), length, MPI_BYTE, from, RecordTag, MPI_COMM_WORLD,
                   MPI_STATUS_IGNORE),
          "MPI_Recv");
    return bytes;
  }

 private:
  int rank_ = 0;
  int size_ = 1;
};

// Whether a launcher started this process: mpirun sets these in every rank's environment.
bool StartedByLauncher() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK"}) {
    if (std::getenv(name) != nullptr) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<Ranks> JoinRanks(int& argc, char**& argv) {
  if (!StartedByLauncher()) return nullptr;  // on its own, the lab never starts MPI
  return std::make_unique<MpiRanks>(argc, argv);
}

}  // namespace allelix::lab
