// SPDX-License-Identifier: Apache-2.0
#include "store/history/PostgresHistoryStore.h"

#include <libpq-fe.h>

#include "store/db/HistorySchema.h"
#include "store/db/RedactedUrl.h"

namespace uvq::history {

namespace {

// A constant of this program that serialises schema changes across stations.
constexpr const char* kSchemaLockSql = "SELECT pg_advisory_xact_lock(5566514800001)";

void IgnoreNotice(void*, const char*) {}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string TextAt(PGresult* r, int row, int column) {
  return PQgetisnull(r, row, column) ? std::string() : std::string(PQgetvalue(r, row, column));
}

std::optional<int64_t> NumberAt(PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::nullopt;
  return std::stoll(PQgetvalue(r, row, column));
}

int64_t NumberOrZero(PGresult* r, int row, int column) {
  return NumberAt(r, row, column).value_or(0);
}

OperationRow ReadRow(PGresult* r, int i) {
  OperationRow row;
  int c = 0;
  row.id = NumberOrZero(r, i, c++);
  row.key = TextAt(r, i, c++);
  row.startedAt = NumberOrZero(r, i, c++);
  row.endedAt = NumberAt(r, i, c++);
  row.station = TextAt(r, i, c++);
  row.osUser = TextAt(r, i, c++);
  row.frontEnd = TextAt(r, i, c++);
  row.toolVersion = TextAt(r, i, c++);
  row.target = TextAt(r, i, c++);
  row.unitId = TextAt(r, i, c++);
  row.reportedAddress = TextAt(r, i, c++);
  row.operation = TextAt(r, i, c++);
  row.eraseKind = TextAt(r, i, c++);
  row.imagePath = TextAt(r, i, c++);
  row.imageBytes = NumberOrZero(r, i, c++);
  row.imageSha256 = TextAt(r, i, c++);
  row.records = NumberOrZero(r, i, c++);
  row.resends = NumberOrZero(r, i, c++);
  row.refusedRecords = NumberOrZero(r, i, c++);
  row.outcome = TextAt(r, i, c++);
  if (auto status = NumberAt(r, i, c++)) row.finalStatus = static_cast<uint16_t>(*status);
  row.finalFlags = TextAt(r, i, c++);
  row.detail = TextAt(r, i, c++);
  row.rollout = TextAt(r, i, c++);
  if (auto group = NumberAt(r, i, c++)) row.group = static_cast<int>(*group);
  return row;
}

UnitState ReadUnit(PGresult* r, int i) {
  UnitState unit;
  unit.unitId = TextAt(r, i, 0);
  unit.address = TextAt(r, i, 1);
  unit.lastSeen = NumberOrZero(r, i, 2);
  unit.lastOperation = TextAt(r, i, 3);
  unit.lastOutcome = TextAt(r, i, 4);
  unit.lastStation = TextAt(r, i, 5);
  unit.lastImagePath = TextAt(r, i, 6);
  unit.lastImageSha256 = TextAt(r, i, 7);
  unit.lastProgrammedAt = NumberAt(r, i, 8);
  return unit;
}

}  // namespace

void PostgresHistoryStore::ResultDeleter::operator()(pg_result* result) const {
  PQclear(result);
}

PostgresHistoryStore::PostgresHistoryStore(std::string url)
    : url_(std::move(url)), shown_(RedactedUrl(url_)) {
  std::lock_guard lock(mutex_);
  Connect();
  CheckAndUpgrade();
}

PostgresHistoryStore::~PostgresHistoryStore() {
  Disconnect();
}

void PostgresHistoryStore::Fail(HistoryErrorKind kind, const std::string& what) {
  std::string message = "history " + shown_ + ": " + what;
  if (connection_) {
    const std::string reason = Trimmed(PQerrorMessage(connection_));
    if (!reason.empty()) message += ": " + WithoutPassword(reason, url_);
    if (PQstatus(connection_) != CONNECTION_OK) Disconnect();
  }
  throw HistoryError(kind, message);
}

void PostgresHistoryStore::Disconnect() {
  if (connection_) PQfinish(connection_);
  connection_ = nullptr;
  prepared_.clear();
}

void PostgresHistoryStore::Connect() {
  Disconnect();
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  // The URL comes last so that what it says wins.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), "uvq", url_.c_str(), nullptr};
  connection_ = PQconnectdbParams(keys, values, 1);
  if (!connection_)
    throw HistoryError(HistoryErrorKind::Unavailable, "history " + shown_ + ": out of memory");
  if (PQstatus(connection_) != CONNECTION_OK) Fail(HistoryErrorKind::Unavailable, "cannot connect");
  // The server's notices ("relation ... already exists") are no business of the user's terminal.
  PQsetNoticeProcessor(connection_, IgnoreNotice, nullptr);
}

PostgresHistoryStore::Result PostgresHistoryStore::Run(const std::string& sql,
                                                       const std::vector<SqlValue>& params,
                                                       HistoryErrorKind kind) {
  if (!connection_) Connect();
  std::vector<std::string> texts(params.size());
  std::vector<const char*> values(params.size(), nullptr);
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].kind == SqlValue::Kind::Number) {
      texts[i] = std::to_string(params[i].number);
      values[i] = texts[i].c_str();
    } else if (params[i].kind == SqlValue::Kind::Text) {
      values[i] = params[i].text.c_str();
    }
  }
  Result result;
  if (params.empty()) {
    result.reset(PQexec(connection_, sql.c_str()));
  } else {
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
      const std::string name = "uvq_" + std::to_string(prepared_.size() + 1);
      Result prepared(PQprepare(connection_, name.c_str(), sql.c_str(),
                                static_cast<int>(params.size()), nullptr));
      if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) Fail(kind, "cannot prepare");
      found = prepared_.emplace(sql, name).first;
    }
    result.reset(PQexecPrepared(connection_, found->second.c_str(), static_cast<int>(params.size()),
                                values.data(), nullptr, nullptr, 0));
  }
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    if (PQstatus(connection_) == CONNECTION_OK &&
        PQtransactionStatus(connection_) == PQTRANS_INERROR)
      Result(PQexec(connection_, "ROLLBACK"));
    Fail(kind, "statement failed");
  }
  return result;
}

