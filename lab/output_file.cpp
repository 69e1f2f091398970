#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace allelix::lab {

namespace {

std::string Failure(const std::string& what, const std::string& path, int error) {
  return "cannot " + what + " '" + path + "': " + std::strerror(error);
}

}  // namespace

PendingFile::PendingFile(std::string target) : target_(std::move(target)) {
  std::error_code code;
  if (std::filesystem::is_directory(target_, code)) {
    throw OutputError(Failure("write", target_, EISDIR));
  }
  const std::filesystem::path path(target_);
  // A hidden name in the target's own directory, so the final rename stays on one file system.
  std::string hidden = ".";
  hidden += path.filename().string();
  const std::string stem = (path.parent_path() / hidden).string();
  for (int attempt = 0;; ++attempt) {
    temporary_ = stem + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    // Exclusive creation never reuses a file someone else is writing; 0666 lets umask decide.
    const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (errno != EEXIST || attempt == 99) throw OutputError(Failure("write", target_, errno));
  }
  stream_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!stream_) {
    std::remove(temporary_.c_str());
    throw OutputError("cannot write '" + target_ + "'");
  }
}

PendingFile::~PendingFile() {
  if (!committed_) {
    stream_.close();
    std::remove(temporary_.c_str());
  }
}

void PendingFile::Commit() {
  stream_.flush();
  stream_.close();
  if (stream_.fail()) throw OutputError("cannot finish writing '" + target_ + "'");
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    throw OutputError(Failure("replace", target_, errno));
  }
  committed_ = true;
}

}  // namespace allelix::lab
