// SPDX-License-Identifier: Apache-2.0
#include "link/HostLookup.h"

#include <netdb.h>
#include <sys/socket.h>

namespace uvq::link {

std::variant<in_addr, std::string> LookUpIpv4(const std::string& host) {
  if (host.empty()) return std::string("no host name");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0 || !found) {
    if (found) freeaddrinfo(found);
    return std::string(status != 0 ? gai_strerror(status) : "no IPv4 address");
  }
  const in_addr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return address;
}

}  // namespace uvq::link
