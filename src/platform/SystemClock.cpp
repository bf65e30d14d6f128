// SPDX-License-Identifier: Apache-2.0
#include "platform/SystemClock.h"

#include <cstdio>
#include <ctime>

namespace uvq::platform {

std::string FormatTimeOfDay(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto sinceEpoch = when.time_since_epoch();
  const time_t seconds = static_cast<time_t>(floor<std::chrono::seconds>(sinceEpoch).count());
  const auto milliseconds = floor<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(milliseconds < 0 ? milliseconds + 1000 : milliseconds));
  return text;
}

std::string SystemClock::timeOfDay() {
  return FormatTimeOfDay(std::chrono::system_clock::now());
}

int64_t SystemClock::steadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace uvq::platform
