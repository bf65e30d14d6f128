// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fleet/RolloutEvents.h"
#include "fleet/SessionPool.h"
#include "store/history/SpoolingHistoryStore.h"
#include "store/rollouts/EndSpool.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// How one station takes part in a rollout.
struct RolloutRunSettings {
  int leaseSeconds = 60;
  // Only the units whose address lies in [first, last] (host order).
  std::optional<std::pair<uint32_t, uint32_t>> onlyRange;
  // A unit that does not answer is asked again every askEveryMs until it does.
  bool watch = false;
  int askEveryMs = 2000;
  // A paused rollout ends the station's part (once its units in flight finished) instead of
  // being waited for.
  bool exitOnPause = false;
  // How long a unit that does not answer is searched for in one attempt; unset: the rollout's
  // own search time (0: as long as the capture's attempts last).
  std::optional<int> searchSeconds;
};

// The ends kept on disk for `rollout` by this host's processes that are gone now (a station
// killed during an outage), written to the store and taken out of the spool, each once: the
// store takes an end only from the claim's holder, so one that reached it before is refused
// (and dropped all the same). Throws store::StoreError when the store fails (the ends not
// written yet stay kept), std::runtime_error when the spool cannot be read.
struct KeptEndsReplayed {
  int written = 0;  // counted by the store
  int refused = 0;  // already written, or the claim was taken back meanwhile
};
KeptEndsReplayed ReplayKeptEnds(rollouts::RolloutStore& store, const rollouts::EndSpool& spool,
                                const std::string& rollout, const std::string& ownToken);

// One station's part of a rollout, as a feed of the session pool: units are claimed from the
// store as slots free up (a few at a time), each programmed by a Session, each attempt recorded
// in the history (begun when it starts, completed when it ends) and ended in the store, which
// judges the group's thresholds. The leases are renewed every third of their length, which also
// tells the station of a pause or a stop. With nothing to claim while work is left for its
// range, the station polls twice a second. A pause starts no new unit (those in flight finish)
// and the station waits, asking the rollout's state every second, until a resume lets it claim
// again; it is drained once the rollout is done, stopped or cancelled, or nothing is left for
// its range. It reports through RolloutEvents only.
class RolloutRunner final : public SessionFeed, private SessionEvents {
 public:
  struct Setup {
    const RolloutRunSettings& settings;
    rollouts::RolloutStore& store;
    const rollouts::RolloutDefinition& definition;
    rollouts::ClaimHolder holder;
    history::SpoolingHistoryStore* history;  // nullptr: nothing recorded
    // How each unit is programmed (timing, verify, strict, ...); the image is the rollout's and
    // the unit the claim's.
    jobs::JobPlan plan;
    RolloutEvents& events;
    SessionEvents& sessionEvents;  // the sessions' own lines
    SharedPorts ports;
    size_t capacity;
    std::string frontEnd = "cli";  // as the history rows name it
    // Where the ends kept while the store is away are put on disk; nullptr: in memory only.
    const rollouts::EndSpool* endSpool = nullptr;
  };
  // Sets the store's (and the history's) lock wait to the loop's; whoever runs the loop puts
  // it back after.
  explicit RolloutRunner(Setup setup);
  ~RolloutRunner() override;

  Session* next(size_t freeSlots, TimePoint now) override;
  void ended(Session& session, TimePoint now) override;
  void tick(TimePoint now) override;
  std::optional<TimePoint> nextTick() const override;
  bool drained() const override {
    return !claiming() && !waiting() && claimed_.empty() && !storeDown_ && pendingEnds_.empty();
  }
  void roundDone() override { s_.events.roundDone(); }

  // The rollout's state as this station saw it last, and why it stopped when it did.
  rollouts::RolloutState state() const { return state_; }
  const std::string& stopReason() const { return stopReason_; }
  bool noWorkLeft() const { return noWorkLeft_; }
  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int redone() const { return redone_; }
  // Units claimed and not started yet (the next calls of next() start them), and in flight.
  bool hasClaimed() const { return !claimed_.empty(); }
  size_t inFlight() const { return flying_.size(); }
  void setPool(const SessionPool* pool) { pool_ = pool; }
  // Reads the rollout's counts for the events (at start, and on its own clock while running).
  void refreshCounts();
  // The rollout's state when the station joins it (Running or Paused).
  void joinedAt(rollouts::RolloutState state) { noteState(state, {}); }
  // After the run (also a stopped one): units claimed but never started are handed back, and
  // the ends still kept for the store are written if it can be reached now; returns how many
  // could not be (those units stay running in the store until their lease runs out, then
  // another attempt redoes them).
  size_t settle();
  // Whether the store could not be reached at the last try.
  bool storeDown() const { return storeDown_; }

