// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace uvq::units {

// Keeps lines about bad datagrams from flooding the log: the first few of each second are
// logged as they are, the rest only counted and summed up in one line once the second is over.
// A normal exchange, with an occasional late or doubled answer, never reaches the limit.
class LineBudget {
 public:
  static constexpr int kLinesPerSecond = 5;
  static constexpr int64_t kWindowMs = 1000;

  // True: log the line now. False: it is counted for the summary.
  bool take(int64_t nowMs) {
    if (!inWindow_ || nowMs - windowStart_ >= kWindowMs) {
      inWindow_ = true;
      windowStart_ = nowMs;
      taken_ = 0;
    }
    if (taken_ < kLinesPerSecond) {
      ++taken_;
      return true;
    }
    ++counted_;
    return false;
  }
  // Something to sum up (cheap: no clock needed to ask).
  bool pending() const { return counted_ > 0; }
  // The summary of a second that is over, once.
  std::optional<std::string> summary(int64_t nowMs) {
    if (counted_ == 0 || nowMs - windowStart_ < kWindowMs) return std::nullopt;
    const uint64_t n = counted_;
    counted_ = 0;
    return std::to_string(n) + " more bad datagrams set aside in the last second";
  }

 private:
  bool inWindow_ = false;
  int64_t windowStart_ = 0;
  int taken_ = 0;
  uint64_t counted_ = 0;
};

}  // namespace uvq::units
