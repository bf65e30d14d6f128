// SPDX-License-Identifier: Apache-2.0
#include "dashboard/ServeSetup.h"

#include <cstdlib>

#include "store/history/OpenHistoryStore.h"

namespace uvq::dashboard {

std::string ShortTimeoutOptions(std::string_view given) {
  std::string options =
      "-c statement_timeout=5000 -c lock_timeout=2000 "
      "-c idle_in_transaction_session_timeout=10000";
  if (!given.empty()) options = std::string(given) + " " + options;
  return options;
}

void UseShortDatabaseTimeouts() {
  const char* given = std::getenv("PGOPTIONS");
  ::setenv("PGOPTIONS", ShortTimeoutOptions(given ? given : "").c_str(), 1);
}

std::unique_ptr<DashboardServer> ServerOnDatabase(const DashboardConfig& config) {
  // The server waits at most 5 s for the database whatever it does; these bounds also free a
  // connection held by a server gone silent on the network.
  const std::string bounded = WithNetworkBounds(config.db);
  return std::make_unique<DashboardServer>(
      config, [bounded] { return history::OpenHistoryStore(bounded); },
      [bounded] { return rollouts::OpenRolloutStore(bounded); });
}

}  // namespace uvq::dashboard
