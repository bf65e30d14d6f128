// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dashboard/AccessToken.h"
#include "dashboard/ListenAddress.h"
#include "store/history/HistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::dashboard {

struct DashboardConfig {
  ListenAddress listen;
  bool allowActions = false;         // --allow-actions
  std::optional<std::string> token;  // a single operator's token ("operator")
  std::vector<AccessEntry> access;   // read from --token-file: people or roles and their tokens
  std::string db;                    // the "db" setting: only ever shown without its password
  int pollMs = 1500;                 // how often the page asks again
};

// Opens a store for the dashboard; called again after a store failed (the database restarted).
using HistoryOpener = std::function<std::unique_ptr<history::HistoryStore>()>;
using RolloutOpener = std::function<std::unique_ptr<rollouts::RolloutStore>()>;

// The "db" setting as the dashboard opens it: a PostgreSQL URL gets bounds of its own on the
// connection (connect_timeout, TCP user time-out and keep-alives, so a server gone silent on the
// network frees the connection within seconds) unless it names them itself; others as given.
std::string WithNetworkBounds(const std::string& db);

// Why the dashboard must not start with this configuration, in one line; nullopt when it may.
// Beyond loopback the token is required (every API call then needs it); actions need a token.
std::optional<std::string> StartRefusal(const DashboardConfig& config);

// The dashboard's HTTP server: the page, the JSON API and the guarded actions. Every handler
// only reads the stores (the actions call the rollouts' act()), one call at a time per store,
// and answers are kept for a moment, so many viewers cost the database little.
class DashboardServer {
 public:
  DashboardServer(DashboardConfig config, HistoryOpener openHistory, RolloutOpener openRollouts);
  ~DashboardServer();
  DashboardServer(const DashboardServer&) = delete;
  DashboardServer& operator=(const DashboardServer&) = delete;

  // Binds the listening socket; false with `problem` said when it cannot.
  bool bind(std::string& problem);
  // The port bound (the one asked for, or the one given for port 0).
  uint16_t port() const;
  // Serves until stop(); returns false when the server could not run.
  bool run();
  // From any thread: run() returns after the connections in hand are answered.
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace uvq::dashboard
