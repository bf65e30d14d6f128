// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/SqliteRolloutStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

#include "store/history/SqliteHistoryStore.h"

namespace uvq::history {

SqliteRolloutStore::SqliteRolloutStore(std::string path, int busyTimeoutMs)
    : SqlRolloutStore(Dialect::Sqlite), path_(std::filesystem::absolute(path).string()) {
  // The history's checks and upgrades (a foreign file or a newer schema refused) come first.
  { SqliteHistoryStore schema(path_, busyTimeoutMs); }
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close_v2(db_);
    throw HistoryError(HistoryErrorKind::Unavailable,
                       "rollouts " + path_ + ": cannot open: " + reason);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  // A power cut may lose the last claims or ends (WAL stays consistent): those units are simply
  // done again, which a rollout does anyway for units in flight. No wait for the disk per unit.
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
}

SqliteRolloutStore::~SqliteRolloutStore() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close_v2(db_);
}

void SqliteRolloutStore::Fail(const std::string& what) {
  throw HistoryError(failureKind(),
                     "rollouts " + path_ + ": " + what + ": " + std::string(sqlite3_errmsg(db_)));
}

void SqliteRolloutStore::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail(std::string("cannot run ") + sql);
}

void SqliteRolloutStore::Begin(Access access) {
  Exec(access == Access::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

void SqliteRolloutStore::Commit() {
  Exec("COMMIT");
}

void SqliteRolloutStore::Rollback() noexcept {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

sqlite3_stmt* SqliteRolloutStore::Prepared(const std::string& sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  // Numbered placeholders: $N is ?N here.
  std::string text = sql;
  std::replace(text.begin(), text.end(), '$', '?');
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK)
    Fail("cannot prepare a statement");
  statements_.emplace(sql, statement);
  return statement;
}

DbResult SqliteRolloutStore::Run(const std::string& sql, const std::vector<DbValue>& params) {
  sqlite3_stmt* statement = Prepared(sql);
  struct Reset {
    sqlite3_stmt* statement;
    ~Reset() {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  } reset{statement};
  for (size_t i = 0; i < params.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    const DbValue& value = params[i];
    switch (value.kind) {
      case DbValue::Kind::Number:
        sqlite3_bind_int64(statement, at, value.number);
        break;
      case DbValue::Kind::Text:
        sqlite3_bind_text(statement, at, value.text.data(), static_cast<int>(value.text.size()),
                          SQLITE_TRANSIENT);
        break;
      case DbValue::Kind::Bytes:
        sqlite3_bind_blob64(statement, at, value.text.data(), value.text.size(), SQLITE_TRANSIENT);
        break;
      case DbValue::Kind::Null:
        sqlite3_bind_null(statement, at);
        break;
    }
  }
  DbResult result;
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    DbRow row(static_cast<size_t>(sqlite3_column_count(statement)));
    for (int c = 0; c < static_cast<int>(row.size()); ++c) {
      switch (sqlite3_column_type(statement, c)) {
        case SQLITE_INTEGER:
          row[c] = DbValue(static_cast<int64_t>(sqlite3_column_int64(statement, c)));
          break;
        case SQLITE_NULL:
          break;
        case SQLITE_BLOB: {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, c));
          row[c] = DbValue::Bytes(std::string(
              data ? data : "", static_cast<size_t>(sqlite3_column_bytes(statement, c))));
          break;
        }
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
          row[c] = DbValue(std::string(text ? text : "",
                                       static_cast<size_t>(sqlite3_column_bytes(statement, c))));
        }
      }
    }
    result.rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) Fail("a statement failed");
  result.changed = sqlite3_changes64(db_);
  return result;
}

}  // namespace uvq::history
