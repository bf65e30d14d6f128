// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>

#include "store/rollouts/SqlRolloutStore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace uvq::history {

// The rollouts in the history's SQLite file, on a connection of their own: several processes on
// one machine share a rollout, each write holding the file's write lock (BEGIN IMMEDIATE, a busy
// time-out instead of "database is locked").
class SqliteRolloutStore : public SqlRolloutStore {
 public:
  // Opens (creates or upgrades, as the history does) the file. Throws HistoryError.
  explicit SqliteRolloutStore(std::string path, int busyTimeoutMs = 15000);
  ~SqliteRolloutStore() override;
  SqliteRolloutStore(const SqliteRolloutStore&) = delete;
  SqliteRolloutStore& operator=(const SqliteRolloutStore&) = delete;

 protected:
  void Begin(Access access) override;
  void Commit() override;
  void Rollback() noexcept override;
  DbResult Run(const std::string& sql, const std::vector<DbValue>& params) override;

 private:
  [[noreturn]] void Fail(const std::string& what);
  void Exec(const char* sql);
  sqlite3_stmt* Prepared(const std::string& sql);

  std::string path_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace uvq::history
