// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "store/db/SqlConnection.h"
#include "store/history/HistoryStore.h"

namespace uvq::history {

// The history on any uvq database, over one SqlConnection (shared with the rollouts): one
// transaction per write, every value a parameter. A begin reaches the disk before the operation
// goes on, so that a power cut leaves the row ("abandoned"); a completion may wait for the next
// sync (a power cut right after it leaves the row abandoned, never corrupt). Safe to call from
// several threads.
//
// Each store is one writer: its rows name it (host, process id, a random part), and while it
// has rows begun and not completed it refreshes its liveness mark every few seconds, with one
// statement for all of them. A row not completed reads as running while its writer's mark is
// fresh and, when the writer is on this host, its process is there; else as abandoned.
class SqlHistoryStore : public HistoryStore {
 public:
  // How long a mark holds, and how often it is refreshed while rows are open.
  static constexpr int64_t kMarkHoldsMs = 20000;
  static constexpr int64_t kRefreshEveryMs = 5000;

  explicit SqlHistoryStore(std::shared_ptr<store::SqlConnection> connection);
  ~SqlHistoryStore() override;

  int64_t begin(const OperationRow& row) override;
  // Every row in one transaction: all reach the database or none does.
  std::vector<int64_t> beginAll(const std::vector<OperationRow>& rows) override;
  void complete(const OperationRow& row) override;
  std::vector<OperationRow> query(const HistoryFilter& filter) override;
  std::vector<UnitState> units(const HistoryFilter& filter) override;
  std::string location() const override { return connection_->description(); }
  void setLockWait(int ms) override { connection_->setLockWait(ms); }
  std::vector<OutcomeCount> outcomeCounts() override;
  DurationCounts rolloutDurations(const std::string& rollout,
                                  const std::vector<int64_t>& boundsMs) override;
  AttemptFigures attemptFigures(const FiguresFilter& filter) override;

 private:
  // A row not completed runs while its writer's mark holds (until `aliveUntil`) and, when the
  // writer is on this host, its process is there.
  bool WriterLives(std::optional<int64_t> aliveUntil, const std::string& host,
                   std::optional<int64_t> pid, UtcMillis now) const;
  std::vector<int64_t> Write(const std::vector<OperationRow>& rows, bool completed);
  void Refresh();

  std::shared_ptr<store::SqlConnection> connection_;
  std::string host_;
  int64_t pid_ = 0;
  std::string writer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int64_t openRows_ = 0;  // begun here and not completed yet
  bool stopping_ = false;
  std::thread refresher_;  // started with the first begin
};

}  // namespace uvq::history
