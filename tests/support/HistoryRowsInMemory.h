// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <vector>

#include "store/history/HistoryStore.h"

namespace uvq::test {

// A history that keeps every row begun and completed, in the order written. With `down` set it
// refuses every write as a database that went away does.
struct HistoryRowsInMemory : history::HistoryStore {
  std::vector<history::OperationRow> begun;
  std::vector<history::OperationRow> completed;
  bool down = false;
  int64_t begin(const history::OperationRow& row) override {
    refuseWhenDown();
    begun.push_back(row);
    return static_cast<int64_t>(begun.size());
  }
  void complete(const history::OperationRow& row) override {
    refuseWhenDown();
    completed.push_back(row);
  }
  std::vector<history::OperationRow> query(const history::HistoryFilter&) override { return {}; }
  std::vector<history::UnitState> units(const history::HistoryFilter&) override { return {}; }

 private:
  void refuseWhenDown() const {
    if (down) throw history::HistoryError(history::HistoryErrorKind::WriteFailed, "database gone");
  }
};

}  // namespace uvq::test
