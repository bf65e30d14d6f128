// SPDX-License-Identifier: Apache-2.0
#include "store/db/SqlConnection.h"

namespace uvq::store {

void SqlConnection::Fail(const std::string& what, const std::string& reason, bool transient) {
  transient_ = transient;
  std::string message = subject_ + " " + description_ + ": " + what;
  if (!reason.empty()) message += ": " + reason;
  throw StoreError(failure_, message);
}

void SqlConnection::Fail(StoreErrorKind kind, const std::string& what) {
  throw StoreError(kind, subject_ + " " + description_ + ": " + what);
}

}  // namespace uvq::store
