// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout store in memory for the engines' tests: claims are handed out from a queue the test
// fills, every call is noted in order, and ended attempts are kept as they came. It can fail as
// a database that went away: every call throws while `down`, and a write can be made to reach
// the store and lose its answer (`loseAnswers`). It holds one rollout whatever its name, or
// several: a rollout put in `byName` has a definition, a state and claims of its own (give
// the rollouts distinct positions).
#include <arpa/inet.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/db/StoreError.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::test {

// A claim of the unit at `address` ("127.0.70.1").
inline rollouts::Claim ClaimAt(const char* address, int position) {
  rollouts::Claim claim;
  claim.position = position;
  claim.target = address;
  in_addr raw{};
  ::inet_pton(AF_INET, address, &raw);
  claim.address = ntohl(raw.s_addr);
  return claim;
}

class FakeRolloutStore final : public rollouts::RolloutStore {
 public:
  std::deque<rollouts::Claim> toHand;  // handed out by claim(), as many as asked at most
  bool workLeftAnswer = true;
  rollouts::RolloutState state = rollouts::RolloutState::Running;
  std::vector<std::string> calls;  // "claim", "renew", "end", "endAll", "workLeft", "status"
  std::vector<rollouts::AttemptResult> ended;  // ends taken: one per claim, by its holder
  int refusedEnds = 0;                         // ends of units no longer held: nothing changed
  bool down = false;                           // every call fails as a server that is gone
  int loseAnswers = 0;         // the next claims or ends are made, but their answers are lost
  std::vector<int> handedOut;  // positions claim() handed out
  std::vector<std::string> handedTo;  // the holder's token of each
  std::vector<int> takenOver;         // positions another station has taken meanwhile
  // Named rollouts: what load() gives, their own state and claims to hand out.
  struct Named {
    rollouts::RolloutDefinition definition;
    rollouts::RolloutState state = rollouts::RolloutState::Running;
    std::deque<rollouts::Claim> toHand;
    std::vector<int> handedOut;
  };
  std::map<std::string, Named> byName;
  int unfinishedFailures = 0;  // the next calls of unfinished() throw as a server that is gone

