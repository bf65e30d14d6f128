// SPDX-License-Identifier: Apache-2.0
#include "StationRunner.h"

#include <arpa/inet.h>

#include <cstdio>

#include "SessionOutput.h"
#include "StatusText.h"
#include "protocol/StatusFlags.h"
#include "recording/StationFacts.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

using recording::NowUtcMillis;

std::string AddressText(uint32_t address) {
  in_addr raw{};
  raw.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &raw, text, sizeof text);
  return text;
}

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

}  // namespace

StationRunner::StationRunner(Setup setup) : s_(std::move(setup)) {
  const auto [first, last] = s_.range;
  addresses_.reserve(last - first + 1);
  const TimePoint now = SteadyClock::now();
  for (uint64_t a = first; a <= last; ++a) {
    Address address;
    address.address = static_cast<uint32_t>(a);
    address.text = AddressText(address.address);
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
  if (due_.empty() || (pool_ && pool_->inFlight() == pool_->capacity())) return std::nullopt;
  return due_.top().at;
}

void StationRunner::tick(TimePoint) {}

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
  SessionPlan plan = s_.plan;
  plan.operation = Operation::Locate;
  plan.unitId.reset();
  plan.findAttempts = 1;
  auto work = std::make_unique<Work>();
  work->address = address;
  work->startedAt = now;
  work->session = std::make_unique<Session>(
      TargetAt(a.address, a.text), JobPlanOf(plan, jobs::Image{}), s_.sessionEvents, s_.ports);
  Session* session = work->session.get();
  flying_.emplace(session, std::move(work));
  return session;
}

Session* StationRunner::startProgram(size_t address, std::string unitId, TimePoint now) {
  const Address& a = addresses_[address];
  SessionPlan plan = s_.plan;
  plan.operation = Operation::Program;
  plan.unitId = unitId;
  plan.findAttempts = 2;  // it answered a moment ago; gone by now: the next locate says so
  auto work = std::make_unique<Work>();
  work->address = address;
  work->unitId = std::move(unitId);
  work->startedAt = now;
  work->session = std::make_unique<Session>(TargetAt(a.address, a.text), JobPlanOf(plan, s_.image),
                                            s_.sessionEvents, s_.ports);
  beginRow(*work);
  if (s_.output.json()) {
    JsonLine fields;
    fields.field("unit", work->unitId);
    s_.output.event(a.text, "unit_started", fields);
  }
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

void StationRunner::located(Work& work, TimePoint now) {
  Address& a = addresses_[work.address];
  const SessionResult& result = work.session->result();
  const TimePoint dueAt = work.startedAt + std::chrono::milliseconds(s_.askEveryMs);
  if (CodeOf(result) == ExitCode::Interrupted || CodeOf(result) == ExitCode::Terminated)
    return release(work.address, dueAt);
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
        const std::string line = a.text + " unit " + id + ": has this image already";
        if (s_.output.json()) {
          JsonLine fields;
          fields.field("unit", id);
          s_.output.event(a.text, "unit_skipped", fields);
        } else {
          s_.output.text(line + "\n");
        }
      }
      continue;
    }
    if (a.failedHere.contains(id)) continue;
    ++a.busy;
    toProgram_.emplace_back(work.address, id);
  }
  a.present = std::move(present);
  (void)now;
  release(work.address, dueAt);
}

void StationRunner::programmed(Work& work, TimePoint now) {
  Address& a = addresses_[work.address];
  const SessionResult& result = work.session->result();
  const double seconds = SecondsSince(work.startedAt, now);
  completeRow(work, result);
  const StationUnit key{a.address, work.unitId};
  switch (CodeOf(result)) {
    case ExitCode::Ok:
      ++ok_;
      done_.insert(key);
      break;
    case ExitCode::Interrupted:
    case ExitCode::Terminated:
      ++interrupted_;
      break;
    default:
      ++failed_;
      if (firstFailure_ == ExitCode::Ok) firstFailure_ = CodeOf(result);
      a.failedHere.insert(work.unitId);
      break;
  }
  unitLine(work, result, seconds);
  release(work.address, now + std::chrono::milliseconds(s_.askEveryMs));
}

// "127.0.9.3 unit 0102: ok in 4.1 s", or the failure with its detail; an event with --json.
void StationRunner::unitLine(const Work& work, const SessionResult& result, double seconds) {
  const std::string& address = addresses_[work.address].text;
  if (s_.output.json()) {
    JsonLine fields;
    fields.field("unit", work.unitId)
        .field("outcome", jobs::OutcomeIdentifier(result.outcome))
        .field("exit_code", ToInt(CodeOf(result)))
        .field("seconds", seconds)
        .field("records", result.records)
        .field("detail", result.detail);
    if (result.finalStatus)
      fields.field("status", HexWord(*result.finalStatus));
    else
      fields.null("status");
    s_.output.event(address, "unit_done", fields);
    return;
  }
  char time[32];
  std::snprintf(time, sizeof time, seconds < 10 ? "%.2f s" : "%.1f s", seconds);
  std::string line = address + " unit " + work.unitId + ": ";
  if (CodeOf(result) == ExitCode::Ok) {
    line += "ok in " + std::string(time);
  } else if (CodeOf(result) == ExitCode::Interrupted || CodeOf(result) == ExitCode::Terminated) {
    line += "interrupted after " + std::string(time);
    if (!result.detail.empty()) line += ": " + result.detail;
  } else {
    line += "failed (" + std::string(OutcomeText(CodeOf(result))) + ") after " + time;
    if (!result.detail.empty()) line += ": " + result.detail;
    if (result.finalStatus) line += "; status " + StatusInWords(*result.finalStatus);
  }
  s_.output.text(line + "\n");
}

void StationRunner::beginRow(Work& work) {
  if (!s_.history) return;
  history::OperationRow& row = work.row;
  row.startedAt = NowUtcMillis();
  row.station = s_.station;
  row.osUser = recording::OsUser();
  row.frontEnd = "cli";
  row.toolVersion = kVersion;
  row.target = addresses_[work.address].text;
  row.unitId = work.unitId;
  row.operation = "program";
  row.key = history::NewRowKey();
  row.imagePath = s_.image.name;
  row.imageBytes = s_.image.bytes ? static_cast<int64_t>(s_.image.bytes->size()) : 0;
  row.imageSha256 = s_.imageSha256;
  try {
    row.id = s_.history->begin(row);
    if (const auto notice = s_.history->takeSpoolNotice()) historyProblem(*notice);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
}

void StationRunner::completeRow(Work& work, const SessionResult& result) {
  if (!s_.history || work.row.id == 0) return;
  history::OperationRow& row = work.row;
  FillEndedRow(row, result, NowUtcMillis());
  try {
    s_.history->complete(row);
    if (const auto notice = s_.history->takeSpoolNotice()) historyProblem(*notice);
  } catch (const std::exception& error) {
    historyProblem(error.what());
  }
}

// Said once; the station goes on (it still knows within this run what it programmed).
void StationRunner::historyProblem(const std::string& problem) {
  if (historySaid_) return;
  historySaid_ = true;
  s_.output.error("", "history: " + problem);
}

}  // namespace uvq::cli
