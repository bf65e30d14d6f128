// SPDX-License-Identifier: Apache-2.0
#include "store/history/HistoryQuery.h"

#include <algorithm>
#include <cctype>

#include "store/db/HistorySchema.h"

using uvq::store::LooksLikeSha256;

namespace uvq::history {

const char* const kOperationColumns =
    "id, row_key, started_at, ended_at, station, os_user, front_end, tool_version, target, "
    "unit_id, reported_address, operation, erase_kind, image_path, image_bytes, image_sha256, "
    "records, resends, refused_records, outcome, final_status, final_flags, detail, rollout, "
    "rollout_group, unit_address";

namespace {

const std::vector<std::string>& WrittenColumns() {
  static const std::vector<std::string> columns = {
      "row_key",     "started_at",   "ended_at",        "station",       "os_user",
      "front_end",   "tool_version", "target",          "unit_id",       "reported_address",
      "operation",   "erase_kind",   "image_path",      "image_bytes",   "image_sha256",
      "records",     "resends",      "refused_records", "outcome",       "final_status",
      "final_flags", "detail",       "rollout",         "rollout_group", "unit_address",
      "writer"};
  return columns;
}

std::string InsertOperationSql() {
  std::string names, values;
  const auto& columns = WrittenColumns();
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i) {
      names += ", ";
      values += ", ";
    }
    names += columns[i];
    values += store::Placeholder(i + 1);
  }
  return "INSERT INTO operations(" + names + ") VALUES(" + values + ") ON CONFLICT(row_key) ";
}

SqlValue Text(const std::string& text) {
  return text;
}
SqlValue TextOrNull(const std::string& text) {
  return text.empty() ? SqlValue{} : SqlValue{text};
}
template <typename T>
SqlValue NumberOrNull(const std::optional<T>& number) {
  return number ? SqlValue{static_cast<int64_t>(*number)} : SqlValue{};
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Adds "AND <column> = ?" style clauses; the values go to params.
class Where {
 public:
  void Equal(const std::string& column, const std::string& value) {
    if (value.empty()) return;
    Clause(column + " = ", value);
  }
  void Clause(const std::string& head, SqlValue value, const std::string& tail = "") {
    params_.push_back(std::move(value));
    sql_ += " AND " + head + store::Placeholder(params_.size()) + tail;
  }
  void Raw(const std::string& clause) { sql_ += " AND " + clause; }
  std::string Limit(int limit, int offset) {
    if (limit <= 0) return {};
    params_.push_back(int64_t{limit});
    std::string clause = " LIMIT " + store::Placeholder(params_.size());
    if (offset <= 0) return clause;
    params_.push_back(int64_t{offset});
    return clause + " OFFSET " + store::Placeholder(params_.size());
  }
  const std::string& sql() const { return sql_; }
  std::vector<SqlValue>& params() { return params_; }

 private:
  std::string sql_ = " WHERE 1 = 1";
  std::vector<SqlValue> params_;
};

void ImageAndOutcome(Where& where, const HistoryFilter& filter, const std::string& sha,
                     const std::string& path, const std::string& outcome) {
  if (!filter.image.empty()) {
    if (LooksLikeSha256(filter.image))
      where.Clause(sha + " = ", Lower(filter.image));
    else
      where.Clause(path + " = ", filter.image);
  }
  // Which of the operations not ended still run is judged by the reader, as for the rows.
  if (IsNotEndedOutcome(filter.outcome))
    where.Raw(outcome + " IS NULL");
  else
    where.Equal(outcome, filter.outcome);
}

// Operations: a row not completed is running while its writer's mark is fresh.
// Which of them still run is judged by the reader (SqlHistoryStore): on this host a writer's
// process is asked too, so the rows not completed are read whole and paged there.
void OperationOutcome(Where& where, const HistoryFilter& filter) {
  if (IsNotEndedOutcome(filter.outcome)) {
    where.Raw("outcome IS NULL");
  } else {
    where.Equal("outcome", filter.outcome);
  }
}

}  // namespace

