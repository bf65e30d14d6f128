// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/history/HistoryStore.h"

namespace uvq::history {

// Nothing lost: a begin or complete that fails (disk full, server stopped) is appended to the
// spool file instead (one line per write, whole lines or nothing, mode 0600, shared by processes
// under a lock; a spool that could not be written is never left behind empty), and flush() later
// moves the spooled writes into the database. Rows carry keys, so a begin and a complete of one row
// make one row whatever reached the database first.
class SpoolingHistoryStore : public HistoryStore {
 public:
  SpoolingHistoryStore(std::unique_ptr<HistoryStore> store, std::string spoolPath);

  // Never throw for a database failure: the write is spooled. Throw HistoryError only when the
  // spool cannot be written either (the row is then lost, and the message says so).
  // begin() returns the database's id, or a negative id of this process for a spooled row;
  // complete() takes either.
  int64_t begin(const OperationRow& row) override;
  // All or none reach the database; when none did, each is spooled.
  std::vector<int64_t> beginAll(const std::vector<OperationRow>& rows) override;
  void complete(const OperationRow& row) override;
  // Read the database; throw HistoryError when it cannot answer.
  std::vector<OperationRow> query(const HistoryFilter& filter) override;
  std::vector<UnitState> units(const HistoryFilter& filter) override;
  std::string location() const override { return store_->location(); }
  void setLockWait(int ms) override { store_->setLockWait(ms); }
  // While the database is known to be away (its user met the outage), writes go to the spool
  // at once instead of waiting for it first; flush() still asks it.
  void setDatabaseAway(bool away);
  std::vector<OutcomeCount> outcomeCounts() override { return store_->outcomeCounts(); }
  DurationCounts rolloutDurations(const std::string& rollout,
                                  const std::vector<int64_t>& boundsMs) override {
    return store_->rolloutDurations(rollout, boundsMs);
  }
  AttemptFigures attemptFigures(const FiguresFilter& filter) override {
    return store_->attemptFigures(filter);
  }

  // Moves the writes spooled for this database (by any process) into it and returns how many;
  // the spool keeps writes meant for other databases and those not moved. Throws HistoryError
  // when the database refuses a write (what is left stays spooled) or the spool cannot be read.
  size_t flush();
  // Writes spooled for this database, as the spool holds them now.
  size_t spooledCount() const;

  // The one line to print when a write was first spooled by this object, then nothing.
  std::optional<std::string> takeSpoolNotice();
  bool spooled() const;

  const std::string& spoolPath() const { return spoolPath_; }
  HistoryStore& store() { return *store_; }

 private:
  void Spool(const std::vector<OperationRow>& rows, bool completed, const std::string& why);
  void ThrowWhileAway() const;

  std::unique_ptr<HistoryStore> store_;
  std::string spoolPath_;
  mutable std::mutex mutex_;
  std::map<int64_t, std::string> keys_;  // ids handed out -> row keys, until completed
  int64_t nextLocalId_ = -1;
  bool spooled_ = false;
  bool away_ = false;
  bool noticeTaken_ = false;
  std::string firstReason_;
};

}  // namespace uvq::history
