// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "fleet/Session.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

class SessionPool;

// What a station's part of a rollout tells its front end while it works. Called on the run
// loop's thread, at most once per unit and per round (never per record); nothing here blocks.
class RolloutEvents {
 public:
  // How closely the front end follows the run: the runner reads the store's counts and asks for
  // redraws only as often as they are looked at.
  enum class Watching {
    EndOnly,  // counts never read while running
    Changes,  // counts read again (at most once a second) after a unit ended
    Live,     // counts every second, a redraw of the units in flight five times a second
  };
  virtual ~RolloutEvents() = default;
  virtual Watching watching() const = 0;

  // A unit was claimed and its session made (said again once a missing unit answers).
  virtual void unitStarted(const rollouts::Claim& claim) = 0;
  // A claimed unit that another station had in flight when it stopped (`claim.previousHolder`).
  virtual void unitRedone(const rollouts::Claim& claim) = 0;
  // Its attempt ended and the store judged it (`verdict`: the unit's progress, the rollout's
  // state).
  virtual void unitEnded(const rollouts::Claim& claim, const SessionResult& result,
                         rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict) = 0;
  // --watch: nobody answers at the unit's address yet; it is asked again every `askEveryMs`.
  // Said once until it answers.
  virtual void unitMissing(const rollouts::Claim& claim, int askEveryMs) = 0;
  // The rollout's counts as the store has them now (every station's).
  virtual void counts(const rollouts::RolloutSummary& summary) = 0;
  // The rollout's state changed (paused, resumed, stopped with `reason`, cancelled, done) while
  // `inFlight` units of this station were working.
  virtual void stateChanged(rollouts::RolloutState state, const std::string& reason,
                            size_t inFlight) = 0;
  // The history took a row neither directly nor in its spool, or spooled it: said once a run.
  virtual void historyProblem(const std::string& problem) = 0;
  // Anything else worth a line of its own (units taken back, an image file that is gone).
  virtual void notice(const std::string& line) = 0;
  // The units in flight (Session::phase): Watching::Live at most five times a second,
  // Watching::Changes every few seconds while there are any.
  virtual void inFlight(TimePoint /*now*/, const SessionPool& /*pool*/) {}
  // Once per round of the run loop (write out what the round said).
  virtual void roundDone() {}
};

// Keeps the notices and nothing else: what a rollout says while it is only being looked at
// (an image check before it is joined), to be said later by its own events.
class NoticesOnly final : public RolloutEvents {
 public:
  std::vector<std::string> notices;
  Watching watching() const override { return Watching::EndOnly; }
  void unitStarted(const rollouts::Claim&) override {}
  void unitRedone(const rollouts::Claim&) override {}
  void unitEnded(const rollouts::Claim&, const SessionResult&, rollouts::AttemptEnd,
                 const rollouts::AttemptVerdict&) override {}
  void unitMissing(const rollouts::Claim&, int) override {}
  void counts(const rollouts::RolloutSummary&) override {}
  void stateChanged(rollouts::RolloutState, const std::string&, size_t) override {}
  void historyProblem(const std::string&) override {}
  void notice(const std::string& line) override { notices.push_back(line); }
};

}  // namespace uvq::fleet
