// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>

namespace uvq::store {

// Why a store cannot be used; front ends choose their exit code from the kind.
enum class StoreErrorKind {
  Setting,      // the "db" setting names nothing usable
  Unavailable,  // cannot open or reach the database
  NotAHistory,  // the file or database holds something else
  NewerSchema,  // written by a newer uvq
  WriteFailed,  // a write did not reach the database (or the spool)
  ReadFailed,   // a query did not get its answer
};

// The one error of the history and the rollouts. Messages never carry a password: settings in
// them are redacted, and a library's words are cleaned of the setting's password.
class StoreError : public std::runtime_error {
 public:
  StoreError(StoreErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  StoreErrorKind kind() const { return kind_; }

 private:
  StoreErrorKind kind_;
};

}  // namespace uvq::store

namespace uvq::history {
// The names the history's callers know.
using HistoryErrorKind = store::StoreErrorKind;
using HistoryError = store::StoreError;
}  // namespace uvq::history
