// SPDX-License-Identifier: Apache-2.0
#include "fleet/StationRollouts.h"

#include <algorithm>

#include "fleet/ClaimToken.h"
#include "fleet/Refused.h"
#include "fleet/RolloutStation.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "recording/StationFacts.h"
#include "store/db/RedactedUrl.h"
#include "store/db/SqlConnection.h"
#include "store/db/StoreError.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::fleet {

using rollouts::RolloutState;

StationRollouts::StationRollouts(Setup setup) : s_(std::move(setup)) {}

StationRollouts::~StationRollouts() = default;

std::vector<std::string> StationRollouts::serving() const {
  std::vector<std::string> names;
  for (const auto& part : parts_) names.push_back(part->definition.name);
  return names;
}

std::optional<TimePoint> StationRollouts::nextTick() const {
  TimePoint next = nextLook_;
  for (const auto& part : parts_)
    if (const auto due = part->runner->nextTick(); due && *due < next) next = *due;
  return next;
}

void StationRollouts::tick(TimePoint now) {
  if (now >= nextLook_) look(now);
  for (const auto& part : parts_)
    if (const auto due = part->runner->nextTick(); due && *due <= now) part->runner->tick(now);
  leaveDrained(StopCause::None);
}

void StationRollouts::roundDone() {
  for (const auto& part : parts_) part->runner->roundDone();
  s_.events.roundDone();
}

// The store is asked again at the next look; the rollouts already joined go on meanwhile
// (each runner has its own way through an outage).
void StationRollouts::look(TimePoint now) {
  nextLook_ = now + s_.lookEvery;
  std::vector<std::string> names;
  try {
    names = s_.store.unfinished(s_.settings.onlyRange, recording::NowUtcMillis());
  } catch (const store::StoreError& error) {
    if (!lookFailed_)
      s_.events.notice("the rollout store cannot be asked for rollouts (" +
                       std::string(error.what()) + "): asked again every " +
                       std::to_string(s_.lookEvery.count() / 1000) + " s");
    lookFailed_ = true;
    return;
  }
  if (lookFailed_) s_.events.notice("the rollout store answers again");
  lookFailed_ = false;
  for (const std::string& name : names) {
    const bool joined = std::any_of(parts_.begin(), parts_.end(), [&](const auto& part) {
      return part->definition.name == name;
    });
    if (joined) continue;
    try {
      join(name);
    } catch (const store::StoreError& error) {
      s_.events.notice("rollout '" + name + "' could not be joined (" + error.what() +
                       "): tried again at the next look");
    }
  }
  // A rollout that no longer waits for anything is forgotten: its refusal is said again when it
  // comes back.
  std::erase_if(refusals_, [&](const auto& refusal) {
    return std::find(names.begin(), names.end(), refusal.first) == names.end();
  });
}

void StationRollouts::join(const std::string& name) {
  std::optional<rollouts::RolloutDefinition> definition = s_.store.load(name);
  if (!definition) return;  // deleted between the look and now
  NoticesOnly kept;
  if (const auto refusal = RolloutImageRefusal(*definition, kept)) {
    std::string& said = refusals_[name];
    if (said != *refusal) s_.events.refused(name, *refusal);
    said = *refusal;
    return;
  }
  refusals_.erase(name);
  const std::optional<rollouts::RolloutStatus> status = s_.store.status(name);
  if (!status) return;
  const RolloutState state = status->summary.state;
  if (state != RolloutState::Running && state != RolloutState::Paused) return;

  auto part = std::make_unique<Part>();
  part->definition = std::move(*definition);
  RolloutEvents& events = s_.events.joined(part->definition, state);
  if (s_.alerts) s_.alerts->watch(name, part->definition.notifyUrl);
  for (const std::string& line : kept.notices) events.notice(line);
  WriteKeptEnds(s_.store, s_.endSpool, name, s_.holder, events);
  TakeBackDeadClaims(s_.store, name, s_.holder, s_.settings.leaseSeconds * 1000, events);
  part->runner = std::make_unique<RolloutRunner>(
      RolloutRunner::Setup{s_.settings, s_.store, part->definition, s_.holder, s_.history, s_.plan,
                           events, s_.sessionEvents, s_.ports, s_.capacity, "cli", s_.endSpool});
  part->runner->setPool(pool_);
  part->runner->joinedAt(state);
  part->runner->refreshCounts();
  parts_.push_back(std::move(part));
}

void StationRollouts::leave(std::unique_ptr<Part> part, StopCause cause) {
  RolloutRunner& runner = *part->runner;
  runner.settle();
  SayStationEnded(s_.store, part->definition.name, s_.holder);
  RolloutPart ended;
  ended.state = runner.state();
  ended.stopReason = runner.stopReason();
  ended.noWorkLeft = runner.noWorkLeft();
  ended.stoppedBy = cause;
  ended.ok = runner.ok();
  ended.failed = runner.failed();
  ended.redone = runner.redone();
  ok_ += ended.ok, failed_ += ended.failed, redone_ += ended.redone;
  const std::string name = part->definition.name;
  part.reset();  // its events are the front end's to drop once told
  if (s_.alerts) s_.alerts->unwatch(name);
  s_.events.left(name, ended);
}

