#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace uvq::cli {

// An advisory lock on one unit (address and unit ID, or "any") for the length of a run, so two
// runs on one machine never talk to the same unit at once. A flock on a file in the lock
// directory: released by the system when the holder exits, however it ends. The file holds the
// holder's process ID so that a refused run can name it.
class UnitLock {
 public:
  UnitLock(UnitLock&& other) noexcept;
  UnitLock& operator=(UnitLock&& other) noexcept;
  UnitLock(const UnitLock&) = delete;
  UnitLock& operator=(const UnitLock&) = delete;
  ~UnitLock();

  const std::string& path() const { return path_; }

 private:
  friend struct LockAttempt;
  UnitLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// The outcome of TryLockUnit: the lock, or why not (a holder's pid when another process has it).
struct LockAttempt {
  std::optional<UnitLock> lock;
  std::string problem;          // one line, when not locked
  std::optional<pid_t> holder;  // the process holding it, when known

  static LockAttempt Locked(int fd, std::string path) {
    LockAttempt a;
    a.lock.emplace(UnitLock(fd, std::move(path)));
    return a;
  }
};

// Where lock files live: $XDG_RUNTIME_DIR/uvq, else /run/lock/uvq, else /tmp/uvq-UID; the
// first that exists or can be made.
std::string LockDirectory();

// Takes the lock for `address` ("10.1.2.3") and `unitId` (nullopt: any unit there) in
// `directory` (default: LockDirectory()), without waiting.
LockAttempt TryLockUnit(const std::string& address, const std::optional<std::string>& unitId,
                        const std::string& directory = {});

}  // namespace uvq::cli
