// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace uvq::link {

// Targets no unit can be at, by the rule for a unit's new address (IsUsableUnitAddress): a
// datagram to a multicast group or to the limited broadcast reaches every listener on the
// network, 0.x.y.z names no one and 240.0.0.0/4 is reserved. The reason, in words, when
// `address` is one of them.
std::optional<std::string> UnusableTargetReason(in_addr address);

}  // namespace uvq::link
