// SPDX-License-Identifier: Apache-2.0
#include "window/WindowUnitGuard.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>

#include "link/NumericHost.h"
#include "protocol/IpAddressText.h"
#include "units/UvqTable.h"

namespace uvq::window {

std::optional<protocol::Ipv4Bytes> WindowUnitGuard::targetAddress() {
  const std::string host = host_();
  std::optional<in_addr> address = link::NumericHost(host);
  if (!address && !host.empty()) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
      address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
    }
  }
  if (!address) return std::nullopt;
  const uint32_t value = ntohl(address->s_addr);
  return protocol::Ipv4Bytes{static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                             static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

std::optional<std::string> WindowUnitGuard::lockUnit(std::optional<protocol::UvqId> unit) {
  const std::optional<protocol::Ipv4Bytes> target = targetAddress();
  // Without an address the link cannot send either; it says so itself.
  if (!target) return std::nullopt;
  const std::string address = protocol::Ipv4Text(*target);
  std::optional<std::string> id;
  if (unit) id = units::IdText(*unit);
  const std::string key = std::string(address) + "/" + id.value_or("*");
  if (lock_ && key == lockedKey_) return std::nullopt;  // a run started again on its unit
  lock_.reset();
  locks::LockAttempt attempt = locks::TryLockUnit(address, id);
  if (!attempt.lock) return "Unit locked elsewhere, nothing sent: " + attempt.problem;
  lock_ = std::move(attempt.lock);
  lockedKey_ = key;
  return std::nullopt;
}

}  // namespace uvq::window
