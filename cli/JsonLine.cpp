// SPDX-License-Identifier: Apache-2.0
#include "JsonLine.h"

#include <cmath>
#include <cstdio>

#include "Escaped.h"

namespace uvq::cli {

void AppendJsonString(std::string& out, std::string_view value) {
  out += '"';
  for (size_t i = 0; i < value.size();) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(value, i);
      if (n == 0) {
        // Not UTF-8 (a file name in another encoding): its exact byte, written \xHH.
        char code[8];
        std::snprintf(code, sizeof code, "\\\\x%02X", c);
        out += code;
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
