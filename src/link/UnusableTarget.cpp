// SPDX-License-Identifier: Apache-2.0
#include "link/UnusableTarget.h"

#include <arpa/inet.h>

#include "protocol/IpAddressText.h"

namespace uvq::link {

// The same rule as for a unit's new address: where no unit can be, nothing is sent.
std::optional<std::string> UnusableTargetReason(in_addr address) {
  const uint32_t value = ntohl(address.s_addr);
  const protocol::Ipv4Bytes bytes{static_cast<uint8_t>(value >> 24),
                                  static_cast<uint8_t>(value >> 16),
                                  static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  if (!protocol::UnusableUnitAddressReason(bytes)) return std::nullopt;
  const char* kind = IN_MULTICAST(value)         ? "multicast address "
                     : value == INADDR_BROADCAST ? "broadcast address "
                     : bytes[0] >= 240           ? "reserved address "
                                                 : "address ";
  return std::string("Refusing to send to ") + kind + protocol::Ipv4Text(bytes);
}

}  // namespace uvq::link
