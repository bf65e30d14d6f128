// SPDX-License-Identifier: Apache-2.0
#include "fleet/RolloutAlerts.h"

#include <algorithm>

#include "recording/StationFacts.h"

namespace uvq::fleet {

RolloutAlerts::RolloutAlerts(rollouts::RolloutStore& store, std::string station, int leaseMs,
                             std::function<void(const std::string&)> problem)
    : store_(store),
      station_(std::move(station)),
      leaseMs_(leaseMs),
      problem_(std::move(problem)) {}

RolloutAlerts::~RolloutAlerts() {
  stop();
}

void RolloutAlerts::watch(const std::string& rollout, const std::string& notifyUrl) {
  if (notifyUrl.empty() || watches_.contains(rollout)) return;
  if (!sender_) sender_.emplace(alerts::AlertLimits{}, problem_);
  // Looked at a few times per lease, so a station gone silent is told soon after its lease.
  watches_[rollout] = std::make_unique<alerts::RolloutWatch>(
      store_, rollout, station_, std::min(leaseMs_ / 3, 5000), leaseMs_, *sender_,
      [] { return recording::NowUtcMillis(); });
}

void RolloutAlerts::unwatch(const std::string& rollout) {
  watches_.erase(rollout);
}

void RolloutAlerts::stop(int drainMs) {
  if (watches_.empty() && !sender_) return;
  watches_.clear();
  if (sender_) sender_->drain(drainMs);
  sender_.reset();
}

std::vector<std::string> RolloutAlerts::watching() const {
  std::vector<std::string> names;
  for (const auto& [name, watch] : watches_) names.push_back(name);
  return names;
}

}  // namespace uvq::fleet
