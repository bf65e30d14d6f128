// SPDX-License-Identifier: Apache-2.0
#include "platform/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace uvq::platform {
namespace {

[[noreturn]] void ThrowErrno(int error) {
  throw uvq::PlatformError(std::system_category().message(error));
}

}  // namespace

PosixRecordFile::PosixRecordFile(int fd) : fd_(fd) {}

PosixRecordFile::~PosixRecordFile() {
  ::close(fd_);
}

int64_t PosixRecordFile::size() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) ThrowErrno(errno);
  return static_cast<int64_t>(info.st_size);
}

size_t PosixRecordFile::read(std::span<uint8_t> buffer) {
  size_t filled = 0;
  while (filled < buffer.size()) {
    if (aheadPos_ == aheadLength_ && !refill()) break;
    const size_t n = std::min(buffer.size() - filled, aheadLength_ - aheadPos_);
    std::memcpy(buffer.data() + filled, ahead_.data() + aheadPos_, n);
    aheadPos_ += n;
    filled += n;
  }
  return filled;
}

bool PosixRecordFile::refill() {
  for (;;) {
    const ssize_t got = ::read(fd_, ahead_.data(), ahead_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ThrowErrno(errno);
    aheadPos_ = 0;
    aheadLength_ = static_cast<size_t>(got);
    return got > 0;
  }
}

namespace {

std::string NotRegular(mode_t mode) {
  const char* kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "something else";
  return std::string("is ") + kind + ", not a regular file";
}

}  // namespace

OpenedRecordFile OpenRecordFile(const std::string& path) {
  // O_NONBLOCK so a FIFO (or a device) cannot hold the open until a writer comes; it is cleared
  // again once the file is known to be a regular one.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {nullptr, std::system_category().message(errno), false};
  auto file = std::make_unique<PosixRecordFile>(fd);  // closes fd on every refusal below

  struct stat info {};
  if (::fstat(fd, &info) != 0) return {nullptr, std::system_category().message(errno), false};
  // A pipe, a device such as /dev/zero or a directory is no image, however it is reached.
  if (!S_ISREG(info.st_mode)) return {nullptr, NotRegular(info.st_mode), true};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    return {nullptr, std::system_category().message(errno), false};
  return {std::move(file), {}, false};
}

uvq::OpenedFile PosixFileSystem::openForReading(const std::string& path) {
  OpenedRecordFile opened = OpenRecordFile(path);
  return {std::move(opened.file), std::move(opened.problem), opened.notRegularFile};
}

}  // namespace uvq::platform
