// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Fleet.h"
#include "fleet/PlainRun.h"

namespace uvq::cli {

// The end of a run in words: one line for a single target, else a table with a row per target
// (target, unit, result, records, time, records per second) and a count of ok and failed.
std::string SummaryText(jobs::JobKind kind, const std::vector<fleet::PlainTargetResult>& targets);

}  // namespace uvq::cli
