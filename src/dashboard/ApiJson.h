// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::dashboard {

// The API's objects, in the words of `uvq history --json` and `uvq rollout status --json`:
// times as ISO 8601 UTC, status words as four hex digits with their flags named and in words.
nlohmann::json RolloutSummaryJson(const history::RolloutSummary& summary);
// At most `maxListed` of the failed and of the running units; the totals count them all.
nlohmann::json RolloutStatusJson(const history::RolloutStatus& status, size_t maxListed);
nlohmann::json RolloutUnitJson(const history::RolloutUnit& unit);
nlohmann::json HistoryRowJson(const history::OperationRow& row);
nlohmann::json UnitStateJson(const history::UnitState& unit);

// Compact text; bytes that are not UTF-8 become U+FFFD instead of failing the answer.
std::string JsonText(const nlohmann::json& value);

}  // namespace uvq::dashboard
