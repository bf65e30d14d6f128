// SPDX-License-Identifier: Apache-2.0
#pragma once

// The stores a command reads from one "db" setting (a SQLite file, a PostgreSQL URL or
// connection string; "" the default file), opened in one call that says why not in words fit
// to show: never with the password the setting may hold.

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "store/history/HistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

enum class StoreKind {
  History,          // the history as the database holds it
  SpoolingHistory,  // the same, with the rows a failed write spooled beside it
  Rollouts,
};

struct StoreProblem {
  std::string message;  // one line, without the setting's password
};

struct OpenedStores {
  std::unique_ptr<history::HistoryStore> history;          // StoreKind::History
  std::unique_ptr<history::SpoolingHistoryStore> spooled;  // StoreKind::SpoolingHistory
  std::unique_ptr<rollouts::RolloutStore> rollouts;        // StoreKind::Rollouts
  std::optional<StoreProblem> problem;                     // set: none of them is open
};

// Opens each store asked for, in the order asked, on the database `db` names; the first that
// cannot be opened (unreachable, not a uvq history, a newer schema) stops it.
OpenedStores OpenStores(const std::string& db, std::initializer_list<StoreKind> wanted);

// An error a store threw while it was used, in the same words.
StoreProblem StoreProblemOf(const std::exception& error, const std::string& db);

}  // namespace uvq::fleet
