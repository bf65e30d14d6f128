// SPDX-License-Identifier: Apache-2.0
#include "settings/SettingsFileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace uvq::settings {
namespace {

SettingsFileText Failed(int error) {
  SettingsFileText result;
  result.problem = std::strerror(error);
  result.missing = error == ENOENT || error == ENOTDIR;
  return result;
}

SettingsFileText Refused(std::string problem) {
  SettingsFileText result;
  result.problem = std::move(problem);
  return result;
}

std::string TooLargeText(size_t limit) {
  if (limit % (1024 * 1024) == 0) return "is larger than " + std::to_string(limit >> 20) + " MiB";
  return "is larger than " + std::to_string(limit) + " bytes";
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

SettingsFileText ReadSettingsFileText(const std::string& path, size_t limit) {
  // O_NONBLOCK keeps a FIFO from holding the open until a writer comes; for the regular files
  // that are read it changes nothing.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed(errno);
  const Descriptor file(fd);

  struct stat info {};
  if (::fstat(fd, &info) != 0) return Failed(errno);
  // A FIFO, a device such as /dev/zero or a directory could block or never end.
  if (!S_ISREG(info.st_mode)) return Refused("is not a regular file");
  if (info.st_size > static_cast<off_t>(limit)) return Refused(TooLargeText(limit));

  // Read to the end rather than trusting st_size, but never more than one byte past the limit:
  // that byte tells a file that grew since fstat from one that fits.
  SettingsFileText result;
  result.text.reserve(static_cast<size_t>(info.st_size) + 1);
  char chunk[4096];
  while (result.text.size() <= limit) {
    const size_t wanted = std::min(sizeof chunk, limit + 1 - result.text.size());
    const ssize_t got = ::read(fd, chunk, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Failed(errno);
    if (got == 0) break;
    result.text.append(chunk, static_cast<size_t>(got));
  }
  if (result.text.size() > limit) return Refused(TooLargeText(limit));
  return result;
}

}  // namespace uvq::settings
