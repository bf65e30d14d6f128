// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace uvq::locks {

// The lock on one unit (its resolved address and unit ID) for as long as a run or an erase
// works on it, shared by every program on the machine that talks to units: the command line
// and the window, whoever runs them and whatever their environment says.
//
// It is a listening Unix socket bound to an abstract name ("uvq-unit-lock/10.1.2.3/0100"):
// binding succeeds for one socket only, the system releases the name when the holder exits
// however it ends, and no file is made, so nothing is left behind and no folder's owner or
// permissions can keep a second user from seeing the first one's lock. Abstract names belong
// to the network namespace, which is also where an address names one unit. A refused caller
// connects to the name and asks the system who listens there, so the refusal names the holder.
class UnitLock {
 public:
  UnitLock(UnitLock&& other) noexcept;
  UnitLock& operator=(UnitLock&& other) noexcept;
  UnitLock(const UnitLock&) = delete;
  UnitLock& operator=(const UnitLock&) = delete;
  ~UnitLock();

  // "10.1.2.3 (unit 0100)", for messages.
  const std::string& name() const { return name_; }

 private:
  friend struct LockAttempt;
  UnitLock(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  int fd_ = -1;
  std::string name_;
};

// The outcome of TryLockUnit: the lock, or why not.
struct LockAttempt {
  std::optional<UnitLock> lock;
  std::string problem;          // one line, when not locked: who holds the unit
  std::optional<pid_t> holder;  // the process holding it, when the system says

  static LockAttempt Locked(int fd, std::string name) {
    LockAttempt a;
    a.lock.emplace(UnitLock(fd, std::move(name)));
    return a;
  }
};

// Takes the lock for unit `unitId` (four hex digits) at `address` ("10.1.2.3"), without waiting.
// nullopt stands for every unit there: it is refused while any unit at the address is locked,
// and a unit is refused while the whole address is. `scope` keeps tests apart from real runs.
LockAttempt TryLockUnit(const std::string& address, const std::optional<std::string>& unitId,
                        const std::string& scope = {});

}  // namespace uvq::locks
