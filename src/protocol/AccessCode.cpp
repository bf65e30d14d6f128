// SPDX-License-Identifier: Apache-2.0
#include "protocol/AccessCode.h"

namespace uvq::protocol {
namespace {

// Decodes one UTF-8 sequence at `i`; returns the code point or -1 for malformed input.
int32_t NextCodePoint(std::string_view text, size_t& i) {
  const auto lead = static_cast<uint8_t>(text[i++]);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || i + static_cast<size_t>(extra) > text.size()) return -1;
  int32_t cp = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    const auto b = static_cast<uint8_t>(text[i++]);
    if ((b & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (b & 0x3F);
  }
  return cp;
}

}  // namespace

AccessCode::AccessCode(std::string_view utf8) {
  size_t i = 0;
  while (i < utf8.size()) {
    const int32_t cp = NextCodePoint(utf8, i);
    if (cp < 0 || cp > 0xFF) {
      problem_ = "Access code refused: a character is outside the Latin-1 code page - nothing sent";
      length_ = 0;
      return;
    }
    if (length_ == bytes_.size()) {
      problem_ = "Access code refused: longer than " + std::to_string(kMaxAccessCodeLength) +
                 " bytes - nothing sent";
      length_ = 0;
      return;
    }
    bytes_[length_++] = static_cast<uint8_t>(cp);
  }
}

}  // namespace uvq::protocol
