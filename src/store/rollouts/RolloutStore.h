// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uvq::rollouts {

// Milliseconds since 1970-01-01 UTC, as the history counts them.
using UtcMillis = int64_t;

// A rollout: one image for many units, in groups started one after another. Its state lives in
// the history's database (the same file or server, the same schema versions), so every station
// that opens the database sees and shares it. Nothing is written per record: a unit's state
// changes when it is claimed, when its lease is renewed (a few times a minute for all of a
// station's units at once) and when it ends.

enum class RolloutState : uint8_t {
  Running,    // units may be claimed
  Paused,     // by hand: no new unit starts; units in flight finish
  Stopped,    // by a threshold: no new unit starts until `retry --failed`
  Cancelled,  // by hand, final
  Done,       // every group ended and passed its success threshold
};
inline constexpr std::string_view kRolloutStateNames[] = {"running", "paused", "stopped",
                                                          "cancelled", "done"};
constexpr std::string_view RolloutStateName(RolloutState state) {
  return kRolloutStateNames[static_cast<size_t>(state)];
}
std::optional<RolloutState> RolloutStateNamed(std::string_view name);

enum class UnitProgress : uint8_t {
  Pending,  // not started, or put back (interrupted, its station gone, a retry due)
  Running,  // claimed by a station whose lease has not run out
  Ok,
  Failed,   // after its retries, or a unit's own error
  Skipped,  // left out by hand: never claimed, counted in no threshold
};
inline constexpr std::string_view kUnitProgressNames[] = {"pending", "running", "ok", "failed",
                                                          "skipped"};
constexpr std::string_view UnitProgressName(UnitProgress progress) {
  return kUnitProgressNames[static_cast<size_t>(progress)];
}

// One unit of a rollout as created: the target as given and the address it resolved to (a
// station's --only-range compares that), the unit ID when one was named, and its group.
struct RolloutTarget {
  std::string target;    // "127.0.0.5", a host name, ...
  uint32_t address = 0;  // IPv4, host order
  std::string unitId;    // "0100"; empty: the only unit behind the address
  int group = 0;         // 0-based, groups in the order given
};

// Who did something to a rollout and from where: a person or role (the OS user, --actor, a
// dashboard token's name) and a host name or a dashboard client's address.
struct Actor {
  std::string name;
  std::string origin;
};

struct RolloutDefinition {
  std::string name;
  UtcMillis createdAt = 0;
  std::string createdBy;  // station
  std::string imagePath;  // as given at create, absolute
  std::string imageSha256;
  std::shared_ptr<const std::vector<uint8_t>> image;  // the bytes every station sends
  int successThreshold = 95;           // percent of a group that must succeed for the next to start
  int errorThreshold = 10;             // percent of a group whose failure stops the rollout at once
  int retries = 0;                     // extra attempts after no answer or a communication time-out
  std::vector<RolloutTarget> targets;  // in the order given; position = index
  bool approveGroups = false;          // each group after the first starts only once approved
  std::string notifyUrl;               // http:// URL told when the rollout stops or finishes
  // How long a unit that does not answer is searched for in one attempt before the attempt ends
  // as no answer (its group's place freed); 0: as long as the capture's attempts last.
  int searchSeconds = 20;
  Actor actor;  // recorded as the create action
};

// What create did: made it, or refused it because the name is in use or because an unfinished
// rollout sends another image to one of its units (`conflict` names that rollout).
struct CreateResult {
  bool created = false;
  std::string conflict;
  explicit operator bool() const { return created; }
};

struct GroupCounts {
  int group = 0;
  int size = 0;
  int pending = 0;
  int running = 0;
  int ok = 0;
  int failed = 0;    // accepted ones included
  int skipped = 0;   // left out by hand: not in the thresholds' shares
  int accepted = 0;  // failed units accepted by `resume --accept-failures`: not judged again
};

// One unit's place in a rollout, as status shows it.
struct RolloutUnit {
  int position = 0;
  int group = 0;
  std::string target;
  std::string unitId;  // as named at create, else the unit that answered last
  UnitProgress progress = UnitProgress::Pending;
  int attempts = 0;                     // attempts that ended (ok, failed or retried)
  std::string outcome;                  // the last attempt's outcome identifier ("no_answer", ...)
  std::string detail;                   // its detail line
  std::optional<uint16_t> status;       // the unit's last status word
  std::string station;                  // holding it (running) or that ended it last
  std::optional<UtcMillis> leaseUntil;  // running: when its claim runs out
  bool redo = false;  // in flight when its station stopped: the next attempt redoes it
  // Running: its phase as its station's last renewal said ("search", "program", ...; empty
  // before the first one), the records while programming, when the phase began and when the
  // station said so.
  std::string phase;
  int64_t phaseDone = 0;
  int64_t phaseTotal = 0;
  std::optional<UtcMillis> phaseStarted;
  std::optional<UtcMillis> phaseAt;
};

