// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::reports {

// One unit's final state, as a quality engineer signs it: a unit is its UVQ ID at its address.
struct UnitReportRow {
  std::string unitId;   // "0100"; empty when no unit ever answered at the address
  std::string address;  // the address the unit was reached at
  std::string imagePath;
  std::string imageSha256;
  // The final attempt's outcome identifier ("ok", "no_answer", ...), "abandoned" for an attempt
  // begun and never completed; in a rollout "pending" or "running" for a unit not yet ended.
  std::string outcome;
  std::optional<uint16_t> status;  // the unit's last status word
  std::string station;             // of the final attempt
  int attempts = 0;
  std::optional<history::UtcMillis> finalAttemptAt;  // when the final attempt ended (or began)
};

struct ReportTotals {
  int units = 0;
  int ok = 0;
  int failed = 0;   // ended, not ok
  int pending = 0;  // not ended: pending, running or abandoned
  int skipped = 0;  // left out of a rollout by hand
};

struct UnitReport {
  std::string kind;                // "rollout" or "units"
  std::string subject;             // the rollout's name, or the filter in words
  std::vector<std::string> facts;  // further lines of the heading (the rollout's image, state)
  history::UtcMillis generatedAt = 0;
  std::vector<UnitReportRow> rows;
  ReportTotals totals() const;
};

// The filter of a units report: units programmed in [since, until] (any time when unset), at
// a station, with an ID or at an address, and with `image` only those that carry that image now.
struct UnitsReportFilter {
  std::string image;  // a SHA-256 (64 hex digits) or an image path as recorded
  std::optional<history::UtcMillis> since;
  std::optional<history::UtcMillis> until;
  std::string station;
  std::string unitId;
  std::string address;
};

// Every unit of the rollout in its order: its claim's final state from the rollout store, the
// time of its final attempt from the history (none when the attempts were not recorded).
// nullopt: no rollout of that name.
std::optional<UnitReport> RolloutReport(history::HistoryStore& history,
                                        rollouts::RolloutStore& rollouts, const std::string& name,
                                        history::UtcMillis now);

// Each unit (ID at address) with a programming attempt in the filter, by ID then address: its
// final attempt's image, outcome, status and station, and the count of its attempts.
UnitReport UnitsReport(history::HistoryStore& history, const UnitsReportFilter& filter,
                       history::UtcMillis now);

// The same in steps, for a caller that asks each store on its own (the dashboard): what to ask
// the history, then the report made of the answers.
history::HistoryFilter RolloutAttemptsFilter(const std::string& name);
UnitReport RolloutReportOf(const rollouts::RolloutSummary& summary,
                           const std::vector<rollouts::RolloutUnit>& units,
                           const std::vector<history::OperationRow>& attempts,
                           history::UtcMillis now);
history::HistoryFilter UnitsAttemptsFilter(const UnitsReportFilter& filter);
// nullopt when the filter names no image (then every unit counts).
std::optional<history::HistoryFilter> CarriersFilter(const UnitsReportFilter& filter);
// `carriers`: the units' states CarriersFilter asked for, when it asked.
UnitReport UnitsReportOf(const UnitsReportFilter& filter,
                         const std::vector<history::OperationRow>& attempts,
                         const std::optional<std::vector<history::UnitState>>& carriers,
                         history::UtcMillis now);

// The filter in words, for a report's heading: "image 3f2a…, since 2026-12-07T00:00:00.000Z".
std::string FilterInWords(const UnitsReportFilter& filter);

}  // namespace uvq::reports
