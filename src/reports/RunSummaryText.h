// SPDX-License-Identifier: Apache-2.0
#pragma once

// The end of a plain run (program, erase, status, scan, ...) in words: one line for a single
// target, else a table with a row per target and a count of ok and failed; a scan's units a line
// each with a count of units and addresses that answered.

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/JobPlan.h"
#include "jobs/JobResult.h"

namespace uvq::reports {

// A unit that answered, as the summary names it.
struct SummaryUnit {
  std::string id;  // "0100"
  std::string ip;  // the address the unit reports
  uint16_t status = 0;
};

// How one target's job ended, as the summary shows it.
struct SummaryTarget {
  std::string name;  // "10.1.2.3"
  jobs::JobOutcome outcome = jobs::JobOutcome::Ok;
  std::string outcomeWords;  // what a person reads for the outcome: "no answer"
  std::string detail;
  std::string unit;  // the unit worked on, "" when none was chosen
  int64_t records = 0;
  uint64_t refusedRecords = 0;
  double seconds = 0;
  std::vector<SummaryUnit> units;  // every unit that answered (locate, status, scan)
};

// "no answer - detail", or the detail alone when it starts with the words already
// ("interrupted after ...").
std::string OutcomeLine(const SummaryTarget& target);

// The end of a run of `kind` over `targets` (in the order given). Jobs that change no unit list
// each unit that answered first; a programming run says records, time and speed.
std::string RunSummaryText(jobs::JobKind kind, const std::vector<SummaryTarget>& targets);

}  // namespace uvq::reports
