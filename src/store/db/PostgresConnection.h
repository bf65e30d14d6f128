// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>

#include "store/db/SqlConnection.h"

struct pg_conn;
struct pg_result;

namespace uvq::store {

// A database for many stations, through libpq: every value a parameter, statements prepared once
// per connection. A lost connection (server stopped or restarted) is made again by the next
// transaction. No message carries the setting's password.
class PostgresConnection : public SqlConnection {
 public:
  static constexpr int kConnectTimeoutSeconds = 10;

  // `setting`: a postgresql:// URL or a libpq "key=value ..." string. Connects, creates the
  // schema in an empty database or upgrades an older one (under an advisory lock, so stations
  // starting together do it once). Throws StoreError.
  explicit PostgresConnection(std::string setting);
  ~PostgresConnection() override;

  SqlResult run(const std::string& sql, const std::vector<SqlValue>& params = {}) override;

 protected:
  void begin(Access access) override;
  void commit() override;
  void rollback() noexcept override;
  bool connected() const override { return connection_ != nullptr; }

 private:
  void Connect();
  void Disconnect() noexcept;
  void Migrate();
  [[noreturn]] void Failed(const std::string& what, const pg_result* result);

  std::string setting_;
  pg_conn* connection_ = nullptr;
  std::map<std::string, std::string> prepared_;  // SQL -> statement name on this connection
};

}  // namespace uvq::store
