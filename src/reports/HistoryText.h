// SPDX-License-Identifier: Apache-2.0
#pragma once

// The history's records in the forms `uvq history` prints: an aligned table with a heading for
// people, one JSON object a line, or CSV; and the actions on rollouts as lines or JSON.

#include <string>
#include <vector>

#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::reports {

enum class HistoryForm { Table, Json, Csv };

// The rows (newest first as given) as an aligned table with a heading, one JSON object a line,
// or CSV with a heading (quoted as RFC 4180 says, lines ending in CR LF). In the table and the
// CSV every control character and byte that is not UTF-8 is shown as \xHH.
std::string HistoryRowsText(const std::vector<history::OperationRow>& rows, HistoryForm form);
std::string UnitStatesText(const std::vector<history::UnitState>& units, HistoryForm form);

// The actions on rollouts, oldest first as given: a heading and a line an action (time, rollout,
// action, actor, origin, then its detail), or one JSON object a line. Safe on a terminal.
std::string ActionRecordsText(const std::vector<rollouts::ActionRecord>& actions, bool json);

}  // namespace uvq::reports
