#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace uvq::link {

// Targets no unit can be at: a datagram to a multicast group or to the limited broadcast
// reaches every listener on the network, and 0.0.0.0 names no one. The reason, in words, when
// `address` is one of them.
std::optional<std::string> UnusableTargetReason(in_addr address);

}  // namespace uvq::link
