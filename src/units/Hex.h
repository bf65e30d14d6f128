// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace uvq::units {

// Two upper-case hexadecimal digits, high nibble first.
std::string HexByte(uint8_t value);

// Converts without validation, as unit IDs typed into the selector always have been: each
// character (upper-cased a-z) adds code-55 when its code is 65 or more, else code-48; wraps at
// 32 bits. So "G" counts as 16 and a blank as -16, and no text is ever refused.
int32_t HexToInt(std::string_view text);

// A unit ID as typed where it is checked (command line, filters, the dashboard's paths): 1 to 4
// hexadecimal digits, as four upper-case digits ("1a" is "001A"); nullopt for anything else.
std::optional<std::string> NormalizedUnitId(std::string_view text);

}  // namespace uvq::units
