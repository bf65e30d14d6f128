// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>

namespace uvq::history {

// Why a store cannot be used; front ends choose their exit code from the kind.
enum class HistoryErrorKind {
  Setting,      // the "db" setting names nothing usable
  Unavailable,  // cannot open or reach the database
  NotAHistory,  // the file or database holds something else
  NewerSchema,  // written by a newer uvq
  WriteFailed,  // a begin or complete did not reach the database
  ReadFailed,   // a query did not get its answer
};

// Messages never carry a password: URLs in them are redacted.
class HistoryError : public std::runtime_error {
 public:
  HistoryError(HistoryErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  HistoryErrorKind kind() const { return kind_; }

 private:
  HistoryErrorKind kind_;
};

}  // namespace uvq::history
