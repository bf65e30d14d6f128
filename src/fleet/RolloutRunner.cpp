// SPDX-License-Identifier: Apache-2.0
#include "fleet/RolloutRunner.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "fleet/ClaimToken.h"
#include "fleet/RunRecorder.h"
#include "protocol/IpAddressText.h"
#include "recording/StationFacts.h"
#include "store/db/SqlConnection.h"
#include "store/db/StoreError.h"
#include "uvq/Version.h"

namespace uvq::fleet {

namespace {

using recording::NowUtcMillis;
using rollouts::AttemptEnd;
using rollouts::RolloutState;

// Nothing to claim while work is left: asked again this often.
constexpr auto kPollPeriod = std::chrono::milliseconds(500);
// Paused with nothing in flight: the rollout's state asked again this often.
constexpr auto kPausedPollPeriod = std::chrono::seconds(1);
// Units freed one at a time are claimed together, up to this long later.
constexpr auto kClaimGather = std::chrono::milliseconds(50);
constexpr auto kCountsPeriod = std::chrono::seconds(1);
constexpr auto kDrawPeriod = std::chrono::milliseconds(200);
// Lines and events: the units in flight said this often while there are any.
constexpr auto kInFlightPeriod = std::chrono::seconds(5);
// A unit whose lock another program holds is tried again this much later.
constexpr int kLockedRetryMs = 2000;
// The store that went away is asked again after 1 s, then twice as long each time, up to 30 s.
constexpr auto kFirstReconnect = std::chrono::milliseconds(1000);
constexpr auto kLastReconnect = std::chrono::milliseconds(30000);

// --watch: the address answered not at all (no unit, not even another one): the unit is not
// there yet, which is no attempt of its own.
bool NobodyAnswered(const SessionResult& r) {
  return r.outcome == jobs::JobOutcome::NoAnswer && r.unit.empty() && !r.finalStatus &&
         r.units.empty() && r.reportedAddress.empty();
}

AttemptEnd EndOf(const Session& session, bool watch) {
  const SessionResult& r = session.result();
  if (watch && NobodyAnswered(r)) return AttemptEnd::Missing;
  // Another program works on the unit: no fault of the unit's, so no attempt is spent on it;
  // it is tried again a little later.
  if (session.lockRefused()) return AttemptEnd::Missing;
  switch (r.outcome) {
    case jobs::JobOutcome::Ok:
      return AttemptEnd::Ok;
    case jobs::JobOutcome::NoAnswer:
    case jobs::JobOutcome::NetworkError:
      return AttemptEnd::Retryable;
    case jobs::JobOutcome::Interrupted:
    // Let go without a fault of the unit's: whoever holds it now, or the next claim, goes on.
    case jobs::JobOutcome::ClaimLost:
      return AttemptEnd::Interrupted;
    default:  // the unit's own error, or one the retries would only repeat
      return AttemptEnd::UnitError;
  }
}

// The unit the claim names ("0100"), or nullopt: the only unit that answers.
std::optional<protocol::UvqId> UnitOf(const rollouts::Claim& claim) {
  uint16_t value = 0;
  const char* end = claim.unitId.data() + claim.unitId.size();
  const auto [stop, error] = std::from_chars(claim.unitId.data(), end, value, 16);
  if (claim.unitId.size() != 4 || error != std::errc{} || stop != end) return std::nullopt;
  return protocol::UvqId{static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

ResolvedTarget TargetOf(const rollouts::Claim& claim) {
  ResolvedTarget target;
  target.text = claim.target;
  target.address.s_addr = htonl(claim.address);
  target.addressText = protocol::Ipv4Text(target.address);
  if (!claim.unitId.empty()) target.unitId = claim.unitId;
  return target;
}

// A claim is the right to send to the unit. The station counts its lease on its own steady
// clock from just before it asked, less this margin: the store's clock and another station's
// may be a little ahead, and a renewal may still be on its way.
std::chrono::milliseconds ClaimMargin(int leaseMs) {
  return std::chrono::milliseconds(std::min(2000, leaseMs / 6));
}

}  // namespace

KeptEndsReplayed ReplayKeptEnds(rollouts::RolloutStore& store, const rollouts::EndSpool& spool,
                                const std::string& rollout, const std::string& ownToken) {
  KeptEndsReplayed replayed;
  std::vector<std::string> done;
  // Those written so far leave the spool even when a later one fails.
  struct Drop {
    const rollouts::EndSpool& spool;
    std::vector<std::string>& ids;
    ~Drop() {
      try {
        spool.drop(ids);
      } catch (const store::StoreError&) {
        // Written again later, and refused then: counted once all the same.
      }
    }
  } drop{spool, done};
  std::vector<rollouts::SpooledEnd> kept;
  try {
    kept = spool.read(store.location(), rollout);
  } catch (const store::StoreError& error) {
    // A spool that cannot be read is no outage of the store: its ends wait for a later look.
    throw std::runtime_error(error.what());
  }
  // The ends of one process go in together, in the order they were kept.
  std::vector<const rollouts::SpooledEnd*> gone;
  for (const rollouts::SpooledEnd& end : kept)
    if (end.holder.token != ownToken && ClaimTokenHolderGone(end.holder.token))
      gone.push_back(&end);
  for (size_t first = 0; first < gone.size();) {
    const rollouts::ClaimHolder& holder = gone[first]->holder;
    std::vector<rollouts::AttemptResult> results;
    rollouts::UtcMillis at = 0;
    size_t last = first;
    for (; last < gone.size() && gone[last]->holder.token == holder.token &&
           gone[last]->holder.station == holder.station;
         ++last) {
      results.push_back(gone[last]->result);
      at = std::max(at, gone[last]->at);
    }
    const std::vector<rollouts::AttemptVerdict> verdicts =
        store.endAll(rollout, holder, results, at);
    for (size_t i = 0; i < verdicts.size() && first + i < last; ++i) {
      ++(verdicts[i].held ? replayed.written : replayed.refused);
      done.push_back(gone[first + i]->id);
    }
    first = last;
  }
  return replayed;
}

TimePoint RolloutRunner::claimDeadline(TimePoint asked) const {
  return asked + std::chrono::milliseconds(leaseMs_) - ClaimMargin(leaseMs_);
}

// The store's calls come from the loop that drives the sessions: a database another process
// holds locked is waited for briefly only, then met as an outage (units in flight go on).
RolloutRunner::RolloutRunner(Setup setup)
    : s_(std::move(setup)), leaseMs_(s_.settings.leaseSeconds * 1000) {
  const TimePoint now = SteadyClock::now();
  nextRenew_ = now + std::chrono::milliseconds(leaseMs_ / 3);
  s_.store.setLockWait(store::kLoopLockWaitMs);
  if (s_.history) s_.history->setLockWait(store::kLoopLockWaitMs);
}

// The lock wait stays as it is: other runners of the station may share the connection.
RolloutRunner::~RolloutRunner() {
  if (s_.history) s_.history->setDatabaseAway(false);
}

std::optional<TimePoint> RolloutRunner::nextTick() const {
  // The ends of the round go to the store at the next tick (or claim), before the pool waits.
  if (!storeDown_ && !pendingEnds_.empty()) return TimePoint{};
  TimePoint next = storeDown_ ? nextReconnect_ : nextRenew_;
  // A claim that is due waits for a free slot, which the pool reports by itself; with a slot
  // free, the poll's own clock drives it (twice a second, whatever the front end redraws).
  const bool slotFree = !pool_ || pool_->inFlight() < pool_->capacity();
  if (claiming() && (slotFree ? !gatherUntil_ : nextClaim_ > SteadyClock::now()) &&
      nextClaim_ < next)
    next = nextClaim_;
  if (claiming() && gatherUntil_ && *gatherUntil_ < next) next = *gatherUntil_;
  if (idleAtPause() && nextStateCheck_ < next) next = nextStateCheck_;
  const RolloutEvents::Watching watching = s_.events.watching();
  if (watching == RolloutEvents::Watching::Live && nextDraw_ < next) next = nextDraw_;
  if (watching == RolloutEvents::Watching::Changes && !flying_.empty() && nextDraw_ < next)
    next = nextDraw_;
  if (watching != RolloutEvents::Watching::EndOnly && nextCounts_ < next) next = nextCounts_;
  return next;
}

// Units whose claim ran out before this renewal stay lost: another station may have taken them
// meanwhile (the pool ends them this round, before they send again). A unit the renewal no
// longer finds under this station was taken over (a clock of another machine may run ahead): it
// is lost at once, as one whose claim ran out.
void RolloutRunner::applyRenewal(const rollouts::Renewal& renewal, TimePoint now,
                                 TimePoint renewedUntil) {
  const auto stillHeld = [&](const Unit& unit) {
    return std::binary_search(renewal.held.begin(), renewal.held.end(), unit.claim.position);
  };
  for (auto& [session, unit] : flying_) {
    if (unit->claimUntil <= now) continue;
    unit->claimUntil = stillHeld(*unit) ? renewedUntil : now;
    unit->session->setClaimUntil(unit->claimUntil);
  }
  for (auto& unit : claimed_)
    if (unit->claimUntil > now) unit->claimUntil = stillHeld(*unit) ? renewedUntil : now;
  noteState(renewal.state, {});
}

std::vector<rollouts::UnitPhaseNote> RolloutRunner::phasesInFlight(
    TimePoint now, rollouts::UtcMillis utcNow) const {
  std::vector<rollouts::UnitPhaseNote> notes;
  notes.reserve(flying_.size());
  for (const auto& [session, unit] : flying_) {
    if (!session->started() || session->finished()) continue;
    const jobs::PhaseView view = session->phase();
    const auto ago =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - view.phaseStarted).count();
    notes.push_back({unit->claim.position, std::string(jobs::UnitPhaseName(view.phase)),
                     static_cast<int64_t>(view.done), static_cast<int64_t>(view.total),
                     utcNow - std::max<int64_t>(ago, 0)});
  }
  return notes;
}

void RolloutRunner::tick(TimePoint now) {
  if (!storeDown_) writePendingEnds();
  if (storeDown_) {
    if (now >= nextReconnect_) reconnect(now);
  } else if (now >= nextRenew_) {
    nextRenew_ = now + std::chrono::milliseconds(leaseMs_ / 3);
    const TimePoint renewedUntil = claimDeadline(SteadyClock::now());
    try {
      const rollouts::UtcMillis utcNow = NowUtcMillis();
      applyRenewal(s_.store.renewWithPhases(s_.definition.name, s_.holder, utcNow, leaseMs_,
                                            phasesInFlight(now, utcNow)),
                   now, renewedUntil);
    } catch (const store::StoreError& error) {
      storeLost(error, now);
    }
  }
  if (!storeDown_ && idleAtPause() && now >= nextStateCheck_) {
    nextStateCheck_ = now + kPausedPollPeriod;
    try {
      noteState(s_.store.renew(s_.definition.name, s_.holder, NowUtcMillis(), leaseMs_).state, {});
    } catch (const store::StoreError& error) {
      storeLost(error, now);
    }
  }
  const RolloutEvents::Watching watching = s_.events.watching();
  if (watching != RolloutEvents::Watching::EndOnly && now >= nextCounts_) {
    nextCounts_ = now + kCountsPeriod;
    if (countsStale_ || watching == RolloutEvents::Watching::Live) refreshCounts();
  }
  if (watching == RolloutEvents::Watching::Live && now >= nextDraw_) {
    nextDraw_ = now + kDrawPeriod;
    if (pool_) s_.events.inFlight(now, *pool_);
  } else if (watching == RolloutEvents::Watching::Changes) {
    // Units are said once they have worked a while, then every few seconds while any do.
    if (flying_.empty()) {
      nextDraw_ = TimePoint{};
    } else if (nextDraw_ == TimePoint{}) {
      nextDraw_ = now + kInFlightPeriod;
    } else if (now >= nextDraw_) {
      nextDraw_ = now + kInFlightPeriod;
      if (pool_) s_.events.inFlight(now, *pool_);
    }
  }
}

void RolloutRunner::refreshCounts() {
  if (storeDown_) return;
  countsStale_ = false;
  try {
    if (const auto status = s_.store.status(s_.definition.name)) s_.events.counts(status->summary);
  } catch (const store::StoreError& error) {
    storeLost(error, SteadyClock::now());
  }
}

// While the store cannot be reached, a claim keeps the deadline its last renewal gave it: the
// store may be gone for this station only (another may still reach it and take over units whose
// lease ran out), so a unit in flight goes on only as long as its lease surely holds. Units
// that end meanwhile keep their ends until the store answers again; nothing new is claimed.
void RolloutRunner::storeLost(const std::exception& error, TimePoint now) {
  reconnectDelay_ = reconnectDelay_.count() == 0
                        ? kFirstReconnect
                        : std::min<std::chrono::milliseconds>(reconnectDelay_ * 2, kLastReconnect);
  nextReconnect_ = now + reconnectDelay_;
  storeDown_ = true;
  // The history is in the same database: its rows go to the spool without a wait meanwhile.
  if (s_.history) s_.history->setDatabaseAway(true);
  if (outageSaid_) return;
  outageSaid_ = true;
  s_.events.notice("the rollout store cannot be reached (" + std::string(error.what()) +
                   "): no new unit is claimed, units in flight finish while their claims hold, "
                   "and their ends are written once it is back (asked again with a growing "
                   "pause, up to " +
                   std::to_string(kLastReconnect.count() / 1000) + " s)");
}

// The first renewal after an outage says which claims still hold and the rollout's state; the
// kept ends are written next, in the order they came, before anything is claimed again. A unit
// the renewal finds under this station that it does not know was claimed by a call whose answer
// was lost: it is handed back at once (nothing was sent to it).
void RolloutRunner::reconnect(TimePoint now) {
  try {
    const TimePoint renewedUntil = claimDeadline(SteadyClock::now());
    const rollouts::Renewal renewal =
        s_.store.renew(s_.definition.name, s_.holder, NowUtcMillis(), leaseMs_);
    storeDown_ = false;
    nextRenew_ = now + std::chrono::milliseconds(leaseMs_ / 3);
    std::vector<int> unknown;
    for (int position : renewal.held) {
      const auto known = [&](const rollouts::Claim& claim) { return claim.position == position; };
      bool found = false;
      for (const auto& [session, unit] : flying_) found = found || known(unit->claim);
      for (const auto& unit : claimed_) found = found || known(unit->claim);
      for (const PendingEnd& pending : pendingEnds_) found = found || known(pending.claim);
      if (!found) unknown.push_back(position);
    }
    applyRenewal(renewal, now, renewedUntil);
    const size_t kept = pendingEnds_.size();
    if (!writePendingEnds()) return;
    if (!replayKeptEnds(now)) return;
    std::vector<rollouts::AttemptResult> handedBack;
    for (int position : unknown) {
      rollouts::AttemptResult& attempt = handedBack.emplace_back();
      attempt.position = position;
      attempt.end = AttemptEnd::Interrupted;
      attempt.outcome = std::string(jobs::OutcomeIdentifier(jobs::JobOutcome::Interrupted));
      attempt.detail = "claimed as the rollout store went away: nothing was sent";
    }
    if (!handedBack.empty())
      s_.store.endAll(s_.definition.name, s_.holder, handedBack, NowUtcMillis());
    reconnectDelay_ = std::chrono::milliseconds(0);
    if (s_.history) s_.history->setDatabaseAway(false);
    moveSpooledRows();
    if (outageSaid_)
      s_.events.notice("the rollout store answers again" +
                       (kept == 0 ? std::string()
                                  : ": " + std::to_string(kept) + " unit end" +
                                        (kept == 1 ? " was" : "s were") + " written"));
    outageSaid_ = false;
    countsStale_ = true;
    nextClaim_ = now;
  } catch (const store::StoreError& error) {
    storeLost(error, now);
  }
}

// The ends of a round are written together, at the next tick or before the next claim (the
// pool asks for either before it waits). While the store is away, the end is on disk before
// the slot is given back.
void RolloutRunner::endAttempt(PendingEnd pending) {
  pendingEnds_.push_back(std::move(pending));
  if (storeDown_) spoolPendingEnds();
}

void RolloutRunner::spoolPendingEnds() {
  if (!s_.endSpool) return;
  for (PendingEnd& pending : pendingEnds_) {
    if (!pending.spoolId.empty()) continue;
    rollouts::SpooledEnd end;
    end.id = s_.holder.token + ":" + std::to_string(nextSpoolId_++);
    end.location = s_.store.location();
    end.rollout = s_.definition.name;
    end.holder = s_.holder;
    end.result = pending.attempt;
    end.at = pending.at;
    try {
      s_.endSpool->keep(end);
      pending.spoolId = end.id;
    } catch (const store::StoreError& error) {
      if (!spoolProblemSaid_) s_.events.notice(std::string(error.what()) + " (said once)");
      spoolProblemSaid_ = true;
      return;
    }
  }
}

bool RolloutRunner::replayKeptEnds(TimePoint now) {
  if (!s_.endSpool) return true;
  try {
    const KeptEndsReplayed replayed =
        ReplayKeptEnds(s_.store, *s_.endSpool, s_.definition.name, s_.holder.token);
    if (const int count = replayed.written + replayed.refused; count > 0) {
      countsStale_ = true;
      s_.events.notice(std::to_string(count) + " unit end" + (count == 1 ? "" : "s") +
                       " kept by a stopped station process " + (count == 1 ? "was" : "were") +
                       " written (" + std::to_string(replayed.refused) + " counted before)");
    }
  } catch (const store::StoreError& error) {
    storeLost(error, now);
    return false;
  } catch (const std::exception& error) {
    // The spool cannot be read: its ends stay there for a later station.
    if (!spoolProblemSaid_) s_.events.notice(error.what());
    spoolProblemSaid_ = true;
  }
  return true;
}

bool RolloutRunner::writePendingEnds() {
  std::vector<std::string> written;  // their lines leave the end spool
  struct Drop {
    const rollouts::EndSpool* spool;
    std::vector<std::string>& ids;
    ~Drop() {
      if (!spool) return;
      try {
        spool->drop(ids);
      } catch (const store::StoreError&) {
        // Written again by the next station and refused then: counted once all the same.
      }
    }
  } drop{s_.endSpool, written};
  if (pendingEnds_.empty()) return true;
  std::vector<rollouts::AttemptResult> attempts;
  rollouts::UtcMillis at = 0;  // when the last of them ended
  for (const PendingEnd& pending : pendingEnds_) {
    attempts.push_back(pending.attempt);
    at = std::max(at, pending.at);
  }
  std::vector<rollouts::AttemptVerdict> verdicts;
  try {
    // All of them in one write, or none. An end that reached the store before its answer was
    // lost is not counted again: the store takes an end only from the claim's holder, which
    // it no longer is after the first.
    verdicts = s_.store.endAll(s_.definition.name, s_.holder, attempts, at);
    if (verdicts.size() != attempts.size())
      throw store::StoreError(store::StoreErrorKind::WriteFailed,
                              "the rollout store answered " + std::to_string(verdicts.size()) +
                                  " of " + std::to_string(attempts.size()) + " unit ends");
  } catch (const store::StoreError& error) {
    storeLost(error, SteadyClock::now());
    spoolPendingEnds();
    return false;
  }
  // Each verdict said in order: a unit let go is said as such, a stop stops the claims at once.
  for (const rollouts::AttemptVerdict& verdict : verdicts) {
    const PendingEnd done = std::move(pendingEnds_.front());
    pendingEnds_.pop_front();
    if (!done.spoolId.empty()) written.push_back(done.spoolId);
    verdictReached(done, verdict);
  }
  return true;
}

// The history rows spooled while the database was away go in as soon as it is back (rows carry
// keys: a row begun in the spool and completed in the database makes one row). Refused again,
// they stay spooled for the next run.
void RolloutRunner::moveSpooledRows() {
  if (!s_.history || !s_.history->spooled()) return;
  try {
    s_.history->flush();
  } catch (const std::exception& error) {
    historyProblem(std::string("spooled rows not moved yet: ") + error.what());
  }
}

size_t RolloutRunner::settle() {
  if (s_.history) s_.history->setDatabaseAway(false);
  // Stopped between a claim and its start: nothing was sent, and the unit is free at once
  // instead of when its lease runs out.
  while (!claimed_.empty()) {
    std::unique_ptr<Unit> unit = std::move(claimed_.front());
    claimed_.pop_front();
    SessionResult result;
    result.outcome = jobs::JobOutcome::Interrupted;
    result.detail = "the station stopped before the unit started: nothing was sent";
    completeRow(*unit, result);
    PendingEnd pending;
    pending.claim = unit->claim;
    pending.result = result;
    pending.attempt.position = unit->claim.position;
    pending.attempt.end = AttemptEnd::Interrupted;
    pending.attempt.outcome = std::string(jobs::OutcomeIdentifier(result.outcome));
    pending.attempt.detail = result.detail;
    pending.at = NowUtcMillis();
    pendingEnds_.push_back(std::move(pending));
  }
  moveSpooledRows();
  if (!pendingEnds_.empty()) {
    storeDown_ = false;
    if (!writePendingEnds()) {
      const size_t onDisk = static_cast<size_t>(
          std::count_if(pendingEnds_.begin(), pendingEnds_.end(),
                        [](const PendingEnd& pending) { return !pending.spoolId.empty(); }));
      const size_t count = pendingEnds_.size();
      s_.events.notice(std::to_string(count) + " unit end" + (count == 1 ? "" : "s") +
                       " could not be written" +
                       (onDisk == count ? ": kept in " + s_.endSpool->path() +
                                              ", the next station of this rollout writes them"
                                        : ": those units are redone once their claims run out"));
    }
  }
  return pendingEnds_.size();
}

// A paused, stopped or cancelled rollout starts no new unit; those in flight finish. Resumed,
// it is asked for units at once.
void RolloutRunner::noteState(RolloutState state, const std::string& reason) {
  if (state == state_) return;
  state_ = state;
  countsStale_ = true;
  if (state == RolloutState::Running) {
    nextClaim_ = TimePoint{};
    gatherUntil_.reset();
  }
  if (state == RolloutState::Stopped) {
    stopReason_ = reason;
    if (stopReason_.empty() && !storeDown_) try {
        if (const auto status = s_.store.status(s_.definition.name))
          stopReason_ = status->summary.stopReason;
      } catch (const store::StoreError& error) {
        storeLost(error, SteadyClock::now());
      }
  }
  s_.events.stateChanged(state, stopReason_, flying_.size());
}

void RolloutRunner::claimMore(size_t freeSlots, TimePoint now) {
  rollouts::ClaimRequest request;
  request.holder = s_.holder;
  request.count = static_cast<int>(freeSlots);
  request.now = NowUtcMillis();
  request.leaseMs = leaseMs_;
  request.range = s_.settings.onlyRange;
  const TimePoint until = claimDeadline(SteadyClock::now());
  std::vector<rollouts::Claim> claims;
  try {
    claims = s_.store.claim(s_.definition.name, request);
    if (claims.empty()) {
      nextClaim_ = now + kPollPeriod;
      // Only with nothing in flight: a unit of ours ending may still start the next group.
      if (flying_.empty() && !s_.store.workLeft(s_.definition.name, s_.settings.onlyRange)) {
        noWorkLeft_ = true;
        noteState(s_.store.renew(s_.definition.name, s_.holder, NowUtcMillis(), leaseMs_).state,
                  {});
      } else if (flying_.empty()) {
        // The rollout may have been paused or stopped elsewhere meanwhile.
        noteState(s_.store.renew(s_.definition.name, s_.holder, NowUtcMillis(), leaseMs_).state,
                  {});
      }
      return;
    }
  } catch (const store::StoreError& error) {
    // A claim whose answer was lost may have been made: the first renewal after the outage
    // finds it and hands it back.
    noWorkLeft_ = false;
    storeLost(error, now);
    return;
  }
  std::vector<Unit*> started;
  for (rollouts::Claim& claim : claims) {
    auto unit = std::make_unique<Unit>();
    unit->claim = std::move(claim);
    unit->claimUntil = until;
    if (unit->claim.redo) {
      ++redone_;
      s_.events.unitRedone(unit->claim);
    }
    started.push_back(unit.get());
    claimed_.push_back(std::move(unit));
  }
  beginRows(started);
}

Session* RolloutRunner::next(size_t freeSlots, TimePoint now) {
  // What the round ended is judged before anything is claimed or started: a stop is known.
  if (!storeDown_) writePendingEnds();
  if (claimed_.empty()) {
    if (!claiming()) return nullptr;
    // Slots freed one at a time are gathered for a moment, so claims go a few at a time.
    if (now < nextClaim_) return nullptr;
    const size_t gather = std::max<size_t>(1, std::min<size_t>(s_.capacity / 8, 16));
    if (freeSlots < gather && !flying_.empty()) {
      if (!gatherUntil_) gatherUntil_ = now + kClaimGather;
      if (now < *gatherUntil_) return nullptr;
    }
    gatherUntil_.reset();
    claimMore(freeSlots, now);
    if (claimed_.empty()) return nullptr;
  }
  std::unique_ptr<Unit> unit = std::move(claimed_.front());
  claimed_.pop_front();
  // Claimed too long ago to start now: let go without a datagram.
  if (unit->claimUntil <= now) {
    letGo(*unit);
    return nullptr;
  }
  jobs::JobPlan plan = s_.plan;
  plan.kind = jobs::JobKind::Program;
  plan.image = jobs::Image{s_.definition.imagePath, s_.definition.image};
  // --watch asks a missing unit again later anyway: two locates, then the slot is free.
  if (s_.settings.watch) plan.findAttempts = 2;
  // A silent unit frees its place in the group after the search time, not the capture's
  // attempts (an attempt that ends as no answer, as before).
  plan.searchMs = s_.settings.searchSeconds.value_or(s_.definition.searchSeconds) * 1000;
  plan.unit = UnitOf(unit->claim);
  unit->session = std::make_unique<Session>(TargetOf(unit->claim), std::move(plan),
                                            static_cast<SessionEvents&>(*this), s_.ports);
  // A unit still missing is said once, not at every ask.
  if (!missingSaid_.contains(unit->claim.position)) s_.events.unitStarted(unit->claim);
  unit->session->setClaimUntil(unit->claimUntil);
  Session* session = unit->session.get();
  flying_.emplace(session, std::move(unit));
  return session;
}

// The row names the unit as soon as it is chosen: a station killed from here on leaves an
// abandoned row that says which unit it was working on.
void RolloutRunner::unitChosen(const Session& session, const std::string& id) {
  s_.sessionEvents.unitChosen(session, id);
  const auto found = flying_.find(&session);
  if (!s_.history || found == flying_.end()) return;
  Unit& unit = *found->second;
  if (unit.row.id == 0 || unit.row.unitId == id) return;
  unit.row.unitId = id;
  try {
    s_.history->complete(unit.row);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
}

// A unit claimed but never started whose claim ran out: ended in the store as interrupted
// (whoever holds it now goes on), its row as claim_lost.
void RolloutRunner::letGo(Unit& unit) {
  SessionResult result;
  result.outcome = jobs::JobOutcome::ClaimLost;
  result.detail = "the claim on the unit ran out before it started: nothing was sent";
  completeRow(unit, result);
  PendingEnd pending;
  pending.claim = unit.claim;
  pending.result = result;
  pending.attempt.position = unit.claim.position;
  pending.attempt.end = AttemptEnd::Interrupted;
  pending.attempt.outcome = std::string(jobs::OutcomeIdentifier(result.outcome));
  pending.attempt.detail = result.detail;
  pending.at = NowUtcMillis();
  endAttempt(std::move(pending));
}

// The store judged an attempt: said, and counted, once.
void RolloutRunner::verdictReached(const PendingEnd& pending,
                                   const rollouts::AttemptVerdict& verdict) {
  const bool missing = pending.attempt.end == AttemptEnd::Missing && s_.settings.watch &&
                       pending.attempt.outcome != "locked";
  if (verdict.progress == rollouts::UnitProgress::Failed) ++failed_;
  if (!missing) s_.events.unitEnded(pending.claim, pending.result, pending.attempt.end, verdict);
  noteState(verdict.state, verdict.stopReason);
  countsStale_ = true;
}

void RolloutRunner::ended(Session& session, TimePoint now) {
  auto found = flying_.find(&session);
  if (found == flying_.end()) return;
  std::unique_ptr<Unit> unit = std::move(found->second);
  flying_.erase(found);
  const SessionResult& result = session.result();
  const AttemptEnd end = EndOf(session, s_.settings.watch);
  const bool missing = s_.settings.watch && end == AttemptEnd::Missing && !session.lockRefused();
  // A unit that was not there at its first ask leaves one no_answer row; the asks after that
  // leave none until it answers.
  if (!(missing && unit->deferredRow)) completeRow(*unit, result);

  PendingEnd pending;
  pending.claim = unit->claim;
  pending.result = result;
  rollouts::AttemptResult& attempt = pending.attempt;
  attempt.position = unit->claim.position;
  attempt.end = end;
  attempt.outcome =
      session.lockRefused() ? "locked" : std::string(jobs::OutcomeIdentifier(result.outcome));
  attempt.detail = result.detail;
  attempt.status = result.finalStatus;
  attempt.unitId = result.unit;
  if (session.lockRefused()) attempt.retryAfterMs = kLockedRetryMs;
  if (missing) attempt.retryAfterMs = s_.settings.askEveryMs;
  pending.at = NowUtcMillis();
  if (end == AttemptEnd::Ok) ++ok_;
  if (missing) {
    if (missingSaid_.insert(unit->claim.position).second)
      s_.events.unitMissing(unit->claim, s_.settings.askEveryMs);
  } else if (missingSaid_.erase(unit->claim.position) > 0) {
    s_.events.unitStarted(unit->claim);
  }
  endAttempt(std::move(pending));
  nextClaim_ = now;  // the slot is free at once; a group may just have ended
}

void RolloutRunner::beginRows(std::vector<Unit*>& units) {
  if (!s_.history) return;
  const history::UtcMillis now = NowUtcMillis();
  std::vector<history::OperationRow> rows;
  rows.reserve(units.size());
  for (Unit* unit : units) {
    history::OperationRow& row = unit->row;
    row.startedAt = now;
    row.station = s_.holder.station;
    row.osUser = recording::OsUser();
    row.frontEnd = s_.frontEnd;
    row.toolVersion = kVersion;
    row.target = TargetOf(unit->claim).addressText;
    row.unitId = unit->claim.unitId;
    row.operation = "program";
    row.imagePath = s_.definition.imagePath;
    row.imageBytes = static_cast<int64_t>(s_.definition.image->size());
    row.imageSha256 = s_.definition.imageSha256;
    row.key = history::NewRowKey();  // the same row when the unit is named later
    row.rollout = s_.definition.name;
    row.group = unit->claim.group;
    unit->deferredRow = missingSaid_.contains(unit->claim.position);
    if (!unit->deferredRow) rows.push_back(row);
  }
  try {
    const std::vector<int64_t> ids = s_.history->beginAll(rows);
    size_t next = 0;
    for (Unit* unit : units)
      if (!unit->deferredRow && next < ids.size()) unit->row.id = ids[next++];
    if (const auto notice = s_.history->takeSpoolNotice()) historyProblem(*notice);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
}

void RolloutRunner::completeRow(Unit& unit, const SessionResult& result) {
  if (!s_.history) return;
  history::OperationRow& row = unit.row;
  try {
    if (unit.deferredRow) unit.row.id = s_.history->begin(row);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
  if (unit.row.id == 0) return;
  FillEndedRow(row, result, NowUtcMillis());
  try {
    s_.history->complete(row);
    if (const auto notice = s_.history->takeSpoolNotice()) historyProblem(*notice);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
}

// Said once; the run goes on (the rollout's own state is in the store either way).
void RolloutRunner::historyProblem(const std::string& problem) {
  if (historySaid_) return;
  historySaid_ = true;
  s_.events.historyProblem(problem);
}

}  // namespace uvq::fleet
