// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/PduLayout.h"

namespace uvq::protocol {

// An access code as the unit reads it: one byte per character in the single-byte Latin-1 code
// page, no length byte, no terminator, and it must fit the transmit buffer after the header.
class AccessCode {
 public:
  // Encodes UTF-8 text; on failure `problem()` says why and nothing may be sent.
  explicit AccessCode(std::string_view utf8);
  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  std::span<const uint8_t> bytes() const { return {bytes_.data(), length_}; }

 private:
  std::array<uint8_t, kMaxAccessCodeLength> bytes_{};
  size_t length_ = 0;
  std::string problem_;
};

}  // namespace uvq::protocol
