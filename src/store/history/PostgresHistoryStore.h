// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "store/history/HistoryQuery.h"
#include "store/history/HistoryStore.h"

struct pg_conn;
struct pg_result;

namespace uvq::history {

// One history for many stations, through libpq: every value a parameter, one transaction per
// write, statements prepared once per connection. A lost connection (server stopped or
// restarted) is made again by the next call. No message carries the URL's password.
class PostgresHistoryStore : public HistoryStore {
 public:
  // Connects, creates the schema in an empty database or upgrades an older one (under an
  // advisory lock, so stations starting together do it once). Throws HistoryError.
  explicit PostgresHistoryStore(std::string url);
  ~PostgresHistoryStore() override;
  PostgresHistoryStore(const PostgresHistoryStore&) = delete;
  PostgresHistoryStore& operator=(const PostgresHistoryStore&) = delete;

  int64_t begin(const OperationRow& row) override;
  void complete(const OperationRow& row) override;
  std::vector<OperationRow> query(const HistoryFilter& filter) override;
  std::vector<UnitState> units(const HistoryFilter& filter) override;
  std::string location() const override { return shown_; }

  static constexpr int kConnectTimeoutSeconds = 10;

 private:
  struct ResultDeleter {
    void operator()(pg_result* result) const;
  };
  using Result = std::unique_ptr<pg_result, ResultDeleter>;

  void Connect();
  void Disconnect();
  void CheckAndUpgrade();
  // Runs a statement (prepared once per connection when it has parameters); throws with `kind`.
  Result Run(const std::string& sql, const std::vector<SqlValue>& params, HistoryErrorKind kind);
  [[noreturn]] void Fail(HistoryErrorKind kind, const std::string& what);
  int64_t Write(const OperationRow& row, bool completed);
  int64_t WriteOnce(const OperationRow& row, bool completed);
  template <typename Call>
  auto Retried(Call call);

  std::string url_;
  std::string shown_;  // url_ without its password
  pg_conn* connection_ = nullptr;
  std::map<std::string, std::string> prepared_;  // SQL -> statement name on this connection
  std::mutex mutex_;
};

}  // namespace uvq::history
