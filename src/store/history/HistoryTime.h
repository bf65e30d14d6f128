// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace uvq::history {

// Times as the history stores them (UtcMillis), in the words the front ends show and read.
using HistoryMillis = int64_t;

// "2026-12-07T10:15:30.123Z".
std::string MillisIsoUtc(HistoryMillis millis);
// "2026-12-07 10:15:30", for tables.
std::string MillisTableUtc(HistoryMillis millis);

// A bound of --since/--until, all UTC: "2026-12-07", "2026-12-07T10:15", "2026-12-07 10:15:30"
// (a trailing "Z" and fractions of seconds accepted), or a time before `now`: "7d", "12h",
// "30m", "45s". A date alone is its midnight, or with `endOfDay` its last millisecond, so
// `--until 2026-12-07` takes in that whole day (up to its last millisecond). nullopt when the text
// is none of these.
std::optional<HistoryMillis> ParseTimeBound(const std::string& text, HistoryMillis now,
                                            bool endOfDay = false);

}  // namespace uvq::history
