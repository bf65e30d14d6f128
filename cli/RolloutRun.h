// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "Fleet.h"
#include "RolloutRequest.h"
#include "RolloutView.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::cli {

// One station's part of a rollout, as a feed of the session pool: units are claimed from the
// store as slots free up (a few at a time), each programmed by a Session on the command line's
// verified program path, each attempt recorded in the history (begun when it starts, completed
// when it ends) and ended in the store, which judges the group's thresholds. The leases are
// renewed every third of their length, which also tells the station of a pause or a stop. With
// nothing to claim while work is left for its range, the station polls twice a second.
class RolloutRunner final : public SessionFeed, private SessionEvents {
 public:
  struct Setup {
    const RolloutRequest& request;
    history::RolloutStore& store;
    const history::RolloutDefinition& definition;
    history::ClaimHolder holder;
    history::SpoolingHistoryStore* history;  // nullptr: --no-history
    RolloutView& view;
    SessionEvents& sessionEvents;  // the sessions' own lines
    SharedPorts ports;
    size_t capacity;
  };
  explicit RolloutRunner(Setup setup);
  ~RolloutRunner() override;

  Session* next(size_t freeSlots, TimePoint now) override;
  void ended(Session& session, TimePoint now) override;
  void tick(TimePoint now) override;
  std::optional<TimePoint> nextTick() const override;
  bool drained() const override { return !claiming() && claimed_.empty(); }
  void roundDone() override { s_.view.flush(); }

  // The rollout's state as this station saw it last, and why it stopped when it did.
  history::RolloutState state() const { return state_; }
  const std::string& stopReason() const { return stopReason_; }
  bool noWorkLeft() const { return noWorkLeft_; }
  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int redone() const { return redone_; }
  void setPool(const SessionPool* pool) { pool_ = pool; }
  // Reads the rollout's counts for the view (at start, and on its own clock while running).
  void refreshCounts();

 private:
  struct Unit {
    history::Claim claim;
    std::unique_ptr<Session> session;
    history::OperationRow row;
    bool deferredRow = false;  // --watch, asked again while missing: begun only once it answers
    TimePoint claimUntil{};    // the right to send to it, on the steady clock
  };
  TimePoint claimDeadline(TimePoint asked) const;
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
  bool claiming() const { return state_ == history::RolloutState::Running && !noWorkLeft_; }
  void claimMore(size_t freeSlots, TimePoint now);
  void beginRows(std::vector<Unit*>& units);
  void completeRow(Unit& unit, const SessionResult& result);
  void noteState(history::RolloutState state, const std::string& reason);
  void historyProblem(const std::string& problem);

  Setup s_;
  const SessionPool* pool_ = nullptr;
  int leaseMs_;
  std::deque<std::unique_ptr<Unit>> claimed_;  // claimed, not started yet
  std::unordered_map<const Session*, std::unique_ptr<Unit>> flying_;
  history::RolloutState state_ = history::RolloutState::Running;
  std::string stopReason_;
  bool noWorkLeft_ = false;  // nothing left that this station could claim
  TimePoint nextRenew_{};
  TimePoint nextClaim_{};
  std::optional<TimePoint> gatherUntil_;  // slots freed one by one are claimed together then
  TimePoint nextCounts_{};
  TimePoint nextDraw_{};
  bool countsStale_ = true;
  bool historySaid_ = false;
  int ok_ = 0, failed_ = 0, redone_ = 0;
  std::unordered_set<int> missingSaid_;  // --watch: positions said to be missing, not yet back
};

}  // namespace uvq::cli
