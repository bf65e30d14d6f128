// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "fleet/RolloutAlerts.h"
#include "fleet/RolloutEvents.h"
#include "fleet/RolloutRunner.h"
#include "fleet/SessionPool.h"
#include "fleet/StopSource.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// How a station's part of one rollout ended, for now: the rollout is joined again once it has
// work for the station (resumed, retried, its units handed back).
struct RolloutPart {
  rollouts::RolloutState state = rollouts::RolloutState::Running;
  std::string stopReason;
  bool noWorkLeft = false;  // nothing left for this station's range
  StopCause stoppedBy = StopCause::None;
  int ok = 0, failed = 0, redone = 0;
};

// What a station serving every rollout tells its front end. Called on the run loop's thread.
struct StationRolloutsStart {
  std::string station;
  size_t parallel = 0;
  std::string parallelNote;  // set: fewer units at once than wanted, and why
};

class StationRolloutsEvents {
 public:
  virtual ~StationRolloutsEvents() = default;
  // Once the rollout store is open, before the history is opened and anything is claimed.
  virtual void started(const StationRolloutsStart& /*start*/) {}
  // The station joins the rollout (running or paused): the events of its part, kept by the front
  // end until left() is called for it.
  virtual RolloutEvents& joined(const rollouts::RolloutDefinition& rollout,
                                rollouts::RolloutState state) = 0;
  virtual void left(const std::string& rollout, const RolloutPart& part) = 0;
  // A rollout the station will not work on (its image changed, its copy is damaged): said once
  // until the reason changes; asked again at every look.
  virtual void refused(const std::string& rollout, const std::string& problem) = 0;
  // The store could not be asked for the rollouts (said once until it answers again), and the
  // like.
  virtual void notice(const std::string& line) = 0;
  virtual void roundDone() {}
};

// A station that serves every rollout with units in its range, as one feed of one session pool
// (its slots are the budget the rollouts share). Every `lookEvery` the store is asked which
// rollouts have work for the range; each new one is joined (its image checked, the claims of this
// station's dead processes taken back) and run by a RolloutRunner of its own under the station's
// one claim holder. A paused rollout, or one whose next group waits for an approval, is waited
// for by its runner; one that is done, stopped or cancelled, or has nothing left for the range,
// is left (its ends written) and joined again once it has work. A rollout with a notify URL is
// watched by `alerts` (when given) while it is joined. The free slots go first to a
// rollout with units claimed and not started, then to each rollout in turn up to its share
// (the slots divided among the rollouts that claim), then to any that has more. It never drains:
// only a stop ends the pool's run (the units in flight are interrupted and ended in the store).
class StationRollouts final : public SessionFeed {
 public:
  struct Setup {
    RolloutRunSettings settings;  // lease, --only-range
    rollouts::RolloutStore& store;
    rollouts::ClaimHolder holder;
    history::SpoolingHistoryStore* history;  // nullptr: nothing recorded
    jobs::JobPlan plan;
    StationRolloutsEvents& events;
    SessionEvents& sessionEvents;
    SharedPorts ports;
    size_t capacity;
    std::chrono::milliseconds lookEvery{5000};
    const rollouts::EndSpool* endSpool = nullptr;  // nullptr: ends kept in memory only
    RolloutAlerts* alerts = nullptr;               // nullptr: no rollout is watched
  };
  explicit StationRollouts(Setup setup);
  ~StationRollouts() override;

  void setPool(const SessionPool* pool) { pool_ = pool; }
  Session* next(size_t freeSlots, TimePoint now) override;
  void ended(Session& session, TimePoint now) override;
  void tick(TimePoint now) override;
  std::optional<TimePoint> nextTick() const override;
  bool drained() const override { return false; }
  void roundDone() override;

  // After the pool's run: every part still joined is settled and left (its ends written).
  void leaveAll(StopCause cause);
  // The rollouts joined now, in the order they were joined.
  std::vector<std::string> serving() const;
  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int redone() const { return redone_; }

 private:
  struct Part {
    rollouts::RolloutDefinition definition;
    std::unique_ptr<RolloutRunner> runner;
  };
  void look(TimePoint now);
  void join(const std::string& name);
  // Leaves the parts whose runners have nothing more to do.
  void leaveDrained(StopCause cause);
  void leave(std::unique_ptr<Part> part, StopCause cause);
  Session* startFrom(Part& part, size_t offered, TimePoint now);

  Setup s_;
  const SessionPool* pool_ = nullptr;
  std::vector<std::unique_ptr<Part>> parts_;
  std::unordered_map<const Session*, Part*> owners_;
  std::map<std::string, std::string> refusals_;  // rollout -> the reason said last
  TimePoint nextLook_{};
  bool lookFailed_ = false;
  size_t turn_ = 0;  // the part asked first for the next free slot
  int ok_ = 0, failed_ = 0, redone_ = 0;
};

// One station's run of every rollout, as `station --rollouts`.
struct StationRolloutsSetup {
  RolloutRunSettings settings;
  jobs::JobPlan plan;
  std::string station;  // empty: the host's name
  bool record = true;
  std::string historyDb;  // the rollouts' database, and the history's
  size_t parallel = 32;   // wanted; fewer when the open-file limit leaves fewer
  const StopSource* stop = nullptr;
  std::chrono::milliseconds lookEvery{5000};
  // An alert of a watched rollout given up, from the sender's thread.
  std::function<void(const std::string&)> alertProblem;
};

struct StationRolloutsResult {
  // Store: the rollouts' database cannot be opened, or failed under the station; History: the
  // history cannot be opened (nothing claimed). `problem` says why, without a password.
  enum class Refusal { None, Store, History };
  Refusal refusal = Refusal::None;
  std::string problem;
  StopCause stoppedBy = StopCause::None;
  int ok = 0, failed = 0, redone = 0;
};

// Opens the rollouts' database and the history, then serves the rollouts through a session
// pool of `parallel` slots until `stop` is requested.
StationRolloutsResult RunStationRollouts(const StationRolloutsSetup& setup,
                                         StationRolloutsEvents& events,
                                         SessionEvents& sessionEvents);

}  // namespace uvq::fleet
