// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout store in memory for the engines' tests: claims are handed out from a queue the test
// fills, every call is noted in order, and ended attempts are kept as they came.
#include <deque>
#include <optional>
#include <string>
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

  int count(const std::string& call) const {
    int n = 0;
    for (const std::string& c : calls) n += c == call;
    return n;
  }

  bool create(const rollouts::RolloutDefinition&) override { return true; }
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
      toHand.pop_front();
    }
    return claims;
  }
  rollouts::RolloutState renew(const std::string&, const rollouts::ClaimHolder&,
                               rollouts::UtcMillis, int) override {
    calls.push_back("renew");
    return state;
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
  rollouts::ActionResult act(const std::string&, rollouts::RolloutAction,
                             rollouts::UtcMillis) override {
    return {};
  }
};

}  // namespace uvq::test