// A unit in flight as its station sees it, written with the station's lease renewal.
struct UnitPhaseNote {
  int position = 0;
  std::string phase;  // UnitPhaseName
  int64_t done = 0;   // records acknowledged while programming, of `total`
  int64_t total = 0;
  UtcMillis phaseStarted = 0;
};

// What a renewal found: the rollout's state and the positions of the units the holder still
// runs, in order.
struct Renewal {
  RolloutState state = RolloutState::Running;
  std::vector<int> held;
};

// Whether a station still works on a rollout: its process said it ended, or its last sign of
// life is older than its lease (it died, hangs or lost the database): gone.
enum class StationLife : uint8_t { Running, Ended, Gone };
inline constexpr std::string_view kStationLifeNames[] = {"running", "ended", "gone"};
constexpr std::string_view StationLifeName(StationLife life) {
  return kStationLifeNames[static_cast<size_t>(life)];
}
// The lease of a station recorded before stations said theirs.
inline constexpr int kUnknownStationLeaseMs = 60000;

// A station that worked on a rollout, its process and its last sign of life (claim, renewal or
// end).
struct RolloutStation {
  std::string station;
  UtcMillis lastSeen = 0;
  int running = 0;   // units it holds now (none once ended or gone)
  std::string host;  // of its process, from its claim token; empty: not known
  int64_t pid = 0;
  int leaseMs = 0;  // of its claims; 0: not known (kUnknownStationLeaseMs)
  std::optional<UtcMillis> endedAt;
  StationLife life = StationLife::Running;  // as of the status
};
// Ended once its process said so; gone once `now` is past its last sign of life and its lease.
constexpr StationLife StationLifeAt(const RolloutStation& station, UtcMillis now) {
  if (station.endedAt) return StationLife::Ended;
  const int lease = station.leaseMs > 0 ? station.leaseMs : kUnknownStationLeaseMs;
  return now > station.lastSeen + lease ? StationLife::Gone : StationLife::Running;
}

struct RolloutSummary {
  std::string name;
  UtcMillis createdAt = 0;
  std::string imagePath;
  std::string imageSha256;
  int64_t imageBytes = 0;
  int successThreshold = 0;
  int errorThreshold = 0;
  int retries = 0;
  RolloutState state = RolloutState::Running;
  std::string stopReason;  // stopped: the line that names the group, its failures and threshold
  std::vector<GroupCounts> groups;
  bool approveGroups = false;
  std::optional<int> waitingGroup;  // 0-based: the group that waits for an approval to start
  std::string notifyUrl;
  int searchSeconds = 0;  // see RolloutDefinition
};

// "waiting for approval of group 2", or empty.
std::string WaitingText(const RolloutSummary& summary);

// Every group's counts added up (its `group` is 0).
GroupCounts TotalCounts(const RolloutSummary& summary);

struct RolloutStatus {
  RolloutSummary summary;
  std::vector<RolloutUnit> failed;  // progress Failed, in position order
  std::vector<RolloutUnit> running;
  std::vector<RolloutStation> stations;
};

// Who holds a claim: the station's name and a token unique to the process (host, pid and a
// random part), so a station run again after a crash knows its old claims from its live ones.
struct ClaimHolder {
  std::string station;
  std::string token;
};

// A unit handed to a station to work on.
struct Claim {
  int position = 0;
  int group = 0;
  std::string target;
  uint32_t address = 0;
  std::string unitId;          // as named at create
  int attempts = 0;            // attempts already ended
  bool redo = false;           // it was in flight when its station stopped or died
  std::string previousHolder;  // redo: the station that had it
};

struct ClaimRequest {
  ClaimHolder holder;
  int count = 1;  // at most this many
  UtcMillis now = 0;
  int leaseMs = 60000;
  // --only-range: only units whose address is in [first, last] (host order).
  std::optional<std::pair<uint32_t, uint32_t>> range;
};

