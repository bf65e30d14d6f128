// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>

#include "ports/Ports.h"

namespace uvq::jobs {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// The service's shared timer as a deadline the poll loop waits for. Behaves like a repeating
// widget timer: enable() starts a full interval from now, a new interval while running restarts
// it, and a tick whose handler leaves the timer running schedules the next one.
class DeadlineTimer final : public SharedTimer {
 public:
  void disable() override { enabled_ = false; }
  void enable() override { start(); }
  void setHandler(TimerRole role) override { role_ = role; }
  // Starts count from `*roundNow`, a run loop's time of its current round, instead of a clock
  // read each (a record's watchdog is restarted on every acknowledgement); nullptr: the steady
  // clock. The loop must keep it current: it is read whenever the timer starts.
  void useRoundClock(const TimePoint* roundNow) { roundNow_ = roundNow; }
  void setInterval(int milliseconds) override {
    interval_ = std::chrono::milliseconds(milliseconds);
    if (enabled_) start();
  }

  bool enabled() const { return enabled_; }
  TimerRole role() const { return role_; }
  std::optional<TimePoint> deadline() const {
    return enabled_ ? std::optional<TimePoint>(deadline_) : std::nullopt;
  }
  // The role to tick when the deadline has passed; the next deadline is already scheduled (the
  // handler normally disables the timer first).
  std::optional<TimerRole> takeDue(TimePoint now) {
    if (!enabled_ || now < deadline_) return std::nullopt;
    deadline_ = now + interval_;
    return role_;
  }

 private:
  void start() {
    enabled_ = true;
    deadline_ = (roundNow_ ? *roundNow_ : SteadyClock::now()) + interval_;
  }

  bool enabled_ = false;
  TimerRole role_ = TimerRole::None;
  std::chrono::milliseconds interval_{1000};  // a widget timer's default interval
  TimePoint deadline_{};
  const TimePoint* roundNow_ = nullptr;
};

}  // namespace uvq::jobs