  rollouts::RolloutState stateOf(const std::string& name) const {
    const auto found = byName.find(name);
    return found == byName.end() ? state : found->second.state;
  }
  // A named rollout has work while it has claims to hand out or units handed out not ended.
  bool namedWorkLeft(const Named& named) const {
    return !named.toHand.empty() || std::any_of(named.handedOut.begin(), named.handedOut.end(),
                                                [&](int position) { return held(position); });
  }

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
  std::optional<rollouts::RolloutDefinition> load(const std::string& name) override {
    const auto found = byName.find(name);
    if (found == byName.end()) return std::nullopt;
    return found->second.definition;
  }
  std::vector<rollouts::RolloutSummary> list() override { return {}; }
  std::optional<rollouts::RolloutStatus> status(const std::string& name) override {
    reach("status");
    rollouts::RolloutStatus status;
    status.summary.name = name;
    status.summary.state = stateOf(name);
    return status;
  }
  std::vector<rollouts::RolloutUnit> units(const std::string&, int, int) override { return {}; }
  std::vector<rollouts::Claim> claim(const std::string& name,
                                     const rollouts::ClaimRequest& request) override {
    reach("claim");
    std::vector<rollouts::Claim> claims;
    const auto found = byName.find(name);
    if (found != byName.end() && found->second.state != rollouts::RolloutState::Running)
      return claims;
    auto& queue = found == byName.end() ? toHand : found->second.toHand;
    while (!queue.empty() && static_cast<int>(claims.size()) < request.count) {
      claims.push_back(queue.front());
      handedOut.push_back(queue.front().position);
      handedTo.push_back(request.holder.token);
      if (found != byName.end()) found->second.handedOut.push_back(queue.front().position);
      queue.pop_front();
    }
    answer();
    return claims;
  }
  // Every unit handed out to the holder and not ended is still held, but those listed in
  // takenOver.
  rollouts::Renewal renew(const std::string& name, const rollouts::ClaimHolder& holder,
                          rollouts::UtcMillis, int) override {
    reach("renew");
    rollouts::Renewal renewal{stateOf(name), {}};
    for (size_t i = 0; i < handedOut.size(); ++i)
      if (const int position = handedOut[i];
          handedTo[i] == holder.token && held(position) &&
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
  rollouts::AttemptVerdict end(const std::string& name, const rollouts::ClaimHolder&,
                               const rollouts::AttemptResult& result,
                               rollouts::UtcMillis) override {
    reach("end");
    const rollouts::AttemptVerdict verdict = take(name, result);
    answer();
    return verdict;
  }
  // Noted as "endAll", the positions of each call in `endCalls`; all taken or (down) none.
  std::vector<rollouts::AttemptVerdict> endAll(const std::string& name,
                                               const rollouts::ClaimHolder&,
                                               const std::vector<rollouts::AttemptResult>& results,
                                               rollouts::UtcMillis) override {
    reach("endAll");
    std::vector<int>& positions = endCalls.emplace_back();
    std::vector<rollouts::AttemptVerdict> verdicts;
    for (const rollouts::AttemptResult& result : results) {
      positions.push_back(result.position);
      verdicts.push_back(take(name, result));
    }
    answer();
    return verdicts;
  }
  std::vector<std::vector<int>> endCalls;
  // The verdict of an end; a unit of stopAtEnd's position stops the rollout as it ends.
  std::optional<int> stopAtEnd;
  rollouts::AttemptVerdict take(const std::string& name, const rollouts::AttemptResult& result) {
    rollouts::AttemptVerdict verdict;
    verdict.held = held(result.position);
    if (verdict.held && stopAtEnd == result.position) {
      state = rollouts::RolloutState::Stopped;
      verdict.stopReason = "stopped by the end of " + std::to_string(result.position);
    }
    verdict.state = stateOf(name);
    if (verdict.held)
      ended.push_back(result);
    else
      ++refusedEnds;
    return verdict;
  }
  void stationEnded(const std::string&, const rollouts::ClaimHolder&,
                    rollouts::UtcMillis) override {
    reach("stationEnded");
  }
  int takeOver(const std::string&, const std::string&, const std::string&,
               const rollouts::ClaimHolder&, rollouts::UtcMillis, int) override {
    return 0;
  }
  std::vector<std::string> holders(const std::string&, const std::string&) override { return {}; }
  bool workLeft(const std::string& name, std::optional<std::pair<uint32_t, uint32_t>>) override {
    reach("workLeft");
    const auto found = byName.find(name);
    return found == byName.end() ? workLeftAnswer : namedWorkLeft(found->second);
  }
  // The named rollouts, running or paused, with work left (the range is not looked at).
  std::vector<std::string> unfinished(std::optional<std::pair<uint32_t, uint32_t>>,
                                      rollouts::UtcMillis) override {
    reach("unfinished");
    if (unfinishedFailures > 0 && unfinishedFailures--)
      throw store::StoreError(store::StoreErrorKind::Unavailable,
                              "rollouts of test-db: the server is gone");
    std::vector<std::string> names;
    for (const auto& [name, named] : byName)
      if ((named.state == rollouts::RolloutState::Running ||
           named.state == rollouts::RolloutState::Paused) &&
          namedWorkLeft(named))
        names.push_back(name);
    return names;
  }
  using rollouts::RolloutStore::act;
  // Every action asked is kept; each is answered with `actAnswer`.
  rollouts::ActionResult act(const std::string& name,
                             const rollouts::ActionRequest& asked) override {
    calls.push_back("act " + name);
    acted.push_back(asked);
    return actAnswer;
  }
  std::vector<rollouts::ActionRequest> acted;
  rollouts::ActionResult actAnswer;
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
