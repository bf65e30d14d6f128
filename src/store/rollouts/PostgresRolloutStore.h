// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>

#include "store/rollouts/SqlRolloutStore.h"

struct pg_conn;
struct pg_result;

namespace uvq::history {

// The rollouts in the history's PostgreSQL database, on a connection of their own: claims under
// row locks that other stations skip, ends judged under the rollout's row lock. A lost connection
// (server restarted) is made again by the next call. No message carries the URL's password.
class PostgresRolloutStore : public SqlRolloutStore {
 public:
  // Connects (creating or upgrading the schema, as the history does). Throws HistoryError.
  explicit PostgresRolloutStore(std::string url);
  ~PostgresRolloutStore() override;
  PostgresRolloutStore(const PostgresRolloutStore&) = delete;
  PostgresRolloutStore& operator=(const PostgresRolloutStore&) = delete;

 protected:
  void Begin(Access access) override;
  void Commit() override;
  void Rollback() noexcept override;
  DbResult Run(const std::string& sql, const std::vector<DbValue>& params) override;
  std::string BytesOf(const DbValue& column) const override;
  bool Connected() const override { return connection_ != nullptr; }
  bool BrokenByServer() const override { return brokenByServer_; }

 private:
  void Connect();
  void Disconnect();
  [[noreturn]] void Fail(const std::string& what, const pg_result* result = nullptr);
  void Exec(const char* sql);

  std::string url_;
  std::string shown_;  // url_ without its password
  pg_conn* connection_ = nullptr;
  bool brokenByServer_ = false;
  std::map<std::string, std::string> prepared_;  // SQL -> statement name on this connection
};

}  // namespace uvq::history