// How an attempt ended, as the rollout counts it.
enum class AttemptEnd : uint8_t {
  Ok,
  UnitError,    // the unit's own error: final until `retry --failed`
  Retryable,    // no answer or a communication time-out: pending again while retries are left
  Missing,      // station mode: no answer; pending again after `retryAfterMs`, not counted
  Interrupted,  // stopped from outside: pending again, redone by the next attempt, not counted
};

struct AttemptResult {
  int position = 0;
  AttemptEnd end = AttemptEnd::Ok;
  std::string outcome;  // identifier for status ("ok", "no_answer", "unit_error", ...)
  std::string detail;
  std::optional<uint16_t> status;
  std::string unitId;    // the unit that answered, when one did
  int retryAfterMs = 0;  // Missing and Retryable: not claimed again before this
};

// What the rollout became after an attempt ended.
struct AttemptVerdict {
  bool held = true;  // false: the claim had run out and another station holds the unit now
  UnitProgress progress = UnitProgress::Pending;  // the unit's, after this attempt
  RolloutState state = RolloutState::Running;     // the rollout's
  std::string stopReason;  // set when this attempt stopped the rollout (or finished it)
};

enum class RolloutAction : uint8_t {
  Pause,
  Resume,
  Cancel,
  RetryFailed,
  Approve,         // the group waiting for approval may start
  Skip,            // the units at an address are left out
  AcceptFailures,  // a rollout stopped by a threshold goes on, its failures so far accepted
};
// The names the record of actions keeps ("create" is the other one).
inline constexpr std::string_view kRolloutActionNames[] = {"pause",   "resume", "cancel", "retry",
                                                           "approve", "skip",   "accept"};
constexpr std::string_view RolloutActionName(RolloutAction action) {
  return kRolloutActionNames[static_cast<size_t>(action)];
}

struct ActionRequest {
  RolloutAction action = RolloutAction::Pause;
  UtcMillis now = 0;
  Actor actor;
  // Skip: the units at this address (host order), and the target as the actor gave it.
  uint32_t address = 0;
  std::string target;
};

struct ActionResult {
  bool found = false;
  bool applied = false;  // false: not possible in its state (said in `refusal`)
  std::string refusal;
  RolloutState state = RolloutState::Running;
  int unitsReset = 0;  // RetryFailed: units put back to pending; Skip, AcceptFailures: units
  int group = 0;       // Approve: the group (0-based) that may start now
};

// One action as recorded: what, by whom, from where, when; `detail` says what it changed.
struct ActionRecord {
  int64_t id = 0;
  std::string rollout;
  std::string action;  // create, pause, resume, cancel, retry, approve, skip, accept
  std::string actor;
  std::string origin;
  UtcMillis at = 0;
  std::string detail;
};

// Something a rollout's notify URL is told: the rollout stopped or finished, or a station went
// silent while holding units.
struct RolloutEvent {
  std::string rollout;
  std::string url;
  std::string state;  // "stopped", "done", "station_silent"
  std::string reason;
  UtcMillis at = 0;
};

// The rollouts' port. Implementations throw store::StoreError when the database cannot be used.
// Thresholds are judged inside the write that ends an attempt, under a lock its group's ends
// share (the database's, or the group's own row), so they hold across stations as for one: a group
// over its error threshold stops the rollout as soon as the attempt that crosses it ends; a group
// whose units have all ended starts the next one only if enough of it succeeded.
class RolloutStore {
 public:
  virtual ~RolloutStore() = default;

  // Refused (nothing written) when the name is in use, or when a unit's address is one of an
  // unfinished rollout (running, paused, stopped) of another image. Recorded as an action of
  // definition.actor.
  virtual CreateResult create(const RolloutDefinition& definition) = 0;
  // With the image's bytes; nullopt: no such rollout.
  virtual std::optional<RolloutDefinition> load(const std::string& name) = 0;
  virtual std::vector<RolloutSummary> list() = 0;
  // Its stations' life judged at the system clock's now.
  virtual std::optional<RolloutStatus> status(const std::string& name) = 0;
  // Every unit of the rollout, in position order (paged: from `offset`, at most `limit`).
  virtual std::vector<RolloutUnit> units(const std::string& name, int offset, int limit) = 0;

