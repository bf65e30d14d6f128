// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace uvq::dashboard {

// Where the dashboard listens: --listen HOST:PORT, an IPv4 address (or "localhost") and a port.
struct ListenAddress {
  std::string host;   // dotted IPv4
  uint16_t port = 0;  // 0: any free port (for tests)
  bool loopback() const;
  std::string text() const;  // "127.0.0.1:8080"
};

inline constexpr const char* kDefaultListen = "127.0.0.1:8080";

// nullopt with `problem` said when the text is not HOST:PORT.
std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& problem);

}  // namespace uvq::dashboard
