// SPDX-License-Identifier: Apache-2.0
#include "store/db/SqlValue.h"

namespace uvq::store {

int64_t SqlValue::asNumber() const {
  if (kind == Kind::Number) return number;
  if (kind == Kind::Text && !text.empty()) {
    try {
      return std::stoll(text);
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

std::string SqlValue::asText() const {
  if (kind == Kind::Number) return std::to_string(number);
  return text;
}

std::string Placeholder(size_t number) {
  return "$" + std::to_string(number);
}

}  // namespace uvq::store
