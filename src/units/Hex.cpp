// SPDX-License-Identifier: Apache-2.0
#include "units/Hex.h"

#include <cctype>

namespace uvq::units {

std::string HexByte(uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

int32_t HexToInt(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    auto code = static_cast<uint8_t>(c);
    if (code >= 'a' && code <= 'z') code = static_cast<uint8_t>(code - 32);
    const uint32_t digit = code >= 65 ? code - 55u : code - 48u;  // unsigned wrap is intended
    value = value * 16 + digit;
  }
  return static_cast<int32_t>(value);
}

std::optional<std::string> NormalizedUnitId(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::string id(4 - text.size(), '0');
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return id;
}

}  // namespace uvq::units
