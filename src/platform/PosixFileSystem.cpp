#include "platform/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
    const ssize_t got = ::read(fd_, buffer.data() + filled, buffer.size() - filled);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    filled += static_cast<size_t>(got);
  }
  return filled;
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
