// SPDX-License-Identifier: Apache-2.0
#include "fleet/ClaimToken.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <random>

#include "recording/StationFacts.h"

namespace uvq::fleet {

std::string NewClaimToken() {
  std::random_device random;
  const uint64_t part = (static_cast<uint64_t>(random()) << 32) ^ random();
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(part));
  return recording::HostName() + ":" + std::to_string(::getpid()) + ":" + hex;
}

bool ClaimTokenHolderGone(const std::string& token) {
  const size_t last = token.rfind(':');
  if (last == std::string::npos || last == 0) return false;
  const size_t middle = token.rfind(':', last - 1);
  if (middle == std::string::npos) return false;
  if (token.substr(0, middle) != recording::HostName()) return false;
  const std::string pidText = token.substr(middle + 1, last - middle - 1);
  int pid = 0;
  const auto [end, error] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
  if (error != std::errc() || end != pidText.data() + pidText.size() || pid <= 1) return false;
  if (pid == ::getpid()) return false;
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  // A pid in use again by something that is no uvq: the holder is gone all the same.
  std::ifstream comm("/proc/" + pidText + "/comm");
  std::string name;
  if (!std::getline(comm, name)) return false;
  return name != "uvq";
}

}  // namespace uvq::fleet
