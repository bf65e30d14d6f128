// SPDX-License-Identifier: Apache-2.0
#include "alerts/RolloutWatch.h"

#include <chrono>

namespace uvq::alerts {

RolloutWatch::RolloutWatch(rollouts::RolloutStore& store, std::string rollout, std::string station,
                           int periodMs, int silenceMs, AlertSender& sender,
                           std::function<rollouts::UtcMillis()> now)
    : store_(store),
      rollout_(std::move(rollout)),
      station_(std::move(station)),
      periodMs_(periodMs),
      silenceMs_(silenceMs),
      sender_(sender),
      now_(std::move(now)) {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!stopped_.wait_for(lock, std::chrono::milliseconds(periodMs_),
                              [this] { return stopping_; })) {
      lock.unlock();
      Look();
      lock.lock();
    }
  });
}

RolloutWatch::~RolloutWatch() {
  stop();
}

void RolloutWatch::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stopped_.notify_all();
  thread_.join();
  Look();
}

void RolloutWatch::Look() {
  try {
    for (const rollouts::RolloutEvent& event :
         store_.claimEvents(rollout_, station_, now_(), silenceMs_))
      sender_.send(event);
  } catch (const std::exception&) {
    // The database is away for now: the events stay unclaimed for the next look (here or at
    // another station).
  }
}

}  // namespace uvq::alerts
