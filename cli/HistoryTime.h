// SPDX-License-Identifier: Apache-2.0
#pragma once

// The history's times, shared with the dashboard (src/store/history/HistoryTime.h).
#include "store/history/HistoryTime.h"

namespace uvq::cli {
using history::HistoryMillis;
using history::MillisIsoUtc;
using history::MillisTableUtc;
using history::ParseTimeBound;
}  // namespace uvq::cli
