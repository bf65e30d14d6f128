// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout store in memory for the engines' tests: claims are handed out from a queue the test
// fills, every call is noted in order, and ended attempts are kept as they came.
#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/rollouts/RolloutStore.h"

namespace uvq::test {

class FakeRolloutStore final : public rollouts::RolloutStore {
 public:
  std::deque<rollouts::Claim> toHand;  // handed out by claim(), as many as asked at most
  bool workLeftAnswer = true;
  rollouts::RolloutState state = rollouts::RolloutState::Running;
  std::vector<std::string> calls;  // "claim", "renew", "end", "workLeft", "status"
  std::vector<rollouts::AttemptResult> ended;
  std::vector<int> handedOut;  // positions claim() handed out
  std::vector<int> takenOver;  // positions another station has taken meanwhile

  int count(const std::string& call) const {
    int n = 0;
    for (const std::string& c : calls) n += c == call;
    return n;
  }

  rollouts::CreateResult create(const rollouts::RolloutDefinition&) override { return {true, {}}; }
  std::optional<rollouts::RolloutDefinition> load(const std::string&) override {
    return std::nullopt;
  }
  std::vector<rollouts::RolloutSummary> list() override { return {}; }
  std::optional<rollouts::RolloutStatus> status(const std::string& name) override {
    calls.push_back("status");
    rollouts::RolloutStatus status;
    status.summary.name = name;
    status.summary.state = state;
    return status;
  }
  std::vector<rollouts::RolloutUnit> units(const std::string&, int, int) override { return {}; }
  std::vector<rollouts::Claim> claim(const std::string&,
                                     const rollouts::ClaimRequest& request) override {
    calls.push_back("claim");
    std::vector<rollouts::Claim> claims;
    while (!toHand.empty() && static_cast<int>(claims.size()) < request.count) {
      claims.push_back(toHand.front());
      handedOut.push_back(toHand.front().position);
      toHand.pop_front();
    }
    return claims;
  }
  // Every unit handed out and not ended is still held, but those listed in takenOver.
  rollouts::Renewal renew(const std::string&, const rollouts::ClaimHolder&, rollouts::UtcMillis,
                          int) override {
    calls.push_back("renew");
    rollouts::Renewal renewal{state, {}};
    for (int position : handedOut) {
      const auto gone = [&](const auto& list, auto matches) {
        return std::any_of(list.begin(), list.end(), matches);
      };
      if (gone(takenOver, [&](int p) { return p == position; }) ||
          gone(ended, [&](const rollouts::AttemptResult& r) { return r.position == position; }))
        continue;
      renewal.held.push_back(position);
    }
    return renewal;
  }
  rollouts::AttemptVerdict end(const std::string&, const rollouts::ClaimHolder&,
                               const rollouts::AttemptResult& result,
                               rollouts::UtcMillis) override {
    calls.push_back("end");
    ended.push_back(result);
    rollouts::AttemptVerdict verdict;
    verdict.state = state;
    return verdict;
  }
  int takeOver(const std::string&, const std::string&, const std::string&,
               const rollouts::ClaimHolder&, rollouts::UtcMillis, int) override {
    return 0;
  }
  std::vector<std::string> holders(const std::string&, const std::string&) override { return {}; }
  bool workLeft(const std::string&, std::optional<std::pair<uint32_t, uint32_t>>) override {
    calls.push_back("workLeft");
    return workLeftAnswer;
  }
  using rollouts::RolloutStore::act;
  rollouts::ActionResult act(const std::string&, const rollouts::ActionRequest&) override {
    return {};
  }
  std::vector<rollouts::ActionRecord> actions(const std::string&, int) override { return {}; }
  // Hands out every event the test put in eventsToClaim (under eventsMutex: a watch asks from a
  // thread of its own), counting the looks.
  std::vector<rollouts::RolloutEvent> claimEvents(const std::string&, const std::string&,
                                                  rollouts::UtcMillis, int) override {
    std::lock_guard lock(eventsMutex);
    ++eventLooks;
    return std::exchange(eventsToClaim, {});
  }
  std::mutex eventsMutex;
  std::vector<rollouts::RolloutEvent> eventsToClaim;
  int eventLooks = 0;
};

}  // namespace uvq::test
