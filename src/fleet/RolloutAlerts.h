// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alerts/AlertSender.h"
#include "alerts/RolloutWatch.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// The alerts of the rollouts one station runs: a rollout with a notify URL is watched while the
// station works on it (its events claimed in the store and told from threads of their own, so
// no unit waits for a receiver); one without is not. Every watch shares one sender, made with the
// first watch. At the end every watch has its last look (the rollout's end is told too) and the
// sender is given a while to tell what is queued.
class RolloutAlerts {
 public:
  // `problem`: an event given up (from the sender's thread).
  RolloutAlerts(rollouts::RolloutStore& store, std::string station, int leaseMs,
                std::function<void(const std::string&)> problem);
  ~RolloutAlerts();
  RolloutAlerts(const RolloutAlerts&) = delete;
  RolloutAlerts& operator=(const RolloutAlerts&) = delete;

  // Watches `rollout` when it has a notify URL (once: a second call keeps the first watch).
  void watch(const std::string& rollout, const std::string& notifyUrl);
  // Its last look, then no more.
  void unwatch(const std::string& rollout);
  // Every watch's last look, then up to `drainMs` for the sender. Called again: nothing more.
  void stop(int drainMs = 10000);
  // The rollouts watched now, by name.
  std::vector<std::string> watching() const;

 private:
  rollouts::RolloutStore& store_;
  const std::string station_;
  const int leaseMs_;
  std::function<void(const std::string&)> problem_;
  std::optional<alerts::AlertSender> sender_;
  std::map<std::string, std::unique_ptr<alerts::RolloutWatch>> watches_;
};

}  // namespace uvq::fleet
