// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace uvq::link {

// Keeps an error that repeats at once from flooding the log: a line identical to the last one
// logged, within `window` of it, is only counted. The count is logged as its own line before
// the next line that gets through, or by flush() once the window has passed.
class RepeatSuppressor {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(const std::string&)>;

  explicit RepeatSuppressor(std::chrono::milliseconds window) : window_(window) {}

  void offer(const std::string& line, Clock::time_point now, const Sink& sink);
  // Logs the pending count once the window since the last logged line has passed.
  void flush(Clock::time_point now, const Sink& sink);
  size_t suppressed() const { return suppressed_; }

 private:
  void emitCount(const Sink& sink);

  std::chrono::milliseconds window_;
  std::string last_;
  Clock::time_point lastLogged_{};
  bool any_ = false;
  size_t suppressed_ = 0;
};

}  // namespace uvq::link
