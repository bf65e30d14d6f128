// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>

#include "store/db/SqlConnection.h"

struct sqlite3;
struct sqlite3_stmt;

namespace uvq::store {

// The embedded database: one file (mode 0600 from its first byte), WAL so that several processes
// write at once, a busy time-out instead of "database is locked", statements prepared once.
class SqliteConnection : public SqlConnection {
 public:
  // How long a write waits for another process's transaction before it fails.
  static constexpr int kBusyTimeoutMs = kDefaultLockWaitMs;

  // Opens the file, creating it and its schema when missing, upgrading an older schema in
  // place. Throws StoreError: a file that is no uvq history, a newer schema, a file that cannot
  // be opened.
  explicit SqliteConnection(const std::string& path, int busyTimeoutMs = kBusyTimeoutMs);
  ~SqliteConnection() override;

  SqlResult run(const std::string& sql, const std::vector<SqlValue>& params = {}) override;

 protected:
  void begin(Access access) override;
  void commit() override;
  void rollback() noexcept override;
  void applyLockWait(int ms) override;

 private:
  void Open(int busyTimeoutMs);
  void Migrate();
  void Exec(const std::string& sql);
  int64_t Pragma(const char* sql);
  sqlite3_stmt* Prepared(const std::string& sql);
  [[noreturn]] void Failed(const std::string& what);
  void Close() noexcept;

  std::string path_;
  sqlite3* db_ = nullptr;
  bool syncedFully_ = false;  // PRAGMA synchronous is FULL, else NORMAL
  std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace uvq::store
