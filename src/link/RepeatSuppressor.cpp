// SPDX-License-Identifier: Apache-2.0
#include "link/RepeatSuppressor.h"

namespace uvq::link {

void RepeatSuppressor::offer(const std::string& line, Clock::time_point now, const Sink& sink) {
  if (any_ && line == last_ && now - lastLogged_ < window_) {
    ++suppressed_;
    return;
  }
  emitCount(sink);
  last_ = line;
  lastLogged_ = now;
  any_ = true;
  sink(line);
}

void RepeatSuppressor::flush(Clock::time_point now, const Sink& sink) {
  if (suppressed_ > 0 && now - lastLogged_ >= window_) emitCount(sink);
}

void RepeatSuppressor::emitCount(const Sink& sink) {
  if (suppressed_ == 0) return;
  const size_t count = suppressed_;
  suppressed_ = 0;
  sink("(the previous message repeated " + std::to_string(count) +
       (count == 1 ? " more time)" : " more times)"));
}

}  // namespace uvq::link
