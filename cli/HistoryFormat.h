// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "store/history/HistoryStore.h"

namespace uvq::cli {

enum class HistoryFormat { Table, Json, Csv };

// A row's outcome as shown: "abandoned" for a row begun and never completed.
std::string ShownOutcome(const history::OperationRow& row);

// The rows (newest first as given) as an aligned table with a heading, one JSON object a line,
// or CSV with a heading (quoted as RFC 4180 says, lines ending in CR LF).
std::string FormatRows(const std::vector<history::OperationRow>& rows, HistoryFormat format);
std::string FormatUnits(const std::vector<history::UnitState>& units, HistoryFormat format);

// One CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& value);

}  // namespace uvq::cli
