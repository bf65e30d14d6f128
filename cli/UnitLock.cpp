#include "UnitLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace uvq::cli {
namespace {

bool UsableDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::optional<pid_t> ReadHolder(int fd) {
  char text[32] = "";
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (pid <= 0 || end == text) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace

UnitLock::UnitLock(UnitLock&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

UnitLock& UnitLock::operator=(UnitLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

UnitLock::~UnitLock() {
  // Closing the descriptor releases the lock; the file stays for the next run to reuse, since
  // removing it would race with a process that has just opened it.
  if (fd_ >= 0) ::close(fd_);
}

std::string LockDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::string dir = std::string(runtime) + "/uvq";
    if (UsableDirectory(dir)) return dir;
  }
  if (UsableDirectory("/run/lock/uvq")) return "/run/lock/uvq";
  const std::string dir = "/tmp/uvq-" + std::to_string(::getuid());
  UsableDirectory(dir);
  return dir;
}

LockAttempt TryLockUnit(const std::string& address, const std::optional<std::string>& unitId,
                        const std::string& directory) {
  const std::string dir = directory.empty() ? LockDirectory() : directory;
  const std::string unit = unitId ? *unitId : "any";
  const std::string path = dir + "/" + address + "-" + unit + ".lock";
  const std::string name = address + " (unit " + unit + ")";
  LockAttempt attempt;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    attempt.problem = "cannot lock " + name + ": " + path + ": " + std::strerror(errno);
    return attempt;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    attempt.holder = error == EWOULDBLOCK ? ReadHolder(fd) : std::nullopt;
    ::close(fd);
    if (error != EWOULDBLOCK) {
      attempt.problem = "cannot lock " + name + ": " + std::strerror(error);
    } else {
      attempt.problem =
          name + " is in use by another uvq run" +
          (attempt.holder ? " (process " + std::to_string(*attempt.holder) + ")" : std::string()) +
          "; lock file " + path;
    }
    return attempt;
  }
  // Ours now: record who holds it for anyone refused later.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds without the note; a refused run just cannot name us.
  }
  return LockAttempt::Locked(fd, path);
}

}  // namespace uvq::cli
