// Replacing a file's contents atomically: a reader, or a crash at any moment, finds either the
// old contents or the new ones, never a mixture. POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace allelix {

namespace detail {

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

  // Takes ownership of another descriptor, closing the one held.
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes now and reports the result, which a buffered network file system may use to report a
  // failed write.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

[[noreturn]] inline void ThrowWriteError(int error, const std::string& path,
                                         const std::string& doing) {
  throw std::system_error(error, std::generic_category(), "cannot write '" + path + "': " + doing);
}

[[noreturn]] inline void RefuseTarget(const std::string& path, const std::string& why) {
  throw std::runtime_error("cannot write '" + path + "': " + why);
}

inline std::string FileTypeName(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The file that replacing `path` writes: its directory and name within it, and, when it exists,
// its permission bits.
struct ReplaceTarget {
  std::string directory;
  std::string name;
  bool exists = false;
  mode_t mode = 0;
  uid_t owner = 0;
};

// Where a write to `path` lands: the path itself, or the final target of a symbolic link to a
// regular file. Refuses a path that exists and is not a regular file or a link to one, a link
// that leads nowhere, and a file that this process may not write.
inline ReplaceTarget ResolveReplaceTarget(const std::string& path) {
  if (path.empty()) RefuseTarget(path, "the file name is empty");
  std::string resolved = path;
  struct stat status {};
  bool exists = ::lstat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) ThrowWriteError(errno, path, "cannot examine it");
  if (exists && S_ISLNK(status.st_mode)) {
    if (::stat(path.c_str(), &status) != 0) {
      if (errno == ENOENT) {
        RefuseTarget(path, "it is a symbolic link to a file that does not exist");
      }
      ThrowWriteError(errno, path, "cannot follow the symbolic link");
    }
    if (!S_ISREG(status.st_mode)) {
      RefuseTarget(path, "it is a symbolic link to " + FileTypeName(status.st_mode));
    }
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (real == nullptr) ThrowWriteError(errno, path, "cannot follow the symbolic link");
    resolved = real.get();
  } else if (exists && !S_ISREG(status.st_mode)) {
    RefuseTarget(path, "it is " + FileTypeName(status.st_mode) + ", not a regular file");
  }
  if (exists && ::faccessat(AT_FDCWD, resolved.c_str(), W_OK, AT_EACCESS) != 0) {
    if (errno == EACCES) RefuseTarget(path, "the file is read-only");
    ThrowWriteError(errno, path, "cannot check its permissions");
  }
  ReplaceTarget target;
  const std::size_t slash = resolved.rfind('/');
  target.directory = slash == std::string::npos ? "." : resolved.substr(0, slash + 1);
  target.name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
  if (target.name.empty() || target.name == "." || target.name == "..") {
    RefuseTarget(path, "it names a directory");
  }
  target.exists = exists;
  target.mode = status.st_mode & 07777;
  target.owner = status.st_uid;
  return target;
}

// Writes all of bytes to fd, resuming after partial writes and interruptions.
inline int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ::ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// A temporary file beside the target, removed when it goes out of scope unless it was renamed.
class TemporaryFile {
 public:
  TemporaryFile(int directory, const std::string& targetName, const std::string& path, mode_t mode)
      : directory_(directory) {
    static std::atomic<unsigned> counter{0};
    // Long names are shortened so that the temporary name stays within the system's limit.
    const std::string stem = "." + targetName.substr(0, 128) + "." + std::to_string(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
      name_ = stem + "-" + std::to_string(counter++) + ".tmp";
      const int fd = ::openat(directory, name_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
      if (fd >= 0) {
        file_.Reset(fd);
        return;
      }
      if (errno != EEXIST) ThrowWriteError(errno, path, "cannot create a temporary file beside it");
    }
    ThrowWriteError(EEXIST, path, "cannot create a temporary file beside it");
  }
  ~TemporaryFile() {
    if (!renamed_) ::unlinkat(directory_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  FileDescriptor& File() { return file_; }
  const std::string& Name() const { return name_; }
  void Renamed() { renamed_ = true; }

 private:
  int directory_;
  std::string name_;
  FileDescriptor file_{-1};
  bool renamed_ = false;
};

}  // namespace detail

// A new file that takes a target's place whole: its contents go to a temporary file in the
// target's directory, and Commit syncs that file, renames it over the target and syncs the
// directory, so that a crash at any moment leaves the old file or the new one. Without Commit the
// temporary file is removed. Throws std::system_error, with a message naming `path` (the target
// as the user named it), when the operating system fails.
class ReplacementFile {
 public:
  // A temporary file of permission bits `mode` (less the umask) for the file `name` in
  // `directory`.
  ReplacementFile(const std::string& directory, const std::string& name, const std::string& path,
                  mode_t mode)
      : directory_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        name_(name),
        path_(path) {
    if (!directory_.IsOpen()) detail::ThrowWriteError(errno, path, "cannot open its directory");
    temporary_.emplace(directory_.Get(), name, path, mode);
  }

  // The temporary file, open for writing.
  int Descriptor() { return temporary_->File().Get(); }

  // Syncs and closes the temporary file, where a full disk or a failing device shows at the
  // latest, without putting it in place yet; Commit does it when it has not been done.
  void Sync() {
    detail::FileDescriptor& file = temporary_->File();
    if (!file.IsOpen()) return;
    int result = 0;
    do {
      result = ::fsync(file.Get());
    } while (result != 0 && errno == EINTR);
    if (result != 0) detail::ThrowWriteError(errno, path_, "syncing the file failed");
    if (file.Close() != 0) detail::ThrowWriteError(errno, path_, "closing the file failed");
  }

  void Commit() {
    Sync();
    if (::renameat(directory_.Get(), temporary_->Name().c_str(), directory_.Get(), name_.c_str()) !=
        0) {
      detail::ThrowWriteError(errno, path_, "renaming the temporary file over it failed");
    }
    temporary_->Renamed();
    // Some file systems cannot sync a directory (EINVAL); the rename is then as durable as they
    // make it.
    if (::fsync(directory_.Get()) != 0 && errno != EINVAL) {
      detail::ThrowWriteError(errno, path_,
                              "the new file is in place, but syncing its directory failed");
    }
  }

 private:
  detail::FileDescriptor directory_;
  std::string name_;
  std::string path_;
  std::optional<detail::TemporaryFile> temporary_;
};

// Replaces the file at `path` by one holding exactly `bytes`, or creates it, as a ReplacementFile
// does. A symbolic link to a regular file has its target replaced and stays a link. Refused,
// with nothing changed: a path that exists and is not a regular file (a directory, FIFO, device,
// socket), a link to one or to nothing, and a file this process may not write. An existing file
// keeps its permission bits (not its owner, and another hard link to it keeps the old contents);
// a new one gets 0666 less the umask.
// Throws std::system_error for a failure of the operating system (a full disk, say) and
// std::runtime_error for a refused target, with a message naming the path; the target is then
// unchanged and the temporary file removed. Only a crash leaves one behind, as
// .NAME.PID-N.tmp beside the target.
inline void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  const detail::ReplaceTarget target = detail::ResolveReplaceTarget(path);
  // Until it has the old file's mode, only the owner may read the new one: a reader who opened
  // it before the chmod would keep reading a private file's contents.
  ReplacementFile file(target.directory, target.name, path,
                       target.exists ? S_IRUSR | S_IWUSR : 0666);
  if (const int error = detail::WriteAll(file.Descriptor(), bytes); error != 0) {
    detail::ThrowWriteError(error, path, "writing the temporary file failed");
  }
  if (target.exists && ::fchmod(file.Descriptor(), target.mode) != 0) {
    detail::ThrowWriteError(errno, path, "cannot give the new file the old one's permissions");
  }
  file.Commit();
}

}  // namespace allelix
