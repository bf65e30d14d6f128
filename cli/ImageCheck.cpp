#include "ImageCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace uvq::cli {
namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

std::optional<ImageProblem> CheckImage(const std::string& path, bool allowPartialRecord,
                                       int64_t* size) {
  const std::string name = "image '" + path + "'";
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return ImageProblem{"cannot open " + name + ": " + std::strerror(errno)};
  struct stat info {};
  const bool statted = ::fstat(fd, &info) == 0;
  const int statErrno = errno;
  ::close(fd);
  if (!statted) return ImageProblem{"cannot read " + name + ": " + std::strerror(statErrno)};
  if (!S_ISREG(info.st_mode))
    return ImageProblem{name + " is " + KindOf(info.st_mode) + ", not an image file"};
  if (info.st_size == 0) return ImageProblem{name + " is empty"};
  if (info.st_size % kRecordBytes != 0 && !allowPartialRecord)
    return ImageProblem{name + " is " + std::to_string(info.st_size) +
                        " bytes, not a whole number of 24-byte records (" +
                        std::to_string(info.st_size % kRecordBytes) +
                        " bytes left over); --allow-partial-record sends it anyway"};
  if (size) *size = info.st_size;
  return std::nullopt;
}

}  // namespace uvq::cli
