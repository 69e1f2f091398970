// The processes of a job (an MPI job's ranks, for one) that a batch's runs can be spread over,
// and the messages between them. Every process of a job runs the same build.
#pragma once

#include <string>

namespace allelix::experiment {

// This process's place in the job, and the messages a batch needs: rank 0 shares its decision
// to start with every rank, and every other rank sends it the records of its runs.
class Ranks {
 public:
  virtual ~Ranks() = default;
  virtual int Rank() const = 0;
  virtual int Size() const = 0;
  // Rank 0's bytes, on every rank; every rank calls it at the same point.
  virtual std::string Share(const std::string& bytes) = 0;
  // Sends bytes to rank 0 / receives the next bytes rank `from` sent to rank 0.
  virtual void SendToRankZero(const std::string& bytes) = 0;
  virtual std::string ReceiveFrom(int from) = 0;
};

}  // namespace allelix::experiment
