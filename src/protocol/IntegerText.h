// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace uvq::protocol {

// The integer conversion used wherever an operator types a number: leading blanks skipped; an
// optional "+" or "-" then decimal digits; or, without a sign, hexadecimal digits after "$",
// "x", "X", "0x" or "0X". Anything else (empty text, trailing blanks, other characters) and
// values outside 32 bits fail. Hexadecimal values up to FFFFFFFF wrap to a signed value.
std::optional<int32_t> ParseIntegerText(std::string_view text);

}  // namespace uvq::protocol
