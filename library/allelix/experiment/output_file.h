// Output files that replace a regular file whole or not at all, and write anything else in
// place (POSIX).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "allelix/atomic_write.h"
#include "allelix/experiment/signals.h"

namespace allelix::experiment {

// A failure to create or write an output file, with a message for the user.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace output_file_detail {

// The kernel's own limit on symbolic links in one lookup.
inline constexpr int MaxLinks = 40;
// statfs's f_type for /proc.
inline constexpr long ProcFileSystem = 0x9fa0;

// Takes no argument that allocates, so that errno can be passed as it is.
inline OutputError Failure(const char* what, const std::string& path, int error) {
  return OutputError(std::string("cannot ") + what + " '" + path + "': " + std::strerror(error));
}

inline std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string NameOf(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// A file descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&&) = delete;

  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

  // Closes now; returns close's error, 0 when there was none.
  int Close() {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// A stream buffer that writes to a descriptor and keeps the first write error.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd), data_(1 << 16) { Reset(); }

  int Error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override { return Drain() ? 0 : -1; }

 private:
  void Reset() { setp(data_.data(), data_.data() + data_.size()); }

  // Writes what is buffered; after an error, drops it.
  bool Drain() {
    for (const char* next = pbase(); next < pptr() && error_ == 0;) {
      const ssize_t written = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
      if (written > 0) {
        next += written;
      } else if (written == 0) {
        error_ = EIO;
      } else if (errno != EINTR || StopSignal() != 0) {
        // A write that a stop request interrupts gives up: a reader that stalls must not
        // outlast the request.
        error_ = errno;
      }
    }
    Reset();
    return error_ == 0;
  }

  int fd_;
  int error_ = 0;
  std::vector<char> data_;
};

// Where a target path leads once symbolic links are followed.
struct Destination {
  std::string path;          // the final path, whose last component is not a link
  bool exists = false;       // path names an existing file, described by status
  struct stat status = {};   // from lstat, so of the final file itself
  int ownDescriptor = -1;    // >= 0: one of this process's descriptors (/dev/stdout, /dev/fd/N)
  bool throughProc = false;  // reached through another link of /proc: opened as named
};

inline bool OnProc(const std::string& directory) {
  struct statfs system = {};
  return ::statfs(directory.c_str(), &system) == 0 && system.f_type == ProcFileSystem;
}

inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptor number a link in this process's /proc/<pid>/fd stands for, or -1.
inline int OwnDescriptorNumber(const std::string& directory, const std::string& name) {
  struct stat linkDirectory = {};
  struct stat ours = {};
  if (::stat(directory.c_str(), &linkDirectory) != 0 || ::stat("/proc/self/fd", &ours) != 0 ||
      !SameFile(linkDirectory, ours)) {
    return -1;
  }
  int fd = -1;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
  return error == std::errc() && end == name.data() + name.size() ? fd : -1;
}

// Follows the links of the target's last component as the kernel would. The links of /proc
// (a process's descriptors) name open files rather than paths, so they end the walk there.
// Throws OutputError when a directory on the way cannot be looked up.
inline Destination Resolve(const std::string& target) {
  Destination destination;
  destination.path = target;
  for (int links = 0;; ++links) {
    if (::lstat(destination.path.c_str(), &destination.status) != 0) {
      if (errno != ENOENT) throw Failure("write", target, errno);
      const std::string name = NameOf(destination.path);
      if (name.empty() || name == "." || name == "..") throw Failure("write", target, EISDIR);
      return destination;
    }
    if (!S_ISLNK(destination.status.st_mode)) {
      destination.exists = true;
      return destination;
    }
    if (links == MaxLinks) throw Failure("write", target, ELOOP);
    const std::string directory = DirectoryOf(destination.path);
    if (OnProc(directory)) {
      destination.ownDescriptor = OwnDescriptorNumber(directory, NameOf(destination.path));
      destination.throughProc = true;
      return destination;
    }
    std::error_code code;
    const std::filesystem::path link = std::filesystem::read_symlink(destination.path, code);
    if (code) throw Failure("write", target, code.value());
    destination.path = link.is_absolute() ? link.string() : directory + "/" + link.string();
  }
}

// A descriptor of this process, duplicated so that closing ours leaves it open.
inline Descriptor DuplicateForWriting(const std::string& target, int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) throw Failure("write", target, EBADF);
  Descriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (copy.Get() < 0) throw Failure("write", target, errno);
  return copy;
}

inline Descriptor OpenInPlace(const std::string& target, const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) throw Failure("write", target, errno);
  return fd;
}

