// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "alerts/AlertSender.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::alerts {

// While a station runs a rollout: every `periodMs` (on a thread of its own) the rollout's
// events no other station has claimed yet are claimed in the store and handed to the sender;
// once more when stopped, so the rollout's end is told too. A store that cannot be used is
// asked again at the next period.
class RolloutWatch {
 public:
  RolloutWatch(rollouts::RolloutStore& store, std::string rollout, std::string station,
               int periodMs, int silenceMs, AlertSender& sender,
               std::function<rollouts::UtcMillis()> now);
  ~RolloutWatch();
  RolloutWatch(const RolloutWatch&) = delete;
  RolloutWatch& operator=(const RolloutWatch&) = delete;

  // The last look, then the thread ends. Called again: nothing.
  void stop();

 private:
  void Look();

  rollouts::RolloutStore& store_;
  const std::string rollout_;
  const std::string station_;
  const int periodMs_;
  const int silenceMs_;
  AlertSender& sender_;
  std::function<rollouts::UtcMillis()> now_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace uvq::alerts
