// SPDX-License-Identifier: Apache-2.0
#pragma once

// What a process serving the dashboard sets up before it listens: the database's statement and
// lock time-outs kept short, and the server on the stores its "db" setting names, opened with
// bounds on the network.

#include <memory>
#include <string>
#include <string_view>

#include "dashboard/DashboardServer.h"

namespace uvq::dashboard {

// The PostgreSQL session options the dashboard's connections run with: `given` (the user's own
// PGOPTIONS, "" for none) first, then statement, lock and idle-in-transaction time-outs of a few
// seconds, which come later and so win. The dashboard never holds a lock long enough to slow the
// stations sharing the database.
std::string ShortTimeoutOptions(std::string_view given);

// Sets PGOPTIONS so (before any connection is opened); other engines ignore it.
void UseShortDatabaseTimeouts();

// The server of `config`, each of its stores opened on config.db with WithNetworkBounds (and
// again after a failure).
std::unique_ptr<DashboardServer> ServerOnDatabase(const DashboardConfig& config);

}  // namespace uvq::dashboard
