// SPDX-License-Identifier: Apache-2.0
#include "store/db/PostgresConnection.h"

#include <libpq-fe.h>

#include <memory>

#include "store/db/HistorySchema.h"
#include "store/db/RedactedUrl.h"

namespace uvq::store {

namespace {

// A constant of this program that serialises schema changes across stations.
constexpr const char* kSchemaLockSql = "SELECT pg_advisory_xact_lock(5566514800001)";

// Column types as the server numbers them (pg_type.oid).
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kBytea = 17;

void IgnoreNotice(void*, const char*) {}

struct ClearResult {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Serialization failures (40001), deadlocks (40P01) and a lock not granted (55P03) break a
// transaction that may simply run again.
bool Transient(const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  if (!state) return false;
  const std::string code = state;
  return code == "40001" || code == "40P01" || code == "55P03";
}

SqlValue ColumnAt(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return {};
  const char* text = PQgetvalue(result, row, column);
  const auto length = static_cast<size_t>(PQgetlength(result, row, column));
  const Oid type = PQftype(result, column);
  if (type == kInt8 || type == kInt4 || type == kInt2)
    return SqlValue(static_cast<int64_t>(std::stoll(text)));
  if (type == kBytea) {
    // BYTEA comes as text ("\x..." hexadecimal).
    size_t size = 0;
    unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
    std::string bytes = raw ? std::string(reinterpret_cast<const char*>(raw), size) : std::string();
    if (raw) PQfreemem(raw);
    return SqlValue::Bytes(std::move(bytes));
  }
  return SqlValue(std::string(text, length));
}

}  // namespace

PostgresConnection::PostgresConnection(std::string setting)
    : SqlConnection(Dialect::Postgres, RedactedSetting(setting)), setting_(std::move(setting)) {
  try {
    Connect();
    Migrate();
  } catch (...) {
    Disconnect();
    throw;
  }
}

PostgresConnection::~PostgresConnection() {
  Disconnect();
}

void PostgresConnection::Disconnect() noexcept {
  if (connection_) PQfinish(connection_);
  connection_ = nullptr;
  prepared_.clear();
}

void PostgresConnection::Failed(const std::string& what, const pg_result* result) {
  std::string reason;
  if (connection_) {
    reason = WithoutPassword(Trimmed(PQerrorMessage(connection_)), setting_);
    if (PQstatus(connection_) != CONNECTION_OK) Disconnect();
  }
  Fail(what, reason, Transient(result));
}

void PostgresConnection::Connect() {
  Disconnect();
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  // The setting comes last so that what it says wins; a URL and "key=value" text both expand.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), "uvq", setting_.c_str(), nullptr};
  connection_ = PQconnectdbParams(keys, values, 1);
  if (!connection_) Fail(StoreErrorKind::Unavailable, "out of memory");
  if (PQstatus(connection_) != CONNECTION_OK) {
    const std::string reason = WithoutPassword(Trimmed(PQerrorMessage(connection_)), setting_);
    Disconnect();
    Fail(StoreErrorKind::Unavailable, "cannot connect: " + reason);
  }
  // The server's notices ("relation ... already exists") are no business of the user's terminal.
  PQsetNoticeProcessor(connection_, IgnoreNotice, nullptr);
}

void PostgresConnection::Migrate() {
  failure_ = StoreErrorKind::Unavailable;
  auto refuse = [this](StoreErrorKind kind, const std::string& message) {
    rollback();
    throw StoreError(kind, message);
  };
  run("BEGIN");
  run(kSchemaLockSql);
  const SqlResult tables = run(
      "SELECT to_regclass('schema_version') IS NOT NULL, to_regclass('operations') IS NOT NULL");
  const bool versioned = tables.rows.at(0).at(0).asText() == "t";
  const bool operations = tables.rows.at(0).at(1).asText() == "t";
  int version = 0;
  if (versioned) {
    const SqlResult found = run("SELECT version FROM schema_version WHERE application = $1",
                                {std::string(kApplicationName)});
    if (found.rows.size() != 1)
      refuse(StoreErrorKind::NotAHistory,
             "history " + description() +
                 ": not a uvq history (its schema_version table belongs to something else)");
    version = static_cast<int>(found.rows.front().at(0).asNumber());
  } else if (operations) {
    refuse(StoreErrorKind::NotAHistory,
           "history " + description() +
               ": not a uvq history (an operations table without a uvq schema version)");
  }
  if (version > kSchemaVersion)
    refuse(StoreErrorKind::NewerSchema, NewerSchemaMessage(description(), version));
  for (int step = version + 1; step <= kSchemaVersion; ++step)
    for (const std::string& sql : SchemaStep(step, Dialect::Postgres)) run(sql);
  AfterSchemaSteps(version, *this);
  if (!versioned)
    run("CREATE TABLE schema_version (application TEXT PRIMARY KEY, version INTEGER NOT NULL)");
  if (version != kSchemaVersion)
    run("INSERT INTO schema_version(application, version) VALUES($1, $2) ON CONFLICT(application) "
        "DO UPDATE SET version = excluded.version",
        {std::string(kApplicationName), int64_t{kSchemaVersion}});
  run("COMMIT");
}

void PostgresConnection::begin(Access access) {
  if (connection_ && PQstatus(connection_) != CONNECTION_OK) Disconnect();
  if (!connection_) Connect();
  // Reads see one snapshot; writes see what other stations committed, statement by statement,
  // under the row locks they take.
  run(access == Access::Read ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN");
}

void PostgresConnection::commit() {
  run("COMMIT");
}

void PostgresConnection::rollback() noexcept {
  if (connection_ && PQstatus(connection_) == CONNECTION_OK &&
      PQtransactionStatus(connection_) != PQTRANS_IDLE)
    Result(PQexec(connection_, "ROLLBACK"));
}

SqlResult PostgresConnection::run(const std::string& sql, const std::vector<SqlValue>& params) {
  if (!connection_) Connect();
  const size_t count = params.size();
  std::vector<std::string> texts(count);
  std::vector<const char*> values(count, nullptr);
  std::vector<int> lengths(count, 0);
  std::vector<int> formats(count, 0);
  for (size_t i = 0; i < count; ++i) {
    const SqlValue& value = params[i];
    if (value.kind == SqlValue::Kind::Number) {
      texts[i] = std::to_string(value.number);
      values[i] = texts[i].c_str();
    } else if (value.kind != SqlValue::Kind::Null) {
      values[i] = value.text.c_str();
      lengths[i] = static_cast<int>(value.text.size());
      formats[i] = value.kind == SqlValue::Kind::Bytes ? 1 : 0;
    }
  }
  Result result;
  if (count == 0) {
    result.reset(PQexecParams(connection_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
  } else {
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
      const std::string name = "uvq_" + std::to_string(prepared_.size() + 1);
      Result prepared(
          PQprepare(connection_, name.c_str(), sql.c_str(), static_cast<int>(count), nullptr));
      if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK)
        Failed("cannot prepare a statement", prepared.get());
      found = prepared_.emplace(sql, name).first;
    }
    result.reset(PQexecPrepared(connection_, found->second.c_str(), static_cast<int>(count),
                                values.data(), lengths.data(), formats.data(), 0));
  }
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    Failed("a statement failed", result.get());
  SqlResult out;
  const int rows = PQntuples(result.get());
  const int columns = PQnfields(result.get());
  out.rows.reserve(static_cast<size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    SqlRow row(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) row[static_cast<size_t>(c)] = ColumnAt(result.get(), r, c);
    out.rows.push_back(std::move(row));
  }
  const char* changed = PQcmdTuples(result.get());
  out.changed = changed && *changed ? std::stoll(changed) : 0;
  return out;
}

}  // namespace uvq::store
