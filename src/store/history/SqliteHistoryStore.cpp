// SPDX-License-Identifier: Apache-2.0
#include "store/history/SqliteHistoryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/db/HistorySchema.h"
#include "store/history/HistoryQuery.h"

namespace uvq::history {

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

void Bind(sqlite3_stmt* statement, const std::vector<SqlValue>& values) {
  for (size_t i = 0; i < values.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    if (values[i].kind == SqlValue::Kind::Number)
      sqlite3_bind_int64(statement, at, values[i].number);
    else if (values[i].kind == SqlValue::Kind::Text)
      sqlite3_bind_text(statement, at, values[i].text.data(),
                        static_cast<int>(values[i].text.size()), SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(statement, at);
  }
}

std::string TextAt(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

std::optional<int64_t> NumberAt(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(statement, column);
}

OperationRow ReadRow(sqlite3_stmt* s) {
  OperationRow row;
  int c = 0;
  row.id = sqlite3_column_int64(s, c++);
  row.key = TextAt(s, c++);
  row.startedAt = sqlite3_column_int64(s, c++);
  row.endedAt = NumberAt(s, c++);
  row.station = TextAt(s, c++);
  row.osUser = TextAt(s, c++);
  row.frontEnd = TextAt(s, c++);
  row.toolVersion = TextAt(s, c++);
  row.target = TextAt(s, c++);
  row.unitId = TextAt(s, c++);
  row.reportedAddress = TextAt(s, c++);
  row.operation = TextAt(s, c++);
  row.eraseKind = TextAt(s, c++);
  row.imagePath = TextAt(s, c++);
  row.imageBytes = sqlite3_column_int64(s, c++);
  row.imageSha256 = TextAt(s, c++);
  row.records = sqlite3_column_int64(s, c++);
  row.resends = sqlite3_column_int64(s, c++);
  row.refusedRecords = sqlite3_column_int64(s, c++);
  row.outcome = TextAt(s, c++);
  if (auto status = NumberAt(s, c++)) row.finalStatus = static_cast<uint16_t>(*status);
  row.finalFlags = TextAt(s, c++);
  row.detail = TextAt(s, c++);
  row.rollout = TextAt(s, c++);
  if (auto group = NumberAt(s, c++)) row.group = static_cast<int>(*group);
  return row;
}

UnitState ReadUnit(sqlite3_stmt* s) {
  UnitState unit;
  unit.unitId = TextAt(s, 0);
  unit.address = TextAt(s, 1);
  unit.lastSeen = sqlite3_column_int64(s, 2);
  unit.lastOperation = TextAt(s, 3);
  unit.lastOutcome = TextAt(s, 4);
  unit.lastStation = TextAt(s, 5);
  unit.lastImagePath = TextAt(s, 6);
  unit.lastImageSha256 = TextAt(s, 7);
  unit.lastProgrammedAt = NumberAt(s, 8);
  return unit;
}

}  // namespace

SqliteHistoryStore::SqliteHistoryStore(std::string path, int busyTimeoutMs)
    : path_(std::filesystem::absolute(path).string()), busyTimeoutMs_(busyTimeoutMs) {
  try {
    Open();
    CheckAndUpgrade();
  } catch (...) {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    statements_.clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

SqliteHistoryStore::~SqliteHistoryStore() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close_v2(db_);
}

void SqliteHistoryStore::Fail(HistoryErrorKind kind, const std::string& what) {
  std::string message = "history " + path_ + ": " + what;
  if (db_) message += ": " + std::string(sqlite3_errmsg(db_));
  throw HistoryError(kind, message);
}

void SqliteHistoryStore::Open() {
  // Created here, not by SQLite, so that it is private from the first byte; SQLite gives its
  // -wal and -shm files the mode of this one. Only when it is not there yet: closing a
  // descriptor of a database file drops every POSIX lock this process holds on it, so with
  // another connection open here (a rollout's store beside the history) other processes could
  // checkpoint and remove the WAL under it and corrupt the file.
  struct stat info {};
  const bool exists = ::lstat(path_.c_str(), &info) == 0;
  if (exists && S_ISLNK(info.st_mode))
    throw HistoryError(HistoryErrorKind::Unavailable,
                       "history " + path_ + ": cannot open: " + std::strerror(ELOOP));
  if (!exists) {
    // Another process may create it at the same moment: then it is simply there.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST)
      throw HistoryError(HistoryErrorKind::Unavailable,
                         "history " + path_ + ": cannot open: " + std::strerror(errno));
    if (fd >= 0) ::close(fd);
  }
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    Fail(HistoryErrorKind::Unavailable, "cannot open");
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs_);
}

void SqliteHistoryStore::Exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail(HistoryErrorKind::Unavailable, "cannot run \"" + sql.substr(0, 40) + "...\"");
}

void SqliteHistoryStore::CheckAndUpgrade() {
  // Read before anything is written, so that another program's database is left as it was.
  auto pragma = [this](const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
      const int code = sqlite3_errcode(db_) & 0xff;
      if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
        Fail(HistoryErrorKind::NotAHistory, "not a uvq history (not an SQLite database)");
      Fail(HistoryErrorKind::Unavailable, "cannot read");
    }
    const int step = sqlite3_step(statement);
    const int64_t value = step == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    const int code = sqlite3_errcode(db_) & 0xff;
    sqlite3_finalize(statement);
    if (step != SQLITE_ROW) {
      if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
        Fail(HistoryErrorKind::NotAHistory, "not a uvq history (not an SQLite database)");
      Fail(HistoryErrorKind::Unavailable, "cannot read");
    }
    return value;
  };
  auto check = [&](int64_t application, int64_t version, int64_t tables) {
    const bool empty = application == 0 && version == 0 && tables == 0;
    if (!empty && application != kSqliteApplicationId)
      Fail(HistoryErrorKind::NotAHistory, "not a uvq history (another SQLite database)");
    if (version > kSchemaVersion)
      throw HistoryError(HistoryErrorKind::NewerSchema,
                         NewerSchemaMessage(path_, static_cast<int>(version)));
  };
  const char* kTables = "SELECT count(*) FROM sqlite_master";
  check(pragma("PRAGMA application_id"), pragma("PRAGMA user_version"), pragma(kTables));
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=FULL");
  if (pragma("PRAGMA user_version") == kSchemaVersion) return;
  // Another process may be creating or upgrading the same file: decide again under the lock.
  Exec("BEGIN IMMEDIATE");
  try {
    const int64_t version = pragma("PRAGMA user_version");
    check(pragma("PRAGMA application_id"), version, pragma(kTables));
    for (int step = static_cast<int>(version) + 1; step <= kSchemaVersion; ++step)
      for (const std::string& sql : SchemaStep(step, Dialect::Sqlite)) Exec(sql);
    // Constants of this program, not values from outside.
    Exec("PRAGMA application_id = " + std::to_string(kSqliteApplicationId));
    Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

sqlite3_stmt* SqliteHistoryStore::Prepared(const std::string& sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK)
    Fail(HistoryErrorKind::ReadFailed, "cannot prepare a statement");
  statements_.emplace(sql, statement);
  return statement;
}

std::vector<int64_t> SqliteHistoryStore::Write(const std::vector<OperationRow>& rows,
                                               bool completed) {
  std::lock_guard lock(mutex_);
  auto fail = [this](const char* what) { Fail(HistoryErrorKind::WriteFailed, what); };
  // A begin reaches the disk before the operation goes on, so that a power cut leaves the row
  // ("abandoned"); a completion may wait for the next sync (a power cut right after it leaves
  // the row abandoned, never corrupt): one wait for the disk per operation instead of two.
  if (syncedFully_ == completed) {
    const char* pragma = completed ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL";
    if (sqlite3_exec(db_, pragma, nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot write");
    syncedFully_ = !completed;
  }
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
    fail("cannot write");
  try {
    std::vector<int64_t> ids;
    ids.reserve(rows.size());
    // Every row in the one transaction: one wait for the disk for all of them.
    for (const OperationRow& given : rows) {
      OperationRow row = given;
      const bool byId = completed && row.key.empty();
      if (!completed && row.key.empty()) row.key = NewRowKey();
      int64_t id = row.id;
      std::vector<SqlValue> values = OperationValues(row);
      if (byId) {
        values.erase(values.begin(), values.begin() + 2);
        values.push_back(row.id);
        sqlite3_stmt* update = Prepared(CompleteByIdSql(Dialect::Sqlite));
        Use use(update);
        Bind(update, values);
        if (sqlite3_step(update) != SQLITE_DONE) fail("cannot complete a row");
        if (sqlite3_changes(db_) != 1)
          throw HistoryError(
              HistoryErrorKind::WriteFailed,
              "history " + path_ + ": no row " + std::to_string(row.id) + " to complete");
      } else {
        sqlite3_stmt* write =
            Prepared(completed ? CompleteSql(Dialect::Sqlite) : BeginSql(Dialect::Sqlite));
        Use use(write);
        Bind(write, values);
        if (sqlite3_step(write) != SQLITE_ROW) fail("cannot write a row");
        id = sqlite3_column_int64(write, 0);
      }
      if (!row.unitId.empty()) {
        sqlite3_stmt* unit = Prepared(UnitUpsertSql(Dialect::Sqlite));
        Use use(unit);
        Bind(unit, UnitValues(row, completed));
        if (sqlite3_step(unit) != SQLITE_DONE) fail("cannot write the unit's state");
      }
      ids.push_back(id);
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot commit");
    return ids;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int64_t SqliteHistoryStore::begin(const OperationRow& row) {
  return Write({row}, false).front();
}

std::vector<int64_t> SqliteHistoryStore::beginAll(const std::vector<OperationRow>& rows) {
  if (rows.empty()) return {};
  return Write(rows, false);
}

void SqliteHistoryStore::complete(const OperationRow& row) {
  Write({row}, true);
}

std::vector<OperationRow> SqliteHistoryStore::query(const HistoryFilter& filter) {
  std::lock_guard lock(mutex_);
  const SqlStatement query = OperationsQuery(filter, Dialect::Sqlite);
  sqlite3_stmt* statement = Prepared(query.sql);
  Use use(statement);
  Bind(statement, query.params);
  std::vector<OperationRow> rows;
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) rows.push_back(ReadRow(statement));
  if (step != SQLITE_DONE) Fail(HistoryErrorKind::ReadFailed, "cannot read the operations");
  return rows;
}

std::vector<UnitState> SqliteHistoryStore::units(const HistoryFilter& filter) {
  std::lock_guard lock(mutex_);
  const SqlStatement query = UnitsQuery(filter, Dialect::Sqlite);
  sqlite3_stmt* statement = Prepared(query.sql);
  Use use(statement);
  Bind(statement, query.params);
  std::vector<UnitState> units;
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) units.push_back(ReadUnit(statement));
  if (step != SQLITE_DONE) Fail(HistoryErrorKind::ReadFailed, "cannot read the units");
  return units;
}

}  // namespace uvq::history
