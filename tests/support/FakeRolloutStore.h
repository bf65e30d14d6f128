// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout store in memory for the engines' tests: claims are handed out from a queue the test
// fills, every call is noted in order, and ended attempts are kept as they came. It can fail as
// a database that went away: every call throws while `down`, and a write can be made to reach
// the store and lose its answer (`loseAnswers`).
#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/db/StoreError.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::test {

class FakeRolloutStore final : public rollouts::RolloutStore {
 public:
  std::deque<rollouts::Claim> toHand;  // handed out by claim(), as many as asked at most
  bool workLeftAnswer = true;
  rollouts::RolloutState state = rollouts::RolloutState::Running;
  std::vector<std::string> calls;              // "claim", "renew", "end", "workLeft", "status"
  std::vector<rollouts::AttemptResult> ended;  // ends taken: one per claim, by its holder
  int refusedEnds = 0;                         // ends of units no longer held: nothing changed
  bool down = false;                           // every call fails as a server that is gone
  int loseAnswers = 0;         // the next claims or ends are made, but their answers are lost
  std::vector<int> handedOut;  // positions claim() handed out
  std::vector<int> takenOver;  // positions another station has taken meanwhile

  // Noted, then refused while the database is down.
  void reach(const std::string& call) {
    calls.push_back(call);
    if (down)
      throw store::StoreError(store::StoreErrorKind::Unavailable,
                              "rollouts of test-db: the server is gone");
  }
  void answer() {
    if (loseAnswers > 0 && loseAnswers--)
      throw store::StoreError(store::StoreErrorKind::WriteFailed,
                              "rollouts of test-db: the connection was lost");
  }
  bool held(int position) const {
    const auto times = [&](const auto& list, auto matches) {
      return std::count_if(list.begin(), list.end(), matches);
    };
    return std::find(takenOver.begin(), takenOver.end(), position) == takenOver.end() &&
           times(handedOut, [&](int p) { return p == position; }) >
               times(ended,
                     [&](const rollouts::AttemptResult& r) { return r.position == position; });
  }

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
    reach("status");
    rollouts::RolloutStatus status;
    status.summary.name = name;
    status.summary.state = state;
    return status;
  }
  std::vector<rollouts::RolloutUnit> units(const std::string&, int, int) override { return {}; }
  std::vector<rollouts::Claim> claim(const std::string&,
                                     const rollouts::ClaimRequest& request) override {
    reach("claim");
    std::vector<rollouts::Claim> claims;
    while (!toHand.empty() && static_cast<int>(claims.size()) < request.count) {
      claims.push_back(toHand.front());
      handedOut.push_back(toHand.front().position);
      toHand.pop_front();
    }
    answer();
    return claims;
  }
  // Every unit handed out and not ended is still held, but those listed in takenOver.
  rollouts::Renewal renew(const std::string&, const rollouts::ClaimHolder&, rollouts::UtcMillis,
                          int) override {
    reach("renew");
    rollouts::Renewal renewal{state, {}};
    for (int position : handedOut)
      if (held(position) &&
          std::find(renewal.held.begin(), renewal.held.end(), position) == renewal.held.end())
        renewal.held.push_back(position);
    std::sort(renewal.held.begin(), renewal.held.end());
    return renewal;
  }
  // The phases each renewal carried, in order.
  rollouts::Renewal renewWithPhases(const std::string& name, const rollouts::ClaimHolder& holder,
                                    rollouts::UtcMillis now, int leaseMs,
                                    const std::vector<rollouts::UnitPhaseNote>& phases) override {
    phasesNoted.push_back(phases);
    return renew(name, holder, now, leaseMs);
  }
  std::vector<std::vector<rollouts::UnitPhaseNote>> phasesNoted;
  rollouts::AttemptVerdict end(const std::string&, const rollouts::ClaimHolder&,
                               const rollouts::AttemptResult& result,
                               rollouts::UtcMillis) override {
    reach("end");
    rollouts::AttemptVerdict verdict;
    verdict.state = state;
    verdict.held = held(result.position);
    if (verdict.held)
      ended.push_back(result);
    else
      ++refusedEnds;
    answer();
    return verdict;
  }
  int takeOver(const std::string&, const std::string&, const std::string&,
               const rollouts::ClaimHolder&, rollouts::UtcMillis, int) override {
    return 0;
  }
  std::vector<std::string> holders(const std::string&, const std::string&) override { return {}; }
  bool workLeft(const std::string&, std::optional<std::pair<uint32_t, uint32_t>>) override {
    reach("workLeft");
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
