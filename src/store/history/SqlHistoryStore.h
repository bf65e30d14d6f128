// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "store/db/SqlConnection.h"
#include "store/history/HistoryStore.h"

namespace uvq::history {

// The history on any uvq database, over one SqlConnection (shared with the rollouts): one
// transaction per write, every value a parameter. A begin reaches the disk before the operation
// goes on, so that a power cut leaves the row ("abandoned"); a completion may wait for the next
// sync (a power cut right after it leaves the row abandoned, never corrupt). Safe to call from
// several threads.
class SqlHistoryStore : public HistoryStore {
 public:
  explicit SqlHistoryStore(std::shared_ptr<store::SqlConnection> connection);

  int64_t begin(const OperationRow& row) override;
  // Every row in one transaction: all reach the database or none does.
  std::vector<int64_t> beginAll(const std::vector<OperationRow>& rows) override;
  void complete(const OperationRow& row) override;
  std::vector<OperationRow> query(const HistoryFilter& filter) override;
  std::vector<UnitState> units(const HistoryFilter& filter) override;
  std::string location() const override { return connection_->description(); }

 private:
  std::vector<int64_t> Write(const std::vector<OperationRow>& rows, bool completed);

  std::shared_ptr<store::SqlConnection> connection_;
};

}  // namespace uvq::history
