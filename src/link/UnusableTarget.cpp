#include "link/UnusableTarget.h"

#include <arpa/inet.h>

namespace uvq::link {

std::optional<std::string> UnusableTargetReason(in_addr address) {
  const uint32_t value = ntohl(address.s_addr);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  if (IN_MULTICAST(value)) return std::string("Refusing to send to multicast address ") + text;
  if (value == INADDR_BROADCAST)
    return std::string("Refusing to send to broadcast address ") + text;
  if (value == INADDR_ANY) return std::string("Refusing to send to address ") + text;
  return std::nullopt;
}

}  // namespace uvq::link
