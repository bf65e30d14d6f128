// SPDX-License-Identifier: Apache-2.0
#include "dashboard/MetricsText.h"

#include <cstdio>
#include <cstdlib>

#include "reports/TerminalText.h"

namespace uvq::dashboard {

namespace {

// Seconds as the format writes floats: shortest decimal that reads back the same.
std::string Seconds(int64_t millis) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", static_cast<double>(millis) / 1000.0);
  // Fewer digits when they read back the same (0.5 rather than 0.50000000000000000).
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, static_cast<double>(millis) / 1000.0);
    if (std::strtod(shorter, nullptr) == std::strtod(text, nullptr)) return shorter;
  }
  return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name,
            const std::vector<std::pair<const char*, std::string>>& labels,
            const std::string& value) {
  out += name;
  if (!labels.empty()) {
    out += "{";
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i) out += ",";
      out += std::string(labels[i].first) + "=\"" + LabelValue(labels[i].second) + "\"";
    }
    out += "}";
  }
  out += " " + value + "\n";
}

}  // namespace

const std::vector<int64_t>& AttemptDurationBoundsMs() {
  static const std::vector<int64_t> bounds = {1000,  2000,  5000,   10000,  20000,
                                              30000, 60000, 120000, 300000, 600000};
  return bounds;
}

std::string LabelValue(std::string_view value) {
  std::string out;
  for (char c : reports::Utf8OrHexBytes(value)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string MetricsText(const MetricsSnapshot& s) {
  std::string out;
  Family(out, "uvq_rollout_units", "gauge", "Units of each rollout by their progress.");
  for (const rollouts::RolloutSummary& r : s.rollouts) {
    const rollouts::GroupCounts all = rollouts::TotalCounts(r);
    for (const auto& [outcome, units] :
         {std::pair{"ok", all.ok}, std::pair{"failed", all.failed},
          std::pair{"running", all.running}, std::pair{"pending", all.pending},
          std::pair{"skipped", all.skipped}})
      Sample(out, "uvq_rollout_units", {{"rollout", r.name}, {"outcome", outcome}},
             std::to_string(units));
  }

  Family(out, "uvq_attempt_duration_seconds", "histogram",
         "Ended attempts of each rollout by duration, from the history.");
  for (const auto& [rollout, d] : s.durations) {
    const std::string name = "uvq_attempt_duration_seconds";
    for (size_t i = 0; i < d.boundsMs.size() && i < d.atMost.size(); ++i)
      Sample(out, name + "_bucket", {{"rollout", rollout}, {"le", Seconds(d.boundsMs[i])}},
             std::to_string(d.atMost[i]));
    Sample(out, name + "_bucket", {{"rollout", rollout}, {"le", "+Inf"}}, std::to_string(d.count));
    Sample(out, name + "_sum", {{"rollout", rollout}}, Seconds(d.sumMs));
    Sample(out, name + "_count", {{"rollout", rollout}}, std::to_string(d.count));
  }

  Family(out, "uvq_stations_alive", "gauge",
         "Running stations of each unfinished rollout (not ended, not gone) seen within the last "
         "30 seconds.");
  for (const auto& [rollout, stations] : s.stationsAlive)
    Sample(out, "uvq_stations_alive", {{"rollout", rollout}}, std::to_string(stations));

  Family(out, "uvq_history_rows", "gauge", "Rows of the history by outcome.");
  for (const history::OutcomeCount& c : s.rows)
    Sample(out, "uvq_history_rows", {{"outcome", c.outcome}}, std::to_string(c.rows));
  return out;
}

}  // namespace uvq::dashboard
