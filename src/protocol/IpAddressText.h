#pragma once

#include <optional>
#include <string_view>

#include "protocol/ControlPdu.h"

namespace uvq::protocol {

// An address as typed: exactly three dots, four parts, each converted by ParseIntegerText and
// within 0 to 255. Negative parts are refused, not wrapped to a byte.
std::optional<Ipv4Bytes> ParseIpAddressParts(std::string_view text);

// Whether a unit may be given this address: not 0.x.y.z ("this network"), not multicast
// (224.0.0.0/4) and not 240.0.0.0/4 (reserved, with the limited broadcast 255.255.255.255).
// A unit told to take one of those could no longer be reached.
bool IsUsableUnitAddress(const Ipv4Bytes& address);

// A new unit address as typed by the operator: ParseIpAddressParts, then IsUsableUnitAddress.
std::optional<Ipv4Bytes> ParseUnitIpAddress(std::string_view text);

}  // namespace uvq::protocol
