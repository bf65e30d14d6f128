// SPDX-License-Identifier: Apache-2.0
#pragma once

// The history's records as CSV: every field of each operation row, and each unit's latest known
// state, with a heading line. Cells are written as the report's are (CsvCell): quoted where
// needed, control characters as \xHH, a cell a spreadsheet would run as a formula made text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/history/HistoryStore.h"

namespace uvq::reports {

std::string HistoryRowsCsv(const std::vector<history::OperationRow>& rows);
std::string UnitStatesCsv(const std::vector<history::UnitState>& units);

// A unit's status word as four hex digits ("0A1F"); "" when none came.
std::string StatusWordText(const std::optional<uint16_t>& status);

}  // namespace uvq::reports
