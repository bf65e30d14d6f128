// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "reports/RecordJson.h"
#include "store/history/HistoryStore.h"

namespace uvq::cli {

enum class HistoryFormat { Table, Json, Csv };

using reports::ShownOutcome;

// The rows (newest first as given) as an aligned table with a heading, one JSON object a line,
// or CSV with a heading (quoted as RFC 4180 says, lines ending in CR LF). In the table and the
// CSV every control character and byte that is not UTF-8 is shown as \xHH.
std::string FormatRows(const std::vector<history::OperationRow>& rows, HistoryFormat format);
std::string FormatUnits(const std::vector<history::UnitState>& units, HistoryFormat format);

}  // namespace uvq::cli
