// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/db/SqlValue.h"
#include "store/history/HistoryStore.h"

namespace uvq::history {

using store::Dialect;
using store::SqlStatement;
using store::SqlValue;

// The queries' SQL for both engines: fixed clauses with placeholders, the values only as
// parameters, never in the text.

// The operations' columns in the order of every statement below and of ReadRow's columns.
extern const char* const kOperationColumns;
inline constexpr int kOperationColumnCount = 26;  // id first, then what OperationValues gives

// Every column but id, in kOperationColumns' order; `unitAddress` is where the store placed the
// row's unit (see store/db/UnitIdentity.h).
std::vector<SqlValue> OperationValues(const OperationRow& row, const std::string& unitAddress);

// The rows with their writer, its liveness mark, host and process id (after ReadRow's columns).
// For "running" and "abandoned": every row not completed, unpaged (the reader judges and pages).
SqlStatement OperationsQuery(const HistoryFilter& filter);
SqlStatement UnitsQuery(const HistoryFilter& filter);

// Writes: the begin (keeps a row already there), the complete (creates or completes the row by
// key; both return the id) and the complete by id of a row begun without a key.
std::string BeginSql();
std::string CompleteSql();
std::string CompleteByIdSql();

// A writer's liveness mark: parameters writer, host, pid, alive_until.
std::string WriterMarkSql();
// Its refresh: parameters alive_until, writer.
std::string WriterRefreshSql();

// The latest state of the unit (its ID at `unitAddress`) after a write: only newer news replaces
// older.
std::string UnitUpsertSql(Dialect dialect);
std::vector<SqlValue> UnitValues(const OperationRow& row, const std::string& unitAddress,
                                 bool completed);

}  // namespace uvq::history
