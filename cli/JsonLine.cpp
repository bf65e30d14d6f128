#include "JsonLine.h"

#include <cmath>
#include <cstdio>

namespace uvq::cli {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is not one.
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

}  // namespace

void AppendJsonString(std::string& out, std::string_view value) {
  out += '"';
  for (size_t i = 0; i < value.size();) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(value, i);
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(value.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void JsonLine::key(std::string_view name) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(text_, name);
  text_ += ':';
}

JsonLine& JsonLine::field(std::string_view name, std::string_view value) {
  key(name);
  AppendJsonString(text_, value);
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, int64_t value) {
  key(name);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, double value) {
  key(name);
  if (!std::isfinite(value)) {
    text_ += "null";  // JSON has no infinity or NaN
    return *this;
  }
  char number[32];
  std::snprintf(number, sizeof number, "%.3f", value);
  text_ += number;
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, bool value) {
  key(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, const std::vector<std::string>& values) {
  key(name);
  text_ += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    AppendJsonString(text_, values[i]);
  }
  text_ += ']';
  return *this;
}

JsonLine& JsonLine::null(std::string_view name) {
  key(name);
  text_ += "null";
  return *this;
}

}  // namespace uvq::cli
