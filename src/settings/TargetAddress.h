// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace uvq::settings {

// The four parts of an address as the window's part fields show them. A part the scan does
// not reach stays empty (nullopt): the field then keeps what it shows.
using AddressParts = std::array<std::optional<std::string>, 4>;

// Cuts at the first three dots; the fourth part is everything after the third dot, further
// dots included. The last character is never looked at, so a trailing dot does not count.
AddressParts SplitAddress(std::string_view text);

// Outcome of stepping one part: the new text, or the message to show the operator.
struct PartStep {
  std::optional<std::string> value;
  std::string error;
};

// Steps one part up (to at most 255) or down (to at least 0). Values already outside 0..255
// are not clamped: they only move towards the range. Text that is not an integer gives
// "'<text>' is not a valid integer value".
PartStep StepPart(std::string_view text, bool up);

// The four part texts as they stand, joined by dots.
std::string JoinAddress(std::string_view part1, std::string_view part2, std::string_view part3,
                        std::string_view part4);

}  // namespace uvq::settings
