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

class FakeRolloutStore final : public history::RolloutStore {
 public:
  std::deque<history::Claim> toHand;  // handed out by claim(), as many as asked at most
  bool workLeftAnswer = true;
  history::RolloutState state = history::RolloutState::Running;
  std::vector<std::string> calls;  // "claim", "renew", "end", "workLeft", "status"
  std::vector<history::AttemptResult> ended;

  int count(const std::string& call) const {
    int n = 0;
    for (const std::string& c : calls) n += c == call;
    return n;
  }

  bool create(const history::RolloutDefinition&) override { return true; }
  std::optional<history::RolloutDefinition> load(const std::string&) override {
    return std::nullopt;
  }
  std::vector<history::RolloutSummary> list() override { return {}; }
  std::optional<history::RolloutStatus> status(const std::string& name) override {
    calls.push_back("status");
    history::RolloutStatus status;
    status.summary.name = name;
    status.summary.state = state;
    return status;
  }
  std::vector<history::RolloutUnit> units(const std::string&, int, int) override { return {}; }
  std::vector<history::Claim> claim(const std::string&,
                                    const history::ClaimRequest& request) override {
    calls.push_back("claim");
    std::vector<history::Claim> claims;
    while (!toHand.empty() && static_cast<int>(claims.size()) < request.count) {
      claims.push_back(toHand.front());
      toHand.pop_front();
    }
    return claims;
  }
  history::RolloutState renew(const std::string&, const history::ClaimHolder&, history::UtcMillis,
                              int) override {
    calls.push_back("renew");
    return state;
  }
  history::AttemptVerdict end(const std::string&, const history::ClaimHolder&,
                              const history::AttemptResult& result, history::UtcMillis) override {
    calls.push_back("end");
    ended.push_back(result);
    history::AttemptVerdict verdict;
    verdict.state = state;
    return verdict;
  }
  int takeOver(const std::string&, const std::string&, const std::string&,
               const history::ClaimHolder&, history::UtcMillis, int) override {
    return 0;
  }
  std::vector<std::string> holders(const std::string&, const std::string&) override { return {}; }
  bool workLeft(const std::string&, std::optional<std::pair<uint32_t, uint32_t>>) override {
    calls.push_back("workLeft");
    return workLeftAnswer;
  }
  history::ActionResult act(const std::string&, history::RolloutAction,
                            history::UtcMillis) override {
    return {};
  }
};

}  // namespace uvq::test
