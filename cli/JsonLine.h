// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace uvq::cli {

// One flat JSON object, built field by field. Hand-written: the output holds only strings and
// numbers, so a JSON library would add a build dependency for a dozen lines of escaping.
class JsonLine {
 public:
  JsonLine& field(std::string_view key, std::string_view value);
  JsonLine& field(std::string_view key, const char* value) {
    return field(key, std::string_view(value));
  }
  JsonLine& field(std::string_view key, int64_t value);
  JsonLine& field(std::string_view key, int value) { return field(key, int64_t{value}); }
  JsonLine& field(std::string_view key, double value);
  JsonLine& field(std::string_view key, bool value);
  JsonLine& field(std::string_view key, const std::vector<std::string>& values);  // array
  JsonLine& null(std::string_view key);
  // The finished object, without a line break.
  std::string text() const { return text_ + "}"; }

 private:
  void key(std::string_view name);
  std::string text_ = "{";
};

// Appends `value` as a JSON string (quotes included). Bytes that are not valid UTF-8 are
// replaced by U+FFFD so every line stays parseable whatever a unit or file name contains.
void AppendJsonString(std::string& out, std::string_view value);

}  // namespace uvq::cli
