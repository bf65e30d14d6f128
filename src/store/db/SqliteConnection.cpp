// SPDX-License-Identifier: Apache-2.0
#include "store/db/SqliteConnection.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/db/HistorySchema.h"

namespace uvq::store {

namespace {

// Resets a statement kept for the process once a call is done with it, whatever happened.
class Use {
 public:
  explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
  ~Use() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  sqlite3_stmt* statement_;
};

// Worth another try: a snapshot that went stale, a recovery in another process, a table locked.
// A plain SQLITE_BUSY comes after the busy time-out has been waited out already.
bool Transient(int code) {
  return code == SQLITE_BUSY_SNAPSHOT || code == SQLITE_BUSY_RECOVERY ||
         (code & 0xff) == SQLITE_LOCKED;
}

bool NotADatabase(int code) {
  code &= 0xff;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

SqlValue ColumnAt(sqlite3_stmt* statement, int c) {
  switch (sqlite3_column_type(statement, c)) {
    case SQLITE_INTEGER:
      return SqlValue(static_cast<int64_t>(sqlite3_column_int64(statement, c)));
    case SQLITE_NULL:
      return {};
    case SQLITE_BLOB: {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, c));
      return SqlValue::Bytes(
          std::string(data ? data : "", static_cast<size_t>(sqlite3_column_bytes(statement, c))));
    }
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
      return SqlValue(
          std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement, c))));
    }
  }
}

}  // namespace

SqliteConnection::SqliteConnection(const std::string& path, int busyTimeoutMs)
    : SqlConnection(Dialect::Sqlite, std::filesystem::absolute(path).lexically_normal().string()),
      path_(description()) {
  try {
    Open(busyTimeoutMs);
    Migrate();
  } catch (...) {
    Close();
    throw;
  }
}

SqliteConnection::~SqliteConnection() {
  Close();
}

void SqliteConnection::Close() noexcept {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void SqliteConnection::Failed(const std::string& what) {
  const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_ERROR;
  Fail(what, db_ ? sqlite3_errmsg(db_) : "", Transient(code));
}

void SqliteConnection::Open(int busyTimeoutMs) {
  // Created here, not by SQLite, so that it is private from the first byte; SQLite gives its
  // -wal and -shm files the mode of this one. Only when it is not there yet: closing a
  // descriptor of a database file drops every POSIX lock this process holds on it, so with
  // another connection open here other processes could checkpoint and remove the WAL under it
  // and corrupt the file.
  struct stat info {};
  const bool exists = ::lstat(path_.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode))
    Fail(StoreErrorKind::Unavailable, std::string("cannot open: ") + std::strerror(ELOOP));
  if (!exists) {
    // Another process may create it at the same moment: then it is simply there.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST)
      Fail(StoreErrorKind::Unavailable, std::string("cannot open: ") + std::strerror(errno));
    if (fd >= 0) ::close(fd);
  }
  failure_ = StoreErrorKind::Unavailable;
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    Failed("cannot open");
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
}

void SqliteConnection::Exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    Failed("cannot run \"" + sql.substr(0, 40) + "...\"");
}

int64_t SqliteConnection::Pragma(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
    if (NotADatabase(sqlite3_errcode(db_)))
      Fail(StoreErrorKind::NotAHistory, "not a uvq history (not an SQLite database)");
    Failed("cannot read");
  }
  const int step = sqlite3_step(statement);
  const int64_t value = step == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
  const int code = sqlite3_errcode(db_);
  sqlite3_finalize(statement);
  if (step != SQLITE_ROW) {
    if (NotADatabase(code))
      Fail(StoreErrorKind::NotAHistory, "not a uvq history (not an SQLite database)");
    Failed("cannot read");
  }
  return value;
}

