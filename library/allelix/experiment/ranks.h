// The processes of a job (an MPI job's ranks, for one) that a batch's runs can be spread over,
// and the bytes of the messages between them. Every process of a job runs the same build.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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

// Values as bytes for another process of the job, and back.
class ByteWriter {
 public:
  template <class T>
  void Put(const T& value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes.append(raw, sizeof value);
  }
  void PutText(const std::string& text) {
    Put(static_cast<std::uint64_t>(text.size()));
    bytes += text;
  }
  void PutValues(const std::vector<double>& values) {
    Put(static_cast<std::uint64_t>(values.size()));
    for (const double value : values) Put(value);
  }
  std::string bytes;
};

class ByteReader {
 public:
  explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}
  template <class T>
  T Get() {
    T value;
    std::memcpy(&value, Take(sizeof value), sizeof value);
    return value;
  }
  std::string GetText() {
    const auto size = Get<std::uint64_t>();
    return std::string(Take(size), static_cast<std::size_t>(size));
  }
  std::vector<double> GetValues() {
    std::vector<double> values(static_cast<std::size_t>(Count(sizeof(double))));
    for (double& value : values) value = Get<double>();
    return values;
  }
  // A count of items of the given size that follow; throws when they cannot all be there.
  std::uint64_t Count(std::size_t itemSize) {
    const auto count = Get<std::uint64_t>();
    if (count > (bytes_.size() - position_) / itemSize) throw Truncated();
    return count;
  }

 private:
  static std::runtime_error Truncated() { return std::runtime_error("a message is truncated"); }
  const char* Take(std::uint64_t size) {
    if (size > bytes_.size() - position_) throw Truncated();
    const char* at = bytes_.data() + position_;
    position_ += static_cast<std::size_t>(size);
    return at;
  }
  const std::string& bytes_;
  std::size_t position_ = 0;
};

}  // namespace allelix::experiment
