// SPDX-License-Identifier: Apache-2.0
#include "fleet/OpenStores.h"

#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::fleet {

StoreProblem StoreProblemOf(const std::exception& error, const std::string& db) {
  return {store::WithoutPassword(error.what(), db)};
}

OpenedStores OpenStores(const std::string& db, std::initializer_list<StoreKind> wanted) {
  OpenedStores opened;
  try {
    for (const StoreKind kind : wanted) {
      if (kind == StoreKind::History) opened.history = history::OpenHistoryStore(db);
      if (kind == StoreKind::SpoolingHistory)
        opened.spooled = history::OpenSpoolingHistoryStore(db);
      if (kind == StoreKind::Rollouts) opened.rollouts = rollouts::OpenRolloutStore(db);
    }
  } catch (const std::exception& error) {
    OpenedStores refused;
    refused.problem = StoreProblemOf(error, db);
    return refused;
  }
  return opened;
}

}  // namespace uvq::fleet
