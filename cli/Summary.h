// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Fleet.h"
#include "fleet/PlainRun.h"

namespace uvq::cli {

// The end of a run in words (reports::RunSummaryText), each outcome in the words of its exit
// code.
std::string SummaryText(jobs::JobKind kind, const std::vector<fleet::PlainTargetResult>& targets);

}  // namespace uvq::cli
