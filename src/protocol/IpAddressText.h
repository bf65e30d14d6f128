// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

#include "protocol/ControlPdu.h"

namespace uvq::protocol {

// An address as typed: exactly three dots, four parts, each converted by ParseIntegerText and
// within 0 to 255. Negative parts are refused, not wrapped to a byte.
std::optional<Ipv4Bytes> ParseIpAddressParts(std::string_view text);

// An address where a name may never stand (a listening address, a filter, an emulated unit's
// address): digits and dots only, four parts of 1 to 3 decimal digits each within 0 to 255.
std::optional<Ipv4Bytes> ParseDottedAddress(std::string_view text);

// An address as dotted text, a.b.c.d: from its bytes, or from a socket's in_addr.
std::string Ipv4Text(const Ipv4Bytes& address);
std::string Ipv4Text(in_addr address);

// Whether a unit may be given this address: not 0.x.y.z ("this network"), not multicast
// (224.0.0.0/4) and not 240.0.0.0/4 (reserved, with the limited broadcast 255.255.255.255).
// A unit told to take one of those could no longer be reached.
bool IsUsableUnitAddress(const Ipv4Bytes& address);

// A new unit address as typed by the operator: ParseIpAddressParts, then IsUsableUnitAddress.
std::optional<Ipv4Bytes> ParseUnitIpAddress(std::string_view text);

// The one rule for addresses no unit can be at, for targets and new addresses alike: the
// reason in words ("is reserved (240.0.0.0/4)"), or nullopt when a unit may be there.
std::optional<std::string> UnusableUnitAddressReason(const Ipv4Bytes& address);

// Why a unit reached at `reachedAt` must not be given `newAddress`: an unusable address, or a
// loopback address (127.0.0.0/8) for a unit that is not itself reached on loopback, which could
// never be reached again. nullopt when the change may be sent.
std::optional<std::string> NewAddressRefusal(const Ipv4Bytes& newAddress,
                                             const std::optional<Ipv4Bytes>& reachedAt);

}  // namespace uvq::protocol
