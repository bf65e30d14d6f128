// SPDX-License-Identifier: Apache-2.0
#include "reports/TerminalText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace uvq::reports {

size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t minimum = 0;
  uint32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

std::string Escaped(std::string_view text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  const auto hex = [&](unsigned char c) {
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02X", c);
    out += code;
  };
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(text, i);
      // C1 controls (U+0080 to U+009F) are two bytes, C2 80 to C2 9F.
      const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (n == 0 || c1) {
        for (size_t k = 0; k < (n == 0 ? 1 : n); ++k) hex(static_cast<unsigned char>(text[i + k]));
        i += n == 0 ? 1 : n;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    if ((c < 0x20 || c == 0x7F) && !(keepLineBreaks && (c == '\n' || c == '\t')))
      hex(c);
    else
      out += static_cast<char>(c);
    ++i;
  }
  return out;
}

std::string Utf8OrHexBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : Utf8SequenceLength(text, i);
    if (n == 0) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      out += code;
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string WithoutRawControls(std::string json) {
  const auto raw = [](unsigned char c) { return c == 0x7F || c == 0xC2; };
  if (std::find_if(json.begin(), json.end(), raw) == json.end()) return json;
  std::string out;
  out.reserve(json.size() + 16);
  for (size_t i = 0; i < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    const unsigned next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
    char code[8];
    if (c == 0x7F) {
      out += "\\u007f";
    } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {
      std::snprintf(code, sizeof code, "\\u%04x", next);
      out += code;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace uvq::reports
