// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace uvq::reports {

// One flat JSON object of an event, built field by field in the order given. A thin layer over
// the JSON library: records (history rows, rollouts) have their one form in reports/RecordJson.
// Text that is not UTF-8 keeps its exact bytes written \xHH, so every line stays parseable
// whatever a unit or file name contains; numbers with a fraction are kept to three decimals.
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
  std::string text() const;

 private:
  nlohmann::ordered_json object_ = nlohmann::ordered_json::object();
};

}  // namespace uvq::reports
