// SPDX-License-Identifier: Apache-2.0
#include "link/NumericHost.h"

#include <arpa/inet.h>

#include "protocol/IpAddressText.h"

namespace uvq::link {
namespace {

bool IsLocalhost(std::string_view host) {
  constexpr std::string_view kName = "LOCALHOST";
  if (host.size() != kName.size()) return false;
  for (size_t i = 0; i < host.size(); ++i) {
    const char c = host[i];
    const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper != kName[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<in_addr> NumericHost(std::string_view host) {
  if (IsLocalhost(host)) return in_addr{htonl(INADDR_LOOPBACK)};
  const std::optional<protocol::Ipv4Bytes> bytes = protocol::ParseIpAddressParts(host);
  if (!bytes) return std::nullopt;
  const uint32_t hostOrder = (uint32_t{(*bytes)[0]} << 24) | (uint32_t{(*bytes)[1]} << 16) |
                             (uint32_t{(*bytes)[2]} << 8) | uint32_t{(*bytes)[3]};
  return in_addr{htonl(hostOrder)};
}

}  // namespace uvq::link
