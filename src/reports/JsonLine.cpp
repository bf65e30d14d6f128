// SPDX-License-Identifier: Apache-2.0
#include "reports/JsonLine.h"

#include <cmath>

#include "reports/TerminalText.h"

namespace uvq::reports {

namespace {

std::string Key(std::string_view name) {
  return reports::Utf8OrHexBytes(name);
}

}  // namespace

JsonLine& JsonLine::field(std::string_view name, std::string_view value) {
  object_[Key(name)] = reports::Utf8OrHexBytes(value);
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, int64_t value) {
  object_[Key(name)] = value;
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, double value) {
  // JSON has no infinity or NaN.
  object_[Key(name)] = std::isfinite(value)
                           ? nlohmann::ordered_json(std::round(value * 1000.0) / 1000.0)
                           : nlohmann::ordered_json(nullptr);
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, bool value) {
  object_[Key(name)] = value;
  return *this;
}

JsonLine& JsonLine::field(std::string_view name, const std::vector<std::string>& values) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const std::string& value : values) list.push_back(reports::Utf8OrHexBytes(value));
  object_[Key(name)] = std::move(list);
  return *this;
}

JsonLine& JsonLine::null(std::string_view name) {
  object_[Key(name)] = nullptr;
  return *this;
}

std::string JsonLine::text() const {
  return reports::WithoutRawControls(
      object_.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

}  // namespace uvq::reports