// Gives the temporary file the owner and permission bits of the file it replaces; the owner
// only as far as the process may set it.
inline void TakeOwnerAndMode(int fd, const std::string& target, const struct stat& replaced) {
  if (replaced.st_uid != ::geteuid() || replaced.st_gid != ::getegid()) {
    if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
      static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid));
    }
  }
  if (::fchmod(fd, replaced.st_mode & 0777) != 0) throw Failure("write", target, errno);
}

// Whether the sticky bit of the directory keeps this process from renaming over a file that
// `owner` owns.
inline bool OwnerAloneMayReplace(const std::string& directory, uid_t owner) {
  struct stat status = {};
  const uid_t user = ::geteuid();
  return ::stat(directory.c_str(), &status) == 0 && (status.st_mode & S_ISVTX) != 0 && user != 0 &&
         user != owner && user != status.st_uid;
}

inline std::string OthersFileMessage(const std::string& target) {
  return "cannot replace '" + target +
         "': it belongs to another user, in a directory where only a file's owner may replace it";
}

// An output in place (a descriptor of its own), or through a file that replaces the target.
struct PendingState {
  PendingState(std::string name, Descriptor&& opened)
      : target(std::move(name)), file(opened.Release()), buffer(file.Get()) {}
  PendingState(std::string name, std::unique_ptr<ReplacementFile> replacing)
      : target(std::move(name)),
        replacement(std::move(replacing)),
        buffer(replacement->Descriptor()) {}
  PendingState(const PendingState&) = delete;
  PendingState& operator=(const PendingState&) = delete;

