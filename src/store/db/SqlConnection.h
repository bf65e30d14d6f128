// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store/db/SqlValue.h"
#include "store/db/StoreError.h"

namespace uvq::store {

// What a transaction does: reads see one snapshot; writes hold the database's write lock
// (SQLite) or the row locks they take (PostgreSQL); a durable write reaches the disk before its
// commit returns (SQLite's synchronous=FULL; PostgreSQL always does).
enum class Access { Read, Write, DurableWrite };

// How long a transaction waits for a database another process holds locked before it fails as
// one that cannot be used: by default, and in a loop that sends to units (whose sessions go on
// only while it turns: a lock held longer is an outage there, met with its backoff).
inline constexpr int kDefaultLockWaitMs = 15000;
inline constexpr int kLoopLockWaitMs = 250;

// One connection to a uvq database, its schema checked and brought up to date when it was made.
// Every use is a transaction, one at a time: safe to share between the history and the rollouts
// and between threads.
class SqlConnection {
 public:
  // How often a transaction is run at most: again after a lost connection (the server
  // restarted) or a transient refusal (busy, locked, a serialization failure, a deadlock).
  static constexpr int kTries = 3;

  virtual ~SqlConnection() = default;
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  Dialect dialect() const { return dialect_; }
  // A file path or the setting without its password: fit for any message.
  const std::string& description() const { return description_; }

  // Runs `call` (which runs statements through run()) in one transaction and returns what it
  // returns. A failure throws StoreError of kind `failure` whose message starts with
  // "<subject> <description>: ". A transaction that failed changed nothing; the one rule for
  // trying again is the one above, so `call` must do nothing but statements and its own result.
  template <typename Call>
  auto transaction(const char* subject, Access access, StoreErrorKind failure, Call call) {
    std::lock_guard lock(mutex_);
    for (int tries = 1;; ++tries) {
      subject_ = subject;
      failure_ = failure;
      transient_ = false;
      const bool hadConnection = connected();
      try {
        begin(access);
        try {
          auto result = call();
          commit();
          return result;
        } catch (...) {
          rollback();
          throw;
        }
      } catch (const StoreError&) {
        const bool lost = hadConnection && !connected();
        if (tries >= kTries || !(lost || transient_)) throw;
      }
    }
  }

  // Sets how long the transactions from now on wait for another process's lock (an engine
  // without such a wait ignores it).
  void setLockWait(int ms) {
    std::lock_guard lock(mutex_);
    lockWaitMs_ = ms;
    applyLockWait(ms);
  }
  int lockWaitMs() const {
    std::lock_guard lock(mutex_);
    return lockWaitMs_;
  }

  // One statement of the running transaction, its values only as parameters ("$1", "$2"...).
  // Prepared once per connection.
  virtual SqlResult run(const std::string& sql, const std::vector<SqlValue>& params = {}) = 0;

 protected:
  SqlConnection(Dialect dialect, std::string description)
      : dialect_(dialect), description_(std::move(description)) {}

  virtual void begin(Access access) = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;
  virtual void applyLockWait(int /*ms*/) {}
  // False while a lost connection is not made again yet.
  virtual bool connected() const { return true; }

  // Throws StoreError for the running call: what failed, and the library's reason cleaned of
  // any password. `transient` marks a failure worth another try.
  [[noreturn]] void Fail(const std::string& what, const std::string& reason, bool transient);
  [[noreturn]] void Fail(StoreErrorKind kind, const std::string& what);

  std::string subject_ = "history";
  StoreErrorKind failure_ = StoreErrorKind::Unavailable;
  bool transient_ = false;

 private:
  Dialect dialect_;
  std::string description_;
  mutable std::mutex mutex_;
  int lockWaitMs_ = kDefaultLockWaitMs;
};

}  // namespace uvq::store
