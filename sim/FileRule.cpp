// SPDX-License-Identifier: Apache-2.0
#include "FileRule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace uvq::sim {

std::string NotRegularText(unsigned mode) {
  const char* kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : nullptr;
  return kind ? std::string("is ") + kind + ", not a regular file" : "is not a regular file";
}

std::optional<std::string> RefusedOutputPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::nullopt;
  return NotRegularText(info.st_mode);
}

bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes, std::string& problem) {
  // O_NONBLOCK: a FIFO without a reader fails the open at once (ENXIO) instead of holding it;
  // no O_TRUNC: nothing is cut before the file is known to be a regular one.
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    problem = RefusedOutputPath(path).value_or(std::strerror(error));
    return false;
  }
  const auto fail = [&](std::string why) {
    problem = std::move(why);
    ::close(fd);
    return false;
  };
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return fail(NotRegularText(info.st_mode));
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0)
    return fail(std::strerror(errno));
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? std::strerror(errno) : "nothing written");
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    problem = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace uvq::sim