  std::string target;  // as the user named it, for messages
  Descriptor file{-1};
  std::unique_ptr<ReplacementFile> replacement;  // null when writing in place
  DescriptorBuffer buffer;
  std::ostream stream{&buffer};
  bool committed = false;
};
}  // namespace output_file_detail

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
  explicit PendingFile(const std::string& target) {
    using namespace output_file_detail;
    const Destination destination = Resolve(target);
    if (destination.ownDescriptor >= 0) {
      state_ = std::make_unique<PendingState>(
          target, DuplicateForWriting(target, destination.ownDescriptor));
      return;
    }
    if (destination.throughProc || (destination.exists && !S_ISREG(destination.status.st_mode))) {
      if (S_ISDIR(destination.status.st_mode)) throw Failure("write", target, EISDIR);
      state_ = std::make_unique<PendingState>(target, OpenInPlace(target, destination.path));
      return;
    }

    // Refused as `>` would refuse it, although the rename alone would not need the permission.
    if (destination.exists &&
        ::faccessat(AT_FDCWD, destination.path.c_str(), W_OK, AT_EACCESS) != 0) {
      throw Failure("write", target, errno);
    }
    const std::string directory = DirectoryOf(destination.path);
    if (destination.exists && OwnerAloneMayReplace(directory, destination.status.st_uid)) {
      throw OutputError(OthersFileMessage(target));
    }
    // Only the owner may read it until it has the replaced file's mode; 0666 lets umask decide the
    // mode of a new file, as for `>`.
    const mode_t mode = destination.exists ? S_IRUSR | S_IWUSR : 0666;
    try {
      state_ = std::make_unique<PendingState>(
          target,
          std::make_unique<ReplacementFile>(directory, NameOf(destination.path), target, mode));
    } catch (const std::system_error& e) {
      const int error = e.code().value();
      if (!destination.exists) throw Failure("write", target, error);
      throw OutputError("cannot replace '" + target + "': no file can be made beside it in '" +
                        directory + "': " + std::strerror(error));
    }
    if (destination.exists) {
      TakeOwnerAndMode(state_->replacement->Descriptor(), target, destination.status);
    }
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  std::ostream& Stream() { return state_->stream; }

  // Whether this output and other write to one file: a descriptor of this process, named as
  // /dev/fd/N, may be the other's temporary file, which no path comparison can see.
  bool SameFileAs(const PendingFile& other) const {
    struct stat mine = {};
    struct stat theirs = {};
    return ::fstat(Descriptor(), &mine) == 0 && ::fstat(other.Descriptor(), &theirs) == 0 &&
           output_file_detail::SameFile(mine, theirs);
  }

  // Writes out what is buffered and, for a file that replaces its target, syncs it, so that a
  // full disk shows before any output takes its target's place. Throws OutputError.
  void Finish() {
    using namespace output_file_detail;
    PendingState& state = *state_;
    if (state.committed) return;
    state.stream.flush();
    if (state.buffer.Error() != 0) throw Failure("write", state.target, state.buffer.Error());
    if (state.replacement == nullptr) return;
    try {
      state.replacement->Sync();
    } catch (const std::system_error& e) {
      throw OutputError(e.what());
    }
  }

  // Finishes the file, then puts the content in place. Throws OutputError.
  void Commit() {
    using namespace output_file_detail;
    PendingState& state = *state_;
    if (state.committed) return;
    Finish();
    if (state.replacement == nullptr) {
      if (const int error = state.file.Close(); error != 0) {
        throw Failure("write", state.target, error);
      }
    } else {
      try {
        state.replacement->Commit();
      } catch (const std::system_error& e) {
        throw OutputError(e.what());
      }
    }
    state.committed = true;
  }

 private:
  int Descriptor() const {
    return state_->replacement ? state_->replacement->Descriptor() : state_->file.Get();
  }

  std::unique_ptr<output_file_detail::PendingState> state_;
};

namespace output_file_detail {

// What a target will be: a file (device and inode), or a name in a directory not yet taken.
struct Identity {
  dev_t device;
  ino_t inode;
  std::string name;
  bool operator==(const Identity&) const = default;
};

inline std::optional<Identity> IdentityOf(const std::string& target) {
  Destination destination;
  try {
    destination = Resolve(target);
  } catch (const OutputError&) {
    return std::nullopt;
  }
  struct stat status = destination.status;
  std::string name;
  bool found = true;
  if (destination.ownDescriptor >= 0) {
    found = ::fstat(destination.ownDescriptor, &status) == 0;
  } else if (destination.throughProc) {
    found = ::stat(destination.path.c_str(), &status) == 0;
  } else if (!destination.exists) {
    found = ::stat(DirectoryOf(destination.path).c_str(), &status) == 0;
    name = NameOf(destination.path);
  }
  if (!found) return std::nullopt;
  return Identity{status.st_dev, status.st_ino, name};
}

}  // namespace output_file_detail

// Whether two target paths lead to one file once links are followed: the same file (hard links
// included), or the same name in the same directory for a file that does not exist yet. Paths
// that cannot be looked up compare unequal; opening them reports why.
inline bool SameDestination(const std::string& first, const std::string& second) {
  const std::optional<output_file_detail::Identity> a = output_file_detail::IdentityOf(first);
  return a && a == output_file_detail::IdentityOf(second);
}

// Writes text to path as a PendingFile does. Throws OutputError.
inline void WriteFile(const std::string& path, std::string_view text) {
  PendingFile file(path);
  file.Stream() << text;
  file.Commit();
}

}  // namespace allelix::experiment
