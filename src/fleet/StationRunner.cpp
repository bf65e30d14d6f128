// SPDX-License-Identifier: Apache-2.0
#include "fleet/StationRunner.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>

#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"

namespace uvq::fleet {

namespace {

// The units being programmed are said this often (when the front end wants them).
constexpr auto kInFlightPeriod = std::chrono::seconds(5);

ResolvedTarget TargetAt(uint32_t address, const std::string& text) {
  ResolvedTarget target;
  target.text = text;
  target.address.s_addr = htonl(address);
  target.addressText = text;
  return target;
}

double SecondsSince(TimePoint start, TimePoint now) {
  return std::chrono::duration<double>(now - start).count();
}

bool Interrupted(const SessionResult& result) {
  return result.outcome == jobs::JobOutcome::Interrupted;
}

}  // namespace

std::vector<StationUnit> UnitsWithImage(history::HistoryStore& store, const std::string& sha256,
                                        std::pair<uint32_t, uint32_t> range) {
  history::HistoryFilter filter;
  filter.image = sha256;
  filter.limit = 0;
  std::vector<StationUnit> units;
  for (const history::UnitState& unit : store.units(filter)) {
    const auto address = ParseDecimalAddress(unit.address);
    if (!address || unit.unitId.empty()) continue;
    const uint32_t a = ntohl(address->s_addr);
    if (a >= range.first && a <= range.second) units.push_back({a, unit.unitId});
  }
  // A unit programmed more than once (it came back erased) is one unit.
  std::sort(units.begin(), units.end());
  units.erase(std::unique(units.begin(), units.end()), units.end());
  return units;
}

StationRunner::StationRunner(Setup setup) : s_(std::move(setup)) {
  const auto [first, last] = s_.range;
  addresses_.reserve(last - first + 1);
  const TimePoint now = SteadyClock::now();
  for (uint64_t a = first; a <= last; ++a) {
    Address address;
    address.address = static_cast<uint32_t>(a);
    in_addr raw{};
    raw.s_addr = htonl(address.address);
    address.text = protocol::Ipv4Text(raw);
    addresses_.push_back(std::move(address));
    due_.push({now, addresses_.size() - 1});
  }
}

StationRunner::~StationRunner() = default;

void StationRunner::remember(const std::vector<StationUnit>& units) {
  done_.insert(units.begin(), units.end());
}

// Every slot taken: nothing can start before one frees, which the pool reports by itself (a
// due time in the past would only spin its wait).
std::optional<TimePoint> StationRunner::nextTick() const {
  std::optional<TimePoint> next;
  if (!due_.empty() && !(pool_ && pool_->inFlight() == pool_->capacity())) next = due_.top().at;
  if (showingInFlight() && (!next || nextShown_ < *next)) next = nextShown_;
  return next;
}

bool StationRunner::showingInFlight() const {
  return programsInFlight_ > 0 && pool_ && s_.events.showsInFlight();
}

void StationRunner::tick(TimePoint now) {
  if (!showingInFlight() || now < nextShown_) return;
  nextShown_ = now + kInFlightPeriod;
  s_.events.inFlight(now, *pool_);
}

// Units found are programmed first; then the address asked longest ago, once it is due.
Session* StationRunner::next(size_t, TimePoint now) {
  if (!toProgram_.empty()) {
    auto [address, unitId] = std::move(toProgram_.front());
    toProgram_.pop_front();
    return startProgram(address, std::move(unitId), now);
  }
  if (due_.empty() || due_.top().at > now) return nullptr;
  const size_t address = due_.top().address;
  due_.pop();
  return startLocate(address, now);
}

Session* StationRunner::startLocate(size_t address, TimePoint now) {
  Address& a = addresses_[address];
  ++a.busy;
  jobs::JobPlan plan = s_.plan;
  plan.kind = jobs::JobKind::Locate;
  plan.unit.reset();
  plan.image = {};
  plan.findAttempts = 1;
  auto work = std::make_unique<Work>();
  work->address = address;
  work->startedAt = now;
  work->session = std::make_unique<Session>(TargetAt(a.address, a.text), std::move(plan),
                                            s_.sessionEvents, s_.ports);
  Session* session = work->session.get();
  flying_.emplace(session, std::move(work));
  return session;
}

Session* StationRunner::startProgram(size_t address, std::string unitId, TimePoint now) {
  const Address& a = addresses_[address];
  jobs::JobPlan plan = s_.plan;
  plan.kind = jobs::JobKind::Program;
  plan.unit = UnitIdOf(unitId);
  plan.findAttempts = 2;  // it answered a moment ago; gone by now: the next locate says so
  auto work = std::make_unique<Work>();
  work->address = address;
  work->unitId = std::move(unitId);
  work->startedAt = now;
  work->session = std::make_unique<Session>(TargetAt(a.address, a.text), std::move(plan),
                                            s_.sessionEvents, s_.ports);
  if (recording()) {
    history::OperationRow& row = work->row;
    row = s_.recorder->newRow(a.text, "program");
    row.unitId = work->unitId;
    row.imagePath = s_.plan.image.name;
    row.imageBytes = s_.plan.image.bytes ? static_cast<int64_t>(s_.plan.image.bytes->size()) : 0;
    row.imageSha256 = s_.imageSha256;
    s_.recorder->beginRow(row);
  }
  s_.events.unitStarted(a.text, work->unitId);
  // Said once a unit has worked a while, then every few seconds while any does.
  if (programsInFlight_++ == 0) nextShown_ = now + kInFlightPeriod;
  Session* session = work->session.get();
  flying_.emplace(session, std::move(work));
  return session;
}

void StationRunner::ended(Session& session, TimePoint now) {
  auto found = flying_.find(&session);
  if (found == flying_.end()) return;
  std::unique_ptr<Work> work = std::move(found->second);
  flying_.erase(found);
  if (work->unitId.empty())
    located(*work, now);
  else
    programmed(*work, now);
}

void StationRunner::release(size_t address, TimePoint dueAt) {
  if (--addresses_[address].busy == 0) due_.push({dueAt, address});
}

void StationRunner::located(Work& work, TimePoint) {
  Address& a = addresses_[work.address];
  const SessionResult& result = work.session->result();
  const TimePoint dueAt = work.startedAt + std::chrono::milliseconds(s_.askEveryMs);
  if (Interrupted(result)) return release(work.address, dueAt);
  std::set<std::string> present;
  std::set<std::string> withoutProgram;  // the status word says it runs no valid program
  for (const UnitSeen& unit : result.units) {
    present.insert(unit.id);
    if (!protocol::RunsValidProgram(unit.status)) withoutProgram.insert(unit.id);
  }
  // A unit that failed and was unplugged meanwhile is a new try when it comes back.
  std::erase_if(a.failedHere, [&](const std::string& id) { return !present.contains(id); });
  for (const std::string& id : present) {
    const StationUnit key{a.address, id};
    // The history knows what was sent; the unit's own word decides: one that cannot run its
    // program (erased, left in loader mode) is programmed whatever the history says.
    if (done_.contains(key) && withoutProgram.contains(id)) done_.erase(key);
    if (done_.contains(key)) {
      // Said each time it is plugged in: the operator sees the jig knows it.
      if (!a.present.contains(id)) {
        ++skipped_;
        s_.events.unitSkipped(a.text, id);
      }
      continue;
    }
    if (a.failedHere.contains(id)) continue;
    ++a.busy;
    toProgram_.emplace_back(work.address, id);
  }
  a.present = std::move(present);
  release(work.address, dueAt);
}

void StationRunner::programmed(Work& work, TimePoint now) {
  Address& a = addresses_[work.address];
  const SessionResult& result = work.session->result();
  const double seconds = SecondsSince(work.startedAt, now);
  --programsInFlight_;
  if (recording() && work.row.id != 0) s_.recorder->completeRow(work.row, result);
  const StationUnit key{a.address, work.unitId};
  if (result.ok()) {
    ++ok_;
    done_.insert(key);
  } else if (Interrupted(result)) {
    ++interrupted_;
  } else {
    ++failed_;
    if (firstFailure_ == jobs::JobOutcome::Ok) firstFailure_ = result.outcome;
    a.failedHere.insert(work.unitId);
  }
  s_.events.unitEnded(a.text, work.unitId, result, seconds);
  release(work.address, now + std::chrono::milliseconds(s_.askEveryMs));
}

}  // namespace uvq::fleet