void PostgresHistoryStore::CheckAndUpgrade() {
  const auto kind = HistoryErrorKind::Unavailable;
  Run("BEGIN", {}, kind);
  Run(kSchemaLockSql, {}, kind);
  Result tables(
      Run("SELECT to_regclass('schema_version') IS NOT NULL, "
          "to_regclass('operations') IS NOT NULL",
          {}, kind));
  const bool versioned = TextAt(tables.get(), 0, 0) == "t";
  const bool operations = TextAt(tables.get(), 0, 1) == "t";
  int version = 0;
  if (versioned) {
    Result found(Run("SELECT version FROM schema_version WHERE application = $1",
                     {std::string(kApplicationName)}, kind));
    if (PQntuples(found.get()) != 1) {
      Run("ROLLBACK", {}, kind);
      throw HistoryError(HistoryErrorKind::NotAHistory,
                         "history " + shown_ +
                             ": not a uvq history (its schema_version table "
                             "belongs to something else)");
    }
    version = static_cast<int>(NumberOrZero(found.get(), 0, 0));
  } else if (operations) {
    Run("ROLLBACK", {}, kind);
    throw HistoryError(HistoryErrorKind::NotAHistory,
                       "history " + shown_ +
                           ": not a uvq history (an operations table without "
                           "a uvq schema version)");
  }
  if (version > kSchemaVersion) {
    Run("ROLLBACK", {}, kind);
    throw HistoryError(HistoryErrorKind::NewerSchema, NewerSchemaMessage(shown_, version));
  }
  for (int step = version + 1; step <= kSchemaVersion; ++step)
    for (const std::string& sql : SchemaStep(step, Dialect::Postgres)) Run(sql, {}, kind);
  if (!versioned)
    Run("CREATE TABLE schema_version (application TEXT PRIMARY KEY, version INTEGER NOT NULL)", {},
        kind);
  if (version != kSchemaVersion)
    Run("INSERT INTO schema_version(application, version) VALUES($1, $2) ON CONFLICT(application) "
        "DO UPDATE SET version = excluded.version",
        {std::string(kApplicationName), int64_t{kSchemaVersion}}, kind);
  Run("COMMIT", {}, kind);
}

