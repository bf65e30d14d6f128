// SPDX-License-Identifier: Apache-2.0
#include "jobs/UnitPhase.h"

#include <cstdio>

namespace uvq::jobs {

double SecondsIn(const PhaseView& view, TimePoint now) {
  return now > view.phaseStarted ? std::chrono::duration<double>(now - view.phaseStarted).count()
                                 : 0.0;
}

std::string PhaseText(const PhaseView& view, TimePoint now) {
  char text[96];
  const std::string_view name = UnitPhaseName(view.phase);
  if (view.phase == UnitPhase::Program && view.total > 0)
    std::snprintf(text, sizeof text, "%.*s %llu/%llu %.1f s", static_cast<int>(name.size()),
                  name.data(), static_cast<unsigned long long>(view.done),
                  static_cast<unsigned long long>(view.total), SecondsIn(view, now));
  else
    std::snprintf(text, sizeof text, "%.*s %.1f s", static_cast<int>(name.size()), name.data(),
                  SecondsIn(view, now));
  return text;
}

}  // namespace uvq::jobs
