// An output file that appears whole or not at all.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>

namespace allelix::lab {

// A failure to create or write an output file, with a message for the user.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Collects the content in a temporary file beside the target and renames it over the target
// on Commit, so the target is never half-written. Without Commit the temporary file is removed.
class PendingFile {
 public:
  // Creates the temporary file now, so that a missing directory shows before any work starts.
  // Throws OutputError.
  explicit PendingFile(std::string target);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  std::ostream& Stream() { return stream_; }

  // Flushes, closes and renames the temporary file over the target. Throws OutputError.
  void Commit();

 private:
  std::string target_;
  std::string temporary_;
  std::ofstream stream_;
  bool committed_ = false;
};

}  // namespace allelix::lab
