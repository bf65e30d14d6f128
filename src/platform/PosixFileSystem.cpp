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

std::unique_ptr<uvq::RecordFile> PosixFileSystem::openForReading(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixRecordFile>(fd);
}

}  // namespace uvq::platform
