// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace uvq::dashboard {

// Answers served again to whoever asks within `fresh`, by request (path and query). An action
// forgets them all; an answer read before that action began is not kept after it, so viewers
// never see the state from before an action again once they saw the new one. Thread-safe.
class KeptAnswers {
 public:
  using Clock = std::chrono::steady_clock;
  struct Answer {
    std::string body;
    std::string type;
  };

  KeptAnswers(std::chrono::milliseconds fresh, size_t most) : fresh_(fresh), most_(most) {}

  // The answer kept for `key` at most `fresh` before `now`.
  std::optional<Answer> find(const std::string& key, Clock::time_point now = Clock::now()) {
    std::lock_guard lock(mutex_);
    const auto it = kept_.find(key);
    if (it == kept_.end() || now - it->second.at > fresh_) return std::nullopt;
    return it->second.answer;
  }
  // Taken before the stores are asked, given back to keep().
  uint64_t generation() {
    std::lock_guard lock(mutex_);
    return generation_;
  }
  void keep(const std::string& key, Answer answer, uint64_t askedAt,
            Clock::time_point now = Clock::now()) {
    std::lock_guard lock(mutex_);
    if (askedAt != generation_) return;
    if (kept_.size() >= most_) kept_.clear();
    kept_[key] = {now, std::move(answer)};
  }
  void forget() {
    std::lock_guard lock(mutex_);
    ++generation_;
    kept_.clear();
  }

 private:
  struct Entry {
    Clock::time_point at;
    Answer answer;
  };
  const std::chrono::milliseconds fresh_;
  const size_t most_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> kept_;
  uint64_t generation_ = 0;
};

}  // namespace uvq::dashboard
