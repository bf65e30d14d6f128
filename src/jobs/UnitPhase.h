// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "jobs/DeadlineTimer.h"

namespace uvq::jobs {

// Where a job stands, as front ends show it: a handful of steps a person recognises, coarser
// than the job's own states.
enum class UnitPhase : uint8_t {
  Search,   // asking who is at the address (locate), or listing who answers
  Capture,  // taking the chosen unit into loader mode (with its reboot request, if any)
  Erase,
  Program,
  Reset,   // the reset after programming, a reset on its own, or a new address
  Verify,  // asking the unit until it runs its program
  Done,
};
inline constexpr std::string_view kUnitPhaseNames[] = {"search", "capture", "erase", "program",
                                                       "reset",  "verify",  "done"};
constexpr std::string_view UnitPhaseName(UnitPhase phase) {
  return kUnitPhaseNames[static_cast<size_t>(phase)];
}

// A job's phase as a display reads it: a copy of a few numbers, no allocation. `done` of
// `total` are the records acknowledged while programming (0 of 0 in other phases).
struct PhaseView {
  UnitPhase phase = UnitPhase::Search;
  uint64_t done = 0;
  uint64_t total = 0;
  TimePoint phaseStarted{};  // when the job entered this phase
  TimePoint jobStarted{};    // when the job started
};

// Seconds in the phase at `now`.
double SecondsIn(const PhaseView& view, TimePoint now);
// "program 812/2049 4.1 s", "search 12.0 s": the phase, its records while programming and the
// time in the phase at `now`.
std::string PhaseText(const PhaseView& view, TimePoint now);

}  // namespace uvq::jobs
