// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::dashboard {

// The bounds of the attempt-duration histogram, in milliseconds (its buckets' "le" in seconds).
const std::vector<int64_t>& AttemptDurationBoundsMs();

// What /metrics tells, as read from the stores.
struct MetricsSnapshot {
  std::vector<rollouts::RolloutSummary> rollouts;                          // their groups' counts
  std::vector<std::pair<std::string, int>> stationsAlive;                  // rollout, stations
  std::vector<std::pair<std::string, history::DurationCounts>> durations;  // rollout, counts
  std::vector<history::OutcomeCount> rows;                                 // the history's rows
};

// The snapshot in the text exposition format (version 0.0.4): each family with its HELP and TYPE
// lines, then its samples.
std::string MetricsText(const MetricsSnapshot& snapshot);

// A label's value as the format writes it between quotes: valid UTF-8 (other bytes as \xHH
// text), backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view value);

}  // namespace uvq::dashboard
