// SPDX-License-Identifier: Apache-2.0
#include "dashboard/ListenAddress.h"

#include <charconv>

#include "protocol/IpAddressText.h"

namespace uvq::dashboard {

bool ListenAddress::loopback() const {
  const auto bytes = protocol::ParseIpAddressParts(host);
  return bytes && (*bytes)[0] == 127;
}

std::string ListenAddress::text() const {
  return host + ":" + std::to_string(port);
}

std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& problem) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    problem = "--listen takes HOST:PORT (for example 127.0.0.1:8080), not '" + text + "'";
    return std::nullopt;
  }
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host == "localhost") address.host = "127.0.0.1";
  // The parts must be plain decimal numbers, never a name to look up.
  if (!protocol::ParseDottedAddress(address.host)) {
    problem = "--listen: '" + address.host + "' is not an IPv4 address a.b.c.d";
    return std::nullopt;
  }
  const std::string port = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || value > 65535 ||
      port.size() > 5) {
    problem = "--listen: '" + port + "' is not a port number (0 to 65535)";
    return std::nullopt;
  }
  address.port = static_cast<uint16_t>(value);
  return address;
}

}  // namespace uvq::dashboard
