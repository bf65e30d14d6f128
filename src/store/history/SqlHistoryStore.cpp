// SPDX-License-Identifier: Apache-2.0
#include "store/history/SqlHistoryStore.h"

#include "store/db/UnitIdentity.h"
#include "store/history/HistoryQuery.h"

namespace uvq::history {

namespace {

using store::Access;
using store::SqlRow;
using store::StoreErrorKind;

std::optional<int64_t> NumberOrNone(const SqlValue& value) {
  if (value.null()) return std::nullopt;
  return value.asNumber();
}

OperationRow ReadRow(const SqlRow& r) {
  OperationRow row;
  size_t c = 0;
  row.id = r.at(c++).asNumber();
  row.key = r.at(c++).asText();
  row.startedAt = r.at(c++).asNumber();
  row.endedAt = NumberOrNone(r.at(c++));
  row.station = r.at(c++).asText();
  row.osUser = r.at(c++).asText();
  row.frontEnd = r.at(c++).asText();
  row.toolVersion = r.at(c++).asText();
  row.target = r.at(c++).asText();
  row.unitId = r.at(c++).asText();
  row.reportedAddress = r.at(c++).asText();
  row.operation = r.at(c++).asText();
  row.eraseKind = r.at(c++).asText();
  row.imagePath = r.at(c++).asText();
  row.imageBytes = r.at(c++).asNumber();
  row.imageSha256 = r.at(c++).asText();
  row.records = r.at(c++).asNumber();
  row.resends = r.at(c++).asNumber();
  row.refusedRecords = r.at(c++).asNumber();
  row.outcome = r.at(c++).asText();
  if (auto status = NumberOrNone(r.at(c++))) row.finalStatus = static_cast<uint16_t>(*status);
  row.finalFlags = r.at(c++).asText();
  row.detail = r.at(c++).asText();
  row.rollout = r.at(c++).asText();
  if (auto group = NumberOrNone(r.at(c++))) row.group = static_cast<int>(*group);
  row.unitAddress = r.at(c++).asText();
  return row;
}

UnitState ReadUnit(const SqlRow& r) {
  UnitState unit;
  unit.unitId = r.at(0).asText();
  unit.address = r.at(1).asText();
  unit.lastSeen = r.at(2).asNumber();
  unit.lastOperation = r.at(3).asText();
  unit.lastOutcome = r.at(4).asText();
  unit.lastStation = r.at(5).asText();
  unit.lastImagePath = r.at(6).asText();
  unit.lastImageSha256 = r.at(7).asText();
  unit.lastProgrammedAt = NumberOrNone(r.at(8));
  return unit;
}

}  // namespace

SqlHistoryStore::SqlHistoryStore(std::shared_ptr<store::SqlConnection> connection)
    : connection_(std::move(connection)) {}

std::vector<int64_t> SqlHistoryStore::Write(const std::vector<OperationRow>& given,
                                            bool completed) {
  // Keys are made once, before any try, so that a second try writes the same rows.
  std::vector<OperationRow> rows = given;
  if (!completed)
    for (OperationRow& row : rows)
      if (row.key.empty()) row.key = NewRowKey();
  const Dialect dialect = connection_->dialect();
  store::SqlConnection& db = *connection_;
  return db.transaction(
      "history", completed ? Access::Write : Access::DurableWrite, StoreErrorKind::WriteFailed,
      [&] {
        std::vector<int64_t> ids;
        ids.reserve(rows.size());
        for (const OperationRow& row : rows) {
          int64_t id = row.id;
          // The unit this row belongs to: where it answered, carried by the moves recorded
          // after it (a row that arrives late from the spool lands at the unit's address now).
          std::string unitAddress = store::AnsweredAddress(row.target, row.reportedAddress);
          const bool move =
              !row.unitId.empty() && store::IsUnitMove(row.operation, row.outcome, completed,
                                                       row.target, row.reportedAddress);
          if (!row.unitId.empty() && !move)
            unitAddress = store::CarriedAddress(
                unitAddress, completed ? row.endedAt.value_or(row.startedAt) : row.startedAt,
                store::ReadUnitMoves(db.run(store::UnitMovesSql(), {row.unitId})));
          std::vector<SqlValue> values = OperationValues(row, unitAddress);
          if (completed && row.key.empty()) {
            // Begun without a key (elsewhere): only its id finds it.
            values.erase(values.begin(), values.begin() + 2);
            values.push_back(row.id);
            if (db.run(CompleteByIdSql(), values).changed != 1)
              throw store::StoreError(StoreErrorKind::WriteFailed,
                                      "history " + db.description() + ": no row " +
                                          std::to_string(row.id) + " to complete");
          } else {
            const auto written = db.run(completed ? CompleteSql() : BeginSql(), values);
            if (written.rows.empty())
              throw store::StoreError(StoreErrorKind::WriteFailed,
                                      "history " + db.description() + ": a row was not written");
            id = written.rows.front().at(0).asNumber();
          }
          // A move may carry rows written before it (and the units they made) to the new
          // address: that ID's rows are placed again. Moves are rare; other writes only update
          // their unit.
          if (move)
            store::PlaceUnitRows(db, row.unitId);
          else if (!row.unitId.empty())
            db.run(UnitUpsertSql(dialect), UnitValues(row, unitAddress, completed));
          ids.push_back(id);
        }
        return ids;
      });
}

int64_t SqlHistoryStore::begin(const OperationRow& row) {
  return Write({row}, false).front();
}

std::vector<int64_t> SqlHistoryStore::beginAll(const std::vector<OperationRow>& rows) {
  if (rows.empty()) return {};
  return Write(rows, false);
}

void SqlHistoryStore::complete(const OperationRow& row) {
  Write({row}, true);
}

std::vector<OperationRow> SqlHistoryStore::query(const HistoryFilter& filter) {
  const SqlStatement query = OperationsQuery(filter);
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    std::vector<OperationRow> rows;
    for (const SqlRow& row : connection_->run(query.sql, query.params).rows)
      rows.push_back(ReadRow(row));
    return rows;
  });
}

std::vector<UnitState> SqlHistoryStore::units(const HistoryFilter& filter) {
  const SqlStatement query = UnitsQuery(filter);
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    std::vector<UnitState> units;
    for (const SqlRow& row : connection_->run(query.sql, query.params).rows)
      units.push_back(ReadUnit(row));
    return units;
  });
}

}  // namespace uvq::history
