// Output files that replace a regular file whole or not at all, and write anything else in place.
#pragma once

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>

namespace allelix::lab {

// A failure to create or write an output file, with a message for the user.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An output file for a target path, opened as a shell's `>` would open it, with two differences
// that keep the user's files safe. Symbolic links are followed to their final target.
// - A regular file, or a path that does not exist yet, is written to a temporary file in the same
//   directory; Commit syncs it and renames it over the target, so the target holds the old content
//   or the new, never part of it. The new file keeps the replaced one's permission bits (and its
//   owner when the process may set it); a new path gets the permissions `>` would give it.
// - Anything else (a device, a FIFO, /dev/stdout, /dev/fd/N) is written in place as the content
//   comes, and is never renamed over or removed.
// Without Commit, a temporary file is removed and a replaced target stays as it was.
class PendingFile {
 public:
  // Opens the target now, so that a missing directory or a file the user may not write shows
  // before any work starts; opening a FIFO waits for its reader. Throws OutputError.
  explicit PendingFile(const std::string& target);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  std::ostream& Stream();

  // Writes out what is buffered, then puts the content in place. Throws OutputError.
  void Commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether two target paths lead to one file once links are followed: the same file (hard links
// included), or the same name in the same directory for a file that does not exist yet. Paths
// that cannot be looked up compare unequal; opening them reports why.
bool SameDestination(const std::string& first, const std::string& second);

}  // namespace allelix::lab
