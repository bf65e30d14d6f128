// SPDX-License-Identifier: Apache-2.0
#include "locks/UnitLock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace uvq::locks {
namespace {

class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// An abstract address: a leading NUL, then the name, without a terminating NUL.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

std::string UserName(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::string ProgramName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Who listens on `name`: "uvq-loader (process 4242, user alice)". The system answers a
// connection with the listener's credentials; the connection is never accepted and is
// dropped at once.
std::string Holder(const std::string& name, std::optional<pid_t>& pid) {
  Socket probe;
  sockaddr_un address;
  const socklen_t length = AbstractAddress(name, address);
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (probe.get() < 0 ||
      ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      credentials.pid <= 0)
    return "another program";
  pid = credentials.pid;
  const std::string program = ProgramName(credentials.pid);
  return (program.empty() ? std::string("a program") : program) + " (process " +
         std::to_string(credentials.pid) + ", user " + UserName(credentials.uid) + ")";
}

// The abstract names bound on this machine (its network namespace) that start with `prefix`.
std::vector<std::string> BoundNamesStartingWith(const std::string& prefix) {
  std::vector<std::string> names;
  std::ifstream table("/proc/net/unix");
  std::string line;
  const std::string wanted = " @" + prefix;
  while (std::getline(table, line)) {
    const size_t at = line.find(wanted);
    if (at != std::string::npos) names.push_back(line.substr(at + 2));
  }
  return names;
}

}  // namespace

UnitLock::UnitLock(UnitLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)) {}

UnitLock& UnitLock::operator=(UnitLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    name_ = std::move(other.name_);
  }
  return *this;
}

UnitLock::~UnitLock() {
  if (fd_ >= 0) ::close(fd_);  // the name is free again at once
}

LockAttempt TryLockUnit(const std::string& address, const std::optional<std::string>& unitId,
                        const std::string& scope) {
  const std::string base =
      "uvq-unit-lock" + (scope.empty() ? "" : "-" + scope) + "/" + address + "/";
  const std::string own = base + (unitId ? *unitId : "*");
  const std::string shown = address + (unitId ? " (unit " + *unitId + ")" : " (every unit)");
  LockAttempt attempt;
  const auto refuse = [&](const std::string& heldName, const std::string& heldShown) {
    attempt.problem = heldShown + " is in use by " + Holder(heldName, attempt.holder);
    return std::move(attempt);
  };

  Socket socket;
  sockaddr_un name;
  const socklen_t length = AbstractAddress(own, name);
  if (socket.get() < 0) {
    attempt.problem = "cannot lock " + shown + ": " + std::strerror(errno);
    return attempt;
  }
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&name), length) != 0) {
    if (errno == EADDRINUSE) return refuse(own, shown);
    attempt.problem = "cannot lock " + shown + ": " + std::strerror(errno);
    return attempt;
  }
  // Refused callers connect to learn who holds it; they are never accepted, so the queue only
  // bounds how many of them can be told.
  if (::listen(socket.get(), 64) != 0) {
    attempt.problem = "cannot lock " + shown + ": " + std::strerror(errno);
    return attempt;
  }
  // The whole address and its units exclude each other. Both sides bind before they look, so
  // of two that start together at least one sees the other.
  for (const std::string& other : BoundNamesStartingWith(base)) {
    if (other == own) continue;
    const std::string otherUnit = other.substr(base.size());
    if (unitId && otherUnit != "*") continue;  // another unit behind the same address
    return refuse(other,
                  address + (otherUnit == "*" ? " (every unit)" : " (unit " + otherUnit + ")"));
  }
  return LockAttempt::Locked(socket.release(), shown);
}

}  // namespace uvq::locks
