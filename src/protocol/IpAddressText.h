#pragma once

#include <optional>
#include <string_view>

#include "protocol/ControlPdu.h"

namespace uvq::protocol {

// A new unit address as typed by the operator: exactly three dots, four parts, each converted
// by ParseIntegerText and within 0 to 255. Negative parts are refused, not wrapped to a byte.
std::optional<Ipv4Bytes> ParseUnitIpAddress(std::string_view text);

}  // namespace uvq::protocol