void StationRollouts::leaveDrained(StopCause cause) {
  for (size_t i = 0; i < parts_.size();) {
    RolloutRunner& runner = *parts_[i]->runner;
    if (!runner.drained() || runner.inFlight() > 0) {
      ++i;
      continue;
    }
    std::unique_ptr<Part> part = std::move(parts_[i]);
    parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(i));
    leave(std::move(part), cause);
  }
}

void StationRollouts::leaveAll(StopCause cause) {
  while (!parts_.empty()) {
    std::unique_ptr<Part> part = std::move(parts_.front());
    parts_.erase(parts_.begin());
    leave(std::move(part), cause);
  }
  owners_.clear();
}

Session* StationRollouts::startFrom(Part& part, size_t offered, TimePoint now) {
  Session* session = part.runner->next(offered, now);
  if (session) owners_[session] = &part;
  return session;
}

Session* StationRollouts::next(size_t freeSlots, TimePoint now) {
  if (parts_.empty()) return nullptr;
  // Units already claimed start first: their leases run.
  for (const auto& part : parts_)
    if (part->runner->hasClaimed())
      if (Session* session = startFrom(*part, freeSlots, now)) return session;
  // Each rollout in turn, up to its share of the slots; then any that has more to start.
  const size_t capacity = pool_ ? pool_->capacity() : s_.capacity;
  const size_t share = std::max<size_t>(1, capacity / parts_.size());
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < parts_.size(); ++k) {
      Part& part = *parts_[(turn_ + k) % parts_.size()];
      const size_t flying = part.runner->inFlight();
      if (pass == 0 && flying >= share) continue;
      const size_t offered = pass == 0 ? std::min(freeSlots, share - flying) : freeSlots;
      if (Session* session = startFrom(part, offered, now)) {
        turn_ = (turn_ + k + 1) % parts_.size();
        return session;
      }
    }
  }
  return nullptr;
}

void StationRollouts::ended(Session& session, TimePoint now) {
  const auto found = owners_.find(&session);
  if (found == owners_.end()) return;
  Part& part = *found->second;
  owners_.erase(found);
  part.runner->ended(session, now);
  // A rollout that just ended (done, stopped, cancelled) is left at once.
  leaveDrained(StopCause::None);
}

StationRolloutsResult RunStationRollouts(const StationRolloutsSetup& setup,
                                         StationRolloutsEvents& events,
                                         SessionEvents& sessionEvents) {
  using Refusal = StationRolloutsResult::Refusal;
  StationRolloutsResult result;
  const auto refused = [&](Refusal refusal, const std::string& problem) {
    return RefusedResult<StationRolloutsResult>(refusal,
                                                history::WithoutPassword(problem, setup.historyDb));
  };
  std::unique_ptr<rollouts::RolloutStore> store;
  try {
    store = rollouts::OpenRolloutStore(setup.historyDb);
  } catch (const std::exception& error) {
    return refused(Refusal::Store, error.what());
  }
  const platform::ParallelInLimit parallel = platform::PossibleParallel(setup.parallel);
  const rollouts::ClaimHolder holder = StationClaimHolder(setup.station);
  events.started({holder.station, parallel.parallel, parallel.note});
  try {
    StationHistory opened = OpenStationHistory(setup.record, setup.historyDb);
    if (!opened.problem.empty())
      return RefusedResult<StationRolloutsResult>(Refusal::History, opened.problem);
    const std::unique_ptr<history::SpoolingHistoryStore>& historyStore = opened.store;
    RolloutAlerts alerts(*store, holder.station, setup.settings.leaseSeconds * 1000,
                         setup.alertProblem);
    uvq::platform::SystemClock clock;
    uvq::platform::PosixFileSystem files;
    SilentTone tone;
    SessionPool pool(parallel.parallel, setup.stop);
    std::string spoolProblem;
    const std::optional<rollouts::EndSpool> endSpool =
        OpenEndSpool(historyStore.get(), spoolProblem);
    if (!endSpool) events.notice(spoolProblem);
    StationRollouts station({setup.settings, *store, holder, historyStore.get(), setup.plan, events,
                             sessionEvents, SharedPorts{clock, tone, files}, parallel.parallel,
                             setup.lookEvery, endSpool ? &*endSpool : nullptr, &alerts});
    station.setPool(&pool);
    result.stoppedBy = pool.run(station);
    station.leaveAll(result.stoppedBy);
    store->setLockWait(store::kDefaultLockWaitMs);
    if (historyStore) historyStore->setLockWait(store::kDefaultLockWaitMs);
    result.ok = station.ok();
    result.failed = station.failed();
    result.redone = station.redone();
  } catch (const history::HistoryError& error) {
    return refused(Refusal::Store, error.what());
  }
  return result;
}

}  // namespace uvq::fleet
