// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "store/history/HistoryQuery.h"
#include "store/rollouts/RolloutJudgement.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::history {

// A parameter or a column: null, a number, a text, or bytes (kept in `text`). PostgreSQL gives
// every column as text; the accessors read either.
struct DbValue {
  enum class Kind { Null, Number, Text, Bytes };
  Kind kind = Kind::Null;
  int64_t number = 0;
  std::string text;

  DbValue() = default;
  DbValue(int64_t value) : kind(Kind::Number), number(value) {}  // NOLINT: implicit by design
  DbValue(int value) : kind(Kind::Number), number(value) {}      // NOLINT
  DbValue(std::string value) : kind(Kind::Text), text(std::move(value)) {}  // NOLINT
  DbValue(const char* value) : kind(Kind::Text), text(value) {}             // NOLINT
  static DbValue Bytes(std::string raw) {
    DbValue value(std::move(raw));
    value.kind = Kind::Bytes;
    return value;
  }
  bool null() const { return kind == Kind::Null; }
  int64_t asNumber() const;
  std::string asText() const;
};
using DbRow = std::vector<DbValue>;

struct DbResult {
  std::vector<DbRow> rows;
  int64_t changed = 0;  // rows an INSERT, UPDATE or DELETE touched
};

// The rollouts on any SQL database: the statements and the rules (claims, ends, thresholds,
// actions) written once, the adapters giving transactions and statements. Every call is one
// transaction; a write's transaction holds the database's write lock (SQLite) or the rollout's
// row lock (PostgreSQL) while it judges, so the rules hold across stations. Safe to call from
// several threads (one at a time on the connection).
class SqlRolloutStore : public RolloutStore {
 public:
  bool create(const RolloutDefinition& definition) override;
  std::optional<RolloutDefinition> load(const std::string& name) override;
  std::vector<RolloutSummary> list() override;
  std::optional<RolloutStatus> status(const std::string& name) override;
  std::vector<RolloutUnit> units(const std::string& name, int offset, int limit) override;
  std::vector<Claim> claim(const std::string& name, const ClaimRequest& request) override;
  RolloutState renew(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                     int leaseMs) override;
  AttemptVerdict end(const std::string& name, const ClaimHolder& holder,
                     const AttemptResult& result, UtcMillis now) override;
  int takeOver(const std::string& name, const std::string& station, const std::string& deadToken,
               const ClaimHolder& holder, UtcMillis now, int leaseMs) override;
  std::vector<std::string> holders(const std::string& name, const std::string& station) override;
  bool workLeft(const std::string& name,
                std::optional<std::pair<uint32_t, uint32_t>> range) override;
  ActionResult act(const std::string& name, RolloutAction action, UtcMillis now) override;

 protected:
  explicit SqlRolloutStore(Dialect dialect) : dialect_(dialect) {}

  enum class Access { Read, Write };
  // SQLite: BEGIN (a snapshot) or BEGIN IMMEDIATE (the write lock, waiting the busy time-out).
  virtual void Begin(Access access) = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // Runs one statement (`$1`, `$2`... as placeholders), prepared once per connection.
  virtual DbResult Run(const std::string& sql, const std::vector<DbValue>& params) = 0;
  // The raw bytes of a BLOB/BYTEA column.
  virtual std::string BytesOf(const DbValue& column) const { return column.text; }
  // False while a connection lost is not yet made again (PostgreSQL); a call that loses its
  // connection is tried once more on a new one.
  virtual bool Connected() const { return true; }
  // Whether the last failure was the server breaking a transaction that may simply be run
  // again (a deadlock, a serialization failure).
  virtual bool BrokenByServer() const { return false; }
  // The kind of the error the current call throws.
  HistoryErrorKind failureKind() const { return failureKind_; }

 private:
  struct Rollout {
    int64_t id = 0;
    RolloutState state = RolloutState::Running;
    int successThreshold = 0;
    int errorThreshold = 0;
    int retries = 0;
  };
  template <typename Call>
  auto Transaction(Access access, Call call);
  // The rollout's row; locked against other writers (PostgreSQL: FOR UPDATE, or FOR SHARE for
  // claims, which may run side by side).
  std::optional<Rollout> Find(const std::string& name, const char* lock);
  // Every group's counts, or only those of group `only`.
  std::vector<GroupCounts> Groups(int64_t rollout, std::optional<int> only);
  // Judges a running rollout's thresholds (after an end in group `changed`, or anything) and
  // keeps what they say; returns the new state.
  RolloutJudgement Judge(const Rollout& rollout, std::optional<int> changed);
  void NoteStation(int64_t rollout, const std::string& station, UtcMillis now);

  Dialect dialect_;
  HistoryErrorKind failureKind_ = HistoryErrorKind::ReadFailed;
  std::mutex mutex_;
};

}  // namespace uvq::history
