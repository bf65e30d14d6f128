// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>

#include "ports/Ports.h"

namespace uvq::platform {

// "hh:nn:ss.zzz" (24-hour, zero padded) for `when` in the local time zone.
std::string FormatTimeOfDay(std::chrono::system_clock::time_point when);

class SystemClock : public uvq::Clock {
 public:
  std::string timeOfDay() override;
  int64_t steadyMilliseconds() override;
};

}  // namespace uvq::platform