 private:
  struct Unit {
    rollouts::Claim claim;
    std::unique_ptr<Session> session;
    history::OperationRow row;
    bool deferredRow = false;  // --watch, asked again while missing: begun only once it answers
    TimePoint claimUntil{};    // the right to send to it, on the steady clock
  };
  // An attempt ended whose end the store has not taken yet: kept, in order, while the store
  // cannot be reached, and written (and only then said) once it is back.
  struct PendingEnd {
    rollouts::Claim claim;
    SessionResult result;
    rollouts::AttemptResult attempt;
    rollouts::UtcMillis at = 0;
    std::string spoolId;  // its line in the end spool; empty: kept in memory only
  };
  TimePoint claimDeadline(TimePoint asked) const;
  // Keeps an ended attempt for the round's write to the store (on disk while it is away).
  void endAttempt(PendingEnd pending);
  // Writes the kept ends in one call, their verdicts said in order; false: the store went away
  // again (they all stay kept).
  bool writePendingEnds();
  // Puts the kept ends not on disk yet into the end spool (synced), said once when it cannot.
  void spoolPendingEnds();
  // The ends other processes of this rollout kept on disk and could not write before they
  // stopped; false: the store went away meanwhile.
  bool replayKeptEnds(TimePoint now);
  void verdictReached(const PendingEnd& pending, const rollouts::AttemptVerdict& verdict);
  // The store failed: said once, no unit is claimed until it answers again.
  void storeLost(const std::exception& error, TimePoint now);
  void reconnect(TimePoint now);
  void moveSpooledRows();
  void applyRenewal(const rollouts::Renewal& renewal, TimePoint now, TimePoint renewedUntil);
  // The phase of each unit in flight, for the renewal to write (a few times a minute).
  std::vector<rollouts::UnitPhaseNote> phasesInFlight(TimePoint now,
                                                      rollouts::UtcMillis utcNow) const;
  // SessionEvents: passed on to the sessions' own events; the unit chosen names its row.
  void logLine(std::string_view target, std::string_view line) override {
    s_.sessionEvents.logLine(target, line);
  }
  bool wantsReplies() const override { return s_.sessionEvents.wantsReplies(); }
  void replied(const Session& session, const UnitReport& report) override {
    s_.sessionEvents.replied(session, report);
  }
  void loaderModeReached(const Session& session, protocol::UvqId unit) override {
    s_.sessionEvents.loaderModeReached(session, unit);
  }
  void unitChosen(const Session& session, const std::string& unit) override;
  void ended(const Session& session) override { s_.sessionEvents.ended(session); }
  void letGo(Unit& unit);
  bool claiming() const {
    return state_ == rollouts::RolloutState::Running && !noWorkLeft_ && !storeDown_;
  }
  // Paused, and staying for the resume.
  bool waiting() const {
    return state_ == rollouts::RolloutState::Paused && !s_.settings.exitOnPause;
  }
  // Waiting with nothing of its own in flight: only the store's state can change anything.
  bool idleAtPause() const { return waiting() && flying_.empty() && claimed_.empty(); }
  void claimMore(size_t freeSlots, TimePoint now);
  void beginRows(std::vector<Unit*>& units);
  void completeRow(Unit& unit, const SessionResult& result);
  void noteState(rollouts::RolloutState state, const std::string& reason);
  void historyProblem(const std::string& problem);

  Setup s_;
  const SessionPool* pool_ = nullptr;
  int leaseMs_;
  std::deque<std::unique_ptr<Unit>> claimed_;  // claimed, not started yet
  std::unordered_map<const Session*, std::unique_ptr<Unit>> flying_;
  rollouts::RolloutState state_ = rollouts::RolloutState::Running;
  std::string stopReason_;
  bool noWorkLeft_ = false;  // nothing left that this station could claim
  TimePoint nextRenew_{};
  TimePoint nextClaim_{};
  TimePoint nextStateCheck_{};            // paused: the rollout's state asked again then
  std::optional<TimePoint> gatherUntil_;  // slots freed one by one are claimed together then
  TimePoint nextCounts_{};
  TimePoint nextDraw_{};
  bool countsStale_ = true;
  bool historySaid_ = false;
  bool storeDown_ = false;   // the last call to the store failed: tried again at nextReconnect_
  bool outageSaid_ = false;  // the outage was said and its end not yet
  TimePoint nextReconnect_{};
  std::chrono::milliseconds reconnectDelay_{0};
  std::deque<PendingEnd> pendingEnds_;
  int64_t nextSpoolId_ = 0;
  bool spoolProblemSaid_ = false;
  int ok_ = 0, failed_ = 0, redone_ = 0;
  std::unordered_set<int> missingSaid_;  // --watch: positions said to be missing, not yet back
};

}  // namespace uvq::fleet