void SqliteConnection::Migrate() {
  // Read before anything is written, so that another program's database is left as it was.
  auto check = [&](int64_t application, int64_t version, int64_t tables) {
    const bool empty = application == 0 && version == 0 && tables == 0;
    if (!empty && application != kSqliteApplicationId)
      Fail(StoreErrorKind::NotAHistory, "not a uvq history (another SQLite database)");
    if (version > kSchemaVersion)
      throw StoreError(StoreErrorKind::NewerSchema,
                       NewerSchemaMessage(path_, static_cast<int>(version)));
  };
  const char* kTables = "SELECT count(*) FROM sqlite_master";
  check(Pragma("PRAGMA application_id"), Pragma("PRAGMA user_version"), Pragma(kTables));
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  Exec("PRAGMA foreign_keys=ON");
  if (Pragma("PRAGMA user_version") == kSchemaVersion) return;
  // Another process may be creating or upgrading the same file: decide again under the lock.
  Exec("BEGIN IMMEDIATE");
  try {
    const int64_t version = Pragma("PRAGMA user_version");
    check(Pragma("PRAGMA application_id"), version, Pragma(kTables));
    for (int step = static_cast<int>(version) + 1; step <= kSchemaVersion; ++step)
      for (const std::string& sql : SchemaStep(step, Dialect::Sqlite)) Exec(sql);
    AfterSchemaSteps(static_cast<int>(version), *this);
    // Constants of this program, not values from outside.
    Exec("PRAGMA application_id = " + std::to_string(kSqliteApplicationId));
    Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void SqliteConnection::begin(Access access) {
  // A durable write reaches the disk before the caller goes on (a row begun before its
  // operation); other writes may wait for the next sync, which WAL keeps consistent.
  const bool full = access == Access::DurableWrite;
  if (access != Access::Read && full != syncedFully_) {
    Exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    syncedFully_ = full;
  }
  Exec(access == Access::Read ? "BEGIN" : "BEGIN IMMEDIATE");
}

void SqliteConnection::applyLockWait(int ms) {
  if (db_) sqlite3_busy_timeout(db_, ms);
}

void SqliteConnection::commit() {
  Exec("COMMIT");
}

void SqliteConnection::rollback() noexcept {
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

sqlite3_stmt* SqliteConnection::Prepared(const std::string& sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK)
    Failed("cannot prepare a statement");
  statements_.emplace(sql, statement);
  return statement;
}

SqlResult SqliteConnection::run(const std::string& sql, const std::vector<SqlValue>& params) {
  sqlite3_stmt* statement = Prepared(sql);
  Use use(statement);
  // "$n" is a named parameter to SQLite, numbered by first appearance: each is bound by its
  // name, so the statement's text is never rewritten.
  const int count = sqlite3_bind_parameter_count(statement);
  for (int at = 1; at <= count; ++at) {
    const char* name = sqlite3_bind_parameter_name(statement, at);
    size_t number = 0;
    if (name && name[0] == '$') {
      try {
        number = std::stoul(name + 1);
      } catch (const std::exception&) {
        number = 0;
      }
    }
    if (number == 0 || number > params.size())
      Fail(StoreErrorKind::ReadFailed,
           std::string("a statement's parameter ") + (name ? name : "?") + " has no value");
    const SqlValue& value = params[number - 1];
    switch (value.kind) {
      case SqlValue::Kind::Number:
        sqlite3_bind_int64(statement, at, value.number);
        break;
      case SqlValue::Kind::Text:
        sqlite3_bind_text64(statement, at, value.text.data(), value.text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        break;
      case SqlValue::Kind::Bytes:
        sqlite3_bind_blob64(statement, at, value.text.data(), value.text.size(), SQLITE_TRANSIENT);
        break;
      case SqlValue::Kind::Null:
        sqlite3_bind_null(statement, at);
        break;
    }
  }
  SqlResult result;
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    SqlRow row(static_cast<size_t>(sqlite3_column_count(statement)));
    for (int c = 0; c < static_cast<int>(row.size()); ++c) row[c] = ColumnAt(statement, c);
    result.rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) Failed("a statement failed");
  result.changed = sqlite3_changes64(db_);
  return result;
}

}  // namespace uvq::store