std::vector<SqlValue> OperationValues(const OperationRow& r, const std::string& unitAddress) {
  return {Text(r.key),
          r.startedAt,
          NumberOrNull(r.endedAt),
          Text(r.station),
          Text(r.osUser),
          Text(r.frontEnd),
          Text(r.toolVersion),
          Text(r.target),
          Text(r.unitId),
          Text(r.reportedAddress),
          Text(r.operation),
          Text(r.eraseKind),
          Text(r.imagePath),
          r.imageBytes,
          Text(Lower(r.imageSha256)),
          r.records,
          r.resends,
          r.refusedRecords,
          TextOrNull(r.outcome),
          NumberOrNull(r.finalStatus),
          Text(r.finalFlags),
          Text(r.detail),
          Text(r.rollout),
          NumberOrNull(r.group),
          Text(r.unitId.empty() ? std::string() : unitAddress),
          Text(r.writer)};
}

std::string BeginSql() {
  return InsertOperationSql() + "DO UPDATE SET row_key = excluded.row_key RETURNING id";
}

std::string CompleteSql() {
  std::string sets;
  for (const std::string& column : WrittenColumns()) {
    if (column == "row_key" || column == "started_at") continue;
    sets += (sets.empty() ? "" : ", ") + column + " = excluded." + column;
  }
  return InsertOperationSql() + "DO UPDATE SET " + sets + " RETURNING id";
}

std::string CompleteByIdSql() {
  // Parameters: the written columns after row_key and started_at, then the id.
  std::string sets;
  const auto& columns = WrittenColumns();
  for (size_t i = 2; i < columns.size(); ++i)
    sets += (i > 2 ? ", " : "") + columns[i] + " = " + store::Placeholder(i - 1);
  return "UPDATE operations SET " + sets + " WHERE id = " + store::Placeholder(columns.size() - 1);
}

std::string UnitUpsertSql(Dialect dialect) {
  auto p = [](int n) { return store::Placeholder(static_cast<size_t>(n)); };
  const std::string newer = "CASE WHEN excluded.last_seen >= units.last_seen THEN excluded.";
  const std::string newerProgram =
      "CASE WHEN excluded.last_programmed_at IS NOT NULL AND (units.last_programmed_at IS NULL "
      "OR excluded.last_programmed_at >= units.last_programmed_at) THEN excluded.";
  const std::string greatest = dialect == Dialect::Sqlite ? "MAX" : "GREATEST";
  return "INSERT INTO units(unit_id, address, last_seen, last_operation, last_outcome, "
         "last_station, last_image_path, last_image_sha256, last_programmed_at) VALUES(" +
         p(1) + ", " + p(2) + ", " + p(3) + ", " + p(4) + ", " + p(5) + ", " + p(6) + ", " + p(7) +
         ", " + p(8) + ", " + p(9) +
         ") ON CONFLICT(unit_id, address) DO UPDATE SET "
         "last_operation = " +
         newer +
         "last_operation ELSE units.last_operation END, "
         "last_outcome = " +
         newer +
         "last_outcome ELSE units.last_outcome END, "
         "last_station = " +
         newer +
         "last_station ELSE units.last_station END, "
         "last_image_path = " +
         newerProgram +
         "last_image_path ELSE units.last_image_path END, "
         "last_image_sha256 = " +
         newerProgram +
         "last_image_sha256 ELSE units.last_image_sha256 END, "
         "last_programmed_at = " +
         newerProgram +
         "last_programmed_at ELSE units.last_programmed_at END, "
         "last_seen = " +
         greatest + "(units.last_seen, excluded.last_seen)";
}

