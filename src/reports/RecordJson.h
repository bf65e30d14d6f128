// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "reports/UnitReport.h"
#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::reports {

// Each record's one JSON form, for `uvq history --json`, `uvq rollout status --json`,
// `uvq rollout list --json` and the dashboard's API alike: times as ISO 8601 UTC, status words
// as four hex digits with their flags named and in words, groups counted from 1 as people count
// them, and a byte of stored text that is not UTF-8 written as \xHH.
nlohmann::json HistoryRowJson(const history::OperationRow& row);
nlohmann::json UnitStateJson(const history::UnitState& unit);
nlohmann::json RolloutSummaryJson(const rollouts::RolloutSummary& summary);
nlohmann::json RolloutUnitJson(const rollouts::RolloutUnit& unit);
nlohmann::json RolloutStationJson(const rollouts::RolloutStation& station);
// An action on a rollout as recorded: who, from where, when, what it changed.
nlohmann::json ActionRecordJson(const rollouts::ActionRecord& action);
// At most `maxListed` of the failed and of the running units; the totals count them all.
nlohmann::json RolloutStatusJson(const rollouts::RolloutStatus& status,
                                 size_t maxListed = std::numeric_limits<size_t>::max());

// The figures the dashboard draws: per station its ok attempts as a running total at the end of
// each step of time, the first-pass yield (percent, null without a first attempt) and the
// failures by outcome and status word, most first.
nlohmann::json AttemptFiguresJson(const history::AttemptFigures& figures);

// A unit's line of a report (`uvq report`, the dashboard's report downloads).
nlohmann::json ReportRowJson(const UnitReportRow& row);
// The heading of a report: what it covers, when it was made and its totals.
nlohmann::json ReportHeadingJson(const UnitReport& report);

// A row's outcome as shown: for a row begun and not completed "running" while its writer lives,
// else "abandoned".
std::string ShownOutcome(const history::OperationRow& row);

// Compact text on one line, every control character escaped (safe on a terminal); bytes that
// are not UTF-8 (none, after the forms above) would become U+FFFD instead of failing.
std::string JsonText(const nlohmann::json& value);

}  // namespace uvq::reports