  // Hands out up to request.count units of the rollout's current group (the first group not yet
  // ended) that are pending and due, or running under a lease that has run out (those come back
  // with redo set): each to exactly one station, under a row lock. Nothing while the rollout is
  // not running. The units are running under `holder` until now + leaseMs.
  virtual std::vector<Claim> claim(const std::string& name, const ClaimRequest& request) = 0;
  // Extends the lease of every unit `holder` runs, and notes the station's sign of life. Says
  // the rollout's state, so a station learns of a pause or a stop at the same time, and which
  // units the holder still runs: one it ran that is missing was taken over by another station.
  virtual Renewal renew(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                        int leaseMs) = 0;
  // The same renewal, which also notes the phase of each unit in flight (`phases`, by position;
  // units of the holder not named keep theirs) as of `now`, in the same statement. A store that
  // keeps no phases only renews.
  virtual Renewal renewWithPhases(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                                  int leaseMs, const std::vector<UnitPhaseNote>& /*phases*/) {
    return renew(name, holder, now, leaseMs);
  }
  // Ends an attempt by `holder` and judges the group's thresholds.
  virtual AttemptVerdict end(const std::string& name, const ClaimHolder& holder,
                             const AttemptResult& result, UtcMillis now) = 0;
  // Ends several attempts by `holder` in one write, each judged in order as if it ended alone
  // (the end that crosses a threshold stops the rollout, the ends after it find it stopped; an
  // end of a unit no longer held changes nothing): one verdict per result, in their order. A
  // store that fails writes none of them. A store without writes of its own ends them one by one.
  virtual std::vector<AttemptVerdict> endAll(const std::string& name, const ClaimHolder& holder,
                                             const std::vector<AttemptResult>& results,
                                             UtcMillis now) {
    std::vector<AttemptVerdict> verdicts;
    verdicts.reserve(results.size());
    for (const AttemptResult& result : results) verdicts.push_back(end(name, holder, result, now));
    return verdicts;
  }
  // The station's process ends cleanly: said on the rollout's row of the station (only while
  // that row is still this process's), so it is shown as ended rather than gone.
  virtual void stationEnded(const std::string& name, const ClaimHolder& holder, UtcMillis now) = 0;
  // The units a station's earlier process held (same station name, another token): a station
  // run again takes them back at once instead of waiting for the lease (its front end checks
  // that the process that held them is gone). Returns how many.
  virtual int takeOver(const std::string& name, const std::string& station,
                       const std::string& deadToken, const ClaimHolder& holder, UtcMillis now,
                       int leaseMs) = 0;
  // The tokens of the processes that hold units under `station` now.
  virtual std::vector<std::string> holders(const std::string& name, const std::string& station) = 0;
  // Whether units are left that a station limited to `range` could still get: pending or
  // running ones in the range, in any group.
  virtual bool workLeft(const std::string& name,
                        std::optional<std::pair<uint32_t, uint32_t>> range) = 0;
  // The rollouts a station limited to `range` could work on now or after a resume, oldest
  // first: running or paused, with units in the range that are pending or running under a lease
  // that has run out by `now`.
  virtual std::vector<std::string> unfinished(std::optional<std::pair<uint32_t, uint32_t>> range,
                                              UtcMillis now) = 0;

  // Applies an action and records it (only when applied) in the same transaction.
  virtual ActionResult act(const std::string& name, const ActionRequest& request) = 0;
  ActionResult act(const std::string& name, RolloutAction action, UtcMillis now) {
    return act(name, ActionRequest{action, now, {}, 0, {}});
  }
  // The actions recorded, oldest first: of one rollout, or of all when `rollout` is empty; the
  // newest `limit` (0: all).
  virtual std::vector<ActionRecord> actions(const std::string& rollout, int limit) = 0;

  // The events of a rollout with a notify URL that no station has claimed yet, claimed now for
  // `station` so that no other tells them again: its stop or its end (once each time it gets
  // there), and each other station that holds units, or had units taken over, and has not been
  // seen for `silenceMs`. Empty when the rollout has no notify URL.
  virtual std::vector<RolloutEvent> claimEvents(const std::string& name, const std::string& station,
                                                UtcMillis now, int silenceMs) = 0;

  // Where the rollouts are kept, fit for any message (a file path or a URL without its
  // password): what a kept end names as its database.
  virtual std::string location() const { return {}; }
  // How long the calls from now on wait for a database another process holds locked before
  // they fail as StoreError (store::kDefaultLockWaitMs unless set; the process's connection is
  // shared, so the history's calls wait as long).
  virtual void setLockWait(int /*ms*/) {}
};

// Opens the rollouts of the database a "db" setting names (as OpenHistoryStore does), on the
// process's one connection to it. Throws store::StoreError.
std::unique_ptr<RolloutStore> OpenRolloutStore(const std::string& db);

}  // namespace uvq::rollouts