std::vector<SqlValue> UnitValues(const OperationRow& r, const std::string& unitAddress,
                                 bool completed) {
  const UtcMillis seen = completed ? r.endedAt.value_or(r.startedAt) : r.startedAt;
  const bool programmed = completed && r.operation == "program" && r.outcome == "ok";
  // An erase of the program memory ends the unit's claim to its image: the image fields become
  // empty as of the erase, so that an older program written later (a spooled row) cannot bring
  // the claim back. Erasing the data memory only leaves the image in place.
  const bool erased =
      completed && r.operation == "erase" && r.outcome == "ok" && r.eraseKind != "data";
  return {Text(r.unitId),
          Text(unitAddress),
          seen,
          Text(r.operation),
          completed ? TextOrNull(r.outcome) : SqlValue{},
          Text(r.station),
          programmed ? Text(r.imagePath) : SqlValue{},
          programmed ? Text(Lower(r.imageSha256)) : SqlValue{},
          programmed || erased ? SqlValue{seen} : SqlValue{}};
}

std::string WriterMarkSql() {
  return "INSERT INTO writers(writer, host, pid, alive_until) VALUES($1, $2, $3, $4) "
         "ON CONFLICT(writer) DO UPDATE SET alive_until = excluded.alive_until";
}

std::string WriterRefreshSql() {
  return "UPDATE writers SET alive_until = $1 WHERE writer = $2";
}

SqlStatement OperationsQuery(const HistoryFilter& filter) {
  Where where;
  where.Equal("unit_id", filter.unitId);
  where.Equal("target", filter.target);
  HistoryFilter image = filter;
  image.outcome.clear();
  ImageAndOutcome(where, image, "image_sha256", "image_path", "outcome");
  OperationOutcome(where, filter);
  where.Equal("operation", filter.operation);
  where.Equal("station", filter.station);
  where.Equal("rollout", filter.rollout);
  where.Equal("unit_address", filter.unitAddress);
  if (filter.since) where.Clause("started_at >= ", *filter.since);
  if (filter.until) where.Clause("started_at <= ", *filter.until);
  std::string sql = std::string("SELECT ") + kOperationColumns +
                    ", operations.writer, writers.alive_until, writers.host, writers.pid FROM "
                    "operations LEFT JOIN writers ON writers.writer = operations.writer" +
                    where.sql() + " ORDER BY started_at DESC, id DESC";
  if (!IsNotEndedOutcome(filter.outcome)) sql += where.Limit(filter.limit, filter.offset);
  return {sql, std::move(where.params())};
}

SqlStatement UnitsQuery(const HistoryFilter& filter) {
  Where where;
  where.Equal("unit_id", filter.unitId);
  where.Equal("address", filter.target);
  where.Equal("address", filter.unitAddress);
  ImageAndOutcome(where, filter, "last_image_sha256", "last_image_path", "last_outcome");
  where.Equal("last_operation", filter.operation);
  where.Equal("last_station", filter.station);
  if (filter.since) where.Clause("last_seen >= ", *filter.since);
  if (filter.until) where.Clause("last_seen <= ", *filter.until);
  // The page is chosen first, so that only its units look for their writer: a page far down
  // the list does not judge every unit before it.
  std::string page =
      "SELECT unit_id, address, last_seen, last_operation, last_outcome, last_station, "
      "last_image_path, last_image_sha256, last_programmed_at FROM units" +
      where.sql() + " ORDER BY unit_id, address";
  if (!IsNotEndedOutcome(filter.outcome)) page += where.Limit(filter.limit, filter.offset);
  // A last operation not ended: the writer of the unit's newest row not completed, whose mark
  // and process say whether it still runs.
  std::string sql =
      "SELECT unit_id, address, last_seen, last_operation, last_outcome, last_station, "
      "last_image_path, last_image_sha256, CASE WHEN last_image_path IS NULL AND "
      "last_image_sha256 IS NULL THEN NULL ELSE last_programmed_at END, writers.alive_until, "
      "writers.host, writers.pid FROM (" +
      page +
      ") units LEFT JOIN writers ON units.last_outcome IS NULL AND "
      "writers.writer = (SELECT o.writer FROM operations o WHERE o.unit_id = units.unit_id AND "
      "o.unit_address = units.address AND o.outcome IS NULL ORDER BY o.started_at DESC, o.id "
      "DESC LIMIT 1) ORDER BY unit_id, address";
  return {sql, std::move(where.params())};
}

}  // namespace uvq::history