template <typename Call>
auto PostgresHistoryStore::Retried(Call call) {
  // A connection the server dropped since the last call (a restart) is only noticed when used:
  // connect again and try once more. Writes are keyed, so a second try never doubles a row.
  const bool hadConnection = connection_ != nullptr;
  try {
    return call();
  } catch (const HistoryError&) {
    if (!hadConnection || connection_) throw;
    return call();
  }
}

int64_t PostgresHistoryStore::Write(const OperationRow& given, bool completed) {
  std::lock_guard lock(mutex_);
  OperationRow row = given;
  // The key is made once, before any try, so that a second try writes the same row.
  if (!completed && row.key.empty()) row.key = NewRowKey();
  return Retried([&] { return WriteOnce(row, completed); });
}

int64_t PostgresHistoryStore::WriteOnce(const OperationRow& row, bool completed) {
  const bool byId = completed && row.key.empty();
  const auto kind = HistoryErrorKind::WriteFailed;
  if (connection_ && PQstatus(connection_) != CONNECTION_OK) Disconnect();
  Run("BEGIN", {}, kind);
  int64_t id = row.id;
  std::vector<SqlValue> values = OperationValues(row);
  if (byId) {
    values.erase(values.begin(), values.begin() + 2);
    values.push_back(row.id);
    Result updated(Run(CompleteByIdSql(Dialect::Postgres), values, kind));
    if (std::string(PQcmdTuples(updated.get())) != "1") {
      Run("ROLLBACK", {}, kind);
      throw HistoryError(kind, "history " + shown_ + ": no row " + std::to_string(row.id));
    }
  } else {
    Result written(Run(completed ? CompleteSql(Dialect::Postgres) : BeginSql(Dialect::Postgres),
                       values, kind));
    id = NumberOrZero(written.get(), 0, 0);
  }
  if (!row.unitId.empty()) Run(UnitUpsertSql(Dialect::Postgres), UnitValues(row, completed), kind);
  Run("COMMIT", {}, kind);
  return id;
}

int64_t PostgresHistoryStore::begin(const OperationRow& row) {
  return Write(row, false);
}

void PostgresHistoryStore::complete(const OperationRow& row) {
  Write(row, true);
}

std::vector<OperationRow> PostgresHistoryStore::query(const HistoryFilter& filter) {
  std::lock_guard lock(mutex_);
  const SqlStatement query = OperationsQuery(filter, Dialect::Postgres);
  Result result =
      Retried([&] { return Run(query.sql, query.params, HistoryErrorKind::ReadFailed); });
  std::vector<OperationRow> rows;
  for (int i = 0; i < PQntuples(result.get()); ++i) rows.push_back(ReadRow(result.get(), i));
  return rows;
}

std::vector<UnitState> PostgresHistoryStore::units(const HistoryFilter& filter) {
  std::lock_guard lock(mutex_);
  const SqlStatement query = UnitsQuery(filter, Dialect::Postgres);
  Result result =
      Retried([&] { return Run(query.sql, query.params, HistoryErrorKind::ReadFailed); });
  std::vector<UnitState> units;
  for (int i = 0; i < PQntuples(result.get()); ++i) units.push_back(ReadUnit(result.get(), i));
  return units;
}

}  // namespace uvq::history
