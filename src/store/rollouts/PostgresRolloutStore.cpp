// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/PostgresRolloutStore.h"

#include <libpq-fe.h>

#include <memory>

#include "store/db/RedactedUrl.h"
#include "store/history/PostgresHistoryStore.h"

namespace uvq::history {

namespace {

void IgnoreNotice(void*, const char*) {}

struct ClearResult {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

}  // namespace

PostgresRolloutStore::PostgresRolloutStore(std::string url)
    : SqlRolloutStore(Dialect::Postgres), url_(std::move(url)), shown_(RedactedUrl(url_)) {
  // The history's checks and upgrades (under its advisory lock) come first.
  { PostgresHistoryStore schema(url_); }
  Connect();
}

PostgresRolloutStore::~PostgresRolloutStore() {
  Disconnect();
}

void PostgresRolloutStore::Disconnect() {
  if (connection_) PQfinish(connection_);
  connection_ = nullptr;
  prepared_.clear();
}

void PostgresRolloutStore::Fail(const std::string& what, const pg_result* result) {
  // 40001 serialization failure, 40P01 deadlock detected.
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  brokenByServer_ = state && std::string(state).rfind("40", 0) == 0;
  std::string message = "rollouts " + shown_ + ": " + what;
  HistoryErrorKind kind = failureKind();
  if (connection_) {
    std::string reason = PQerrorMessage(connection_);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    if (!reason.empty()) message += ": " + WithoutPassword(reason, url_);
    if (PQstatus(connection_) != CONNECTION_OK) Disconnect();
  }
  throw HistoryError(kind, message);
}

void PostgresRolloutStore::Connect() {
  Disconnect();
  const std::string timeout = std::to_string(PostgresHistoryStore::kConnectTimeoutSeconds);
  // The URL comes last so that what it says wins.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), "uvq", url_.c_str(), nullptr};
  connection_ = PQconnectdbParams(keys, values, 1);
  if (!connection_)
    throw HistoryError(HistoryErrorKind::Unavailable, "rollouts " + shown_ + ": out of memory");
  if (PQstatus(connection_) != CONNECTION_OK) {
    std::string reason = WithoutPassword(PQerrorMessage(connection_), url_);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    Disconnect();
    throw HistoryError(HistoryErrorKind::Unavailable,
                       "rollouts " + shown_ + ": cannot connect: " + reason);
  }
  PQsetNoticeProcessor(connection_, IgnoreNotice, nullptr);
}

void PostgresRolloutStore::Exec(const char* sql) {
  if (!connection_) Connect();
  Result result(PQexec(connection_, sql));
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
    Fail(std::string("cannot run ") + sql, result.get());
}

void PostgresRolloutStore::Begin(Access access) {
  if (connection_ && PQstatus(connection_) != CONNECTION_OK) Disconnect();
  // Reads see one snapshot; writes see what other stations committed, statement by statement,
  // under the row locks they take.
  Exec(access == Access::Write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
}

void PostgresRolloutStore::Commit() {
  Exec("COMMIT");
}

void PostgresRolloutStore::Rollback() noexcept {
  if (connection_ && PQstatus(connection_) == CONNECTION_OK &&
      PQtransactionStatus(connection_) != PQTRANS_IDLE)
    Result(PQexec(connection_, "ROLLBACK"));
}

DbResult PostgresRolloutStore::Run(const std::string& sql, const std::vector<DbValue>& params) {
  if (!connection_) Connect();
  const size_t count = params.size();
  std::vector<std::string> texts(count);
  std::vector<const char*> values(count, nullptr);
  std::vector<int> lengths(count, 0);
  std::vector<int> formats(count, 0);
  for (size_t i = 0; i < count; ++i) {
    const DbValue& value = params[i];
    if (value.kind == DbValue::Kind::Number) {
      texts[i] = std::to_string(value.number);
      values[i] = texts[i].c_str();
    } else if (value.kind != DbValue::Kind::Null) {
      values[i] = value.text.c_str();
      lengths[i] = static_cast<int>(value.text.size());
      formats[i] = value.kind == DbValue::Kind::Bytes ? 1 : 0;
    }
  }
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    const std::string name = "uvq_rollout_" + std::to_string(prepared_.size() + 1);
    Result prepared(
        PQprepare(connection_, name.c_str(), sql.c_str(), static_cast<int>(count), nullptr));
    if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) Fail("cannot prepare a statement");
    found = prepared_.emplace(sql, name).first;
  }
  Result result(PQexecPrepared(connection_, found->second.c_str(), static_cast<int>(count),
                               values.data(), lengths.data(), formats.data(), 0));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    Fail("a statement failed", result.get());
  DbResult out;
  const int rows = PQntuples(result.get());
  const int columns = PQnfields(result.get());
  out.rows.reserve(static_cast<size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    DbRow row(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c)
      if (!PQgetisnull(result.get(), r, c))
        row[static_cast<size_t>(c)] = DbValue(std::string(
            PQgetvalue(result.get(), r, c), static_cast<size_t>(PQgetlength(result.get(), r, c))));
    out.rows.push_back(std::move(row));
  }
  const char* changed = PQcmdTuples(result.get());
  out.changed = changed && *changed ? std::stoll(changed) : 0;
  return out;
}

std::string PostgresRolloutStore::BytesOf(const DbValue& column) const {
  // BYTEA comes as text ("\x..." hexadecimal).
  size_t length = 0;
  unsigned char* raw =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(column.text.c_str()), &length);
  if (!raw) return {};
  std::string bytes(reinterpret_cast<const char*>(raw), length);
  PQfreemem(raw);
  return bytes;
}

}  // namespace uvq::history
