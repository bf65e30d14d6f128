// SPDX-License-Identifier: Apache-2.0
#pragma once

// The dashboard's server in the test's own process, on a port of its own choosing, served from
// a thread until the runner goes away.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HttpProbe.h"

#include "dashboard/DashboardServer.h"
#include "store/history/OpenHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

class DashboardRunner {
 public:
  DashboardRunner(const std::string& address, const std::string& db, bool allowActions = false,
                  std::optional<std::string> token = std::nullopt,
                  std::vector<uvq::dashboard::AccessEntry> access = {}) {
    uvq::dashboard::DashboardConfig config;
    config.listen.host = address;
    config.listen.port = 0;
    config.allowActions = allowActions;
    config.token = std::move(token);
    config.access = std::move(access);
    config.db = db;
    server_ = std::make_unique<uvq::dashboard::DashboardServer>(
        config, [db] { return uvq::history::OpenHistoryStore(db); },
        [db] { return uvq::rollouts::OpenRolloutStore(db); });
    if (!server_->bind(problem_)) return;
    thread_ = std::thread([this] { server_->run(); });
    // Stopping works only once the server runs: wait until it answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (http_probe::Get(address, port(), "/api/overview").status == 0 &&
           std::chrono::steady_clock::now() < deadline) {
    }
  }
  ~DashboardRunner() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  DashboardRunner(const DashboardRunner&) = delete;
  DashboardRunner& operator=(const DashboardRunner&) = delete;

  bool listening() const { return thread_.joinable(); }
  const std::string& problem() const { return problem_; }
  uint16_t port() const { return server_->port(); }

 private:
  std::unique_ptr<uvq::dashboard::DashboardServer> server_;
  std::string problem_;
  std::thread thread_;
};
