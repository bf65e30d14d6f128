// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "store/history/HistoryStore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace uvq::history {

// The embedded history: one file, one connection per process, WAL so that several processes write
// at once, a busy time-out instead of "database is locked", one transaction per write, statements
// prepared once. Safe to call from several threads.
class SqliteHistoryStore : public HistoryStore {
 public:
  // How long a write waits for another process's transaction before it fails (and is spooled).
  static constexpr int kBusyTimeoutMs = 15000;

  // Opens the file, creating it (mode 0600) and its schema when missing, upgrading an older
  // schema in place. Throws HistoryError: a file that is no uvq history, a newer schema, a
  // file that cannot be opened.
  explicit SqliteHistoryStore(std::string path, int busyTimeoutMs = kBusyTimeoutMs);
  ~SqliteHistoryStore() override;
  SqliteHistoryStore(const SqliteHistoryStore&) = delete;
  SqliteHistoryStore& operator=(const SqliteHistoryStore&) = delete;

  int64_t begin(const OperationRow& row) override;
  std::vector<int64_t> beginAll(const std::vector<OperationRow>& rows) override;
  void complete(const OperationRow& row) override;
  std::vector<OperationRow> query(const HistoryFilter& filter) override;
  std::vector<UnitState> units(const HistoryFilter& filter) override;
  std::string location() const override { return path_; }

 private:
  void Open();
  void CheckAndUpgrade();
  void Exec(const std::string& sql);
  sqlite3_stmt* Prepared(const std::string& sql);
  [[noreturn]] void Fail(HistoryErrorKind kind, const std::string& what);
  std::vector<int64_t> Write(const std::vector<OperationRow>& rows, bool completed);

  std::string path_;
  int busyTimeoutMs_;
  bool syncedFully_ = true;  // PRAGMA synchronous is FULL (set at open), else NORMAL
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::mutex mutex_;
};

}  // namespace uvq::history
