// SPDX-License-Identifier: Apache-2.0
#include "Session.h"

#include "StatusText.h"
#include "link/ReceiveError.h"
#include "link/UnusableTarget.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

jobs::JobKind KindOf(Operation operation) {
  switch (operation) {
    case Operation::Locate:
      return jobs::JobKind::Locate;
    case Operation::Status:
      return jobs::JobKind::Status;
    case Operation::Scan:
      return jobs::JobKind::Scan;
    case Operation::Capture:
      return jobs::JobKind::Capture;
    case Operation::Program:
      return jobs::JobKind::Program;
    case Operation::Erase:
      return jobs::JobKind::Erase;
    case Operation::Reset:
      return jobs::JobKind::Reset;
    case Operation::SetIp:
      return jobs::JobKind::SetIp;
  }
  return jobs::JobKind::Locate;
}

protocol::UvqId IdFromText(const std::string& text) {
  const auto value = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

// The plan's options as one unit job.
jobs::JobPlan JobPlanOf(const SessionPlan& plan, const std::string& target,
                        const jobs::Image& image) {
  jobs::JobPlan job;
  job.kind = KindOf(plan.operation);
  job.target = target;
  if (plan.unitId) job.unit = IdFromText(*plan.unitId);
  job.eraseKind = plan.eraseKind;
  if (plan.operation == Operation::Program) job.image = image;
  if (plan.operation == Operation::SetIp)
    job.newAddress = protocol::ParseUnitIpAddress(plan.newAddress);
  job.accessCode = plan.accessCode;
  job.waitMs = plan.waitMs;
  job.autoReset = plan.autoReset;
  job.beep = plan.beep;
  job.strict = plan.strict;
  job.verify = plan.verify;
  job.timing = plan.timing;
  job.findAttempts = plan.findAttempts;
  return job;
}

}  // namespace

Session::Session(const ResolvedTarget& target, const SessionPlan& plan, const jobs::Image& image,
                 Output& output, SharedPorts ports)
    : target_(target.addressText),
      address_(target.address),
      operation_(plan.operation),
      output_(output),
      ports_(ports),
      log_(output, target_),
      job_(JobPlanOf(plan, target_, image),
           jobs::JobPorts{sending_, log_, ports.clock, ports.tone, ports.files}, this),
      unitId_(plan.unitId) {
  sending_.claimUntil = &claimUntil_;
  if (ChangesUnit(plan.operation))
    job_.setClaim([this](protocol::UvqId unit) { return claim(unit); });
}

Session::~Session() = default;

int Session::socket() const {
  return link_ && !done_ ? link_->socketHandle() : -1;
}

// Two runs never work on one unit, and a run refused sends nothing: the lock is taken before
// the first datagram (the named unit's, or every unit's at the address) and held until the
// program exits.
bool Session::lockFirst() {
  if (lock_ || !ChangesUnit(operation_)) return true;
  LockAttempt attempt = TryLockUnit(target_, unitId_);
  if (!attempt.lock) {
    lockRefused_ = true;
    job_.fail(jobs::JobOutcome::Refused, attempt.problem);
    return false;
  }
  lock_.emplace(std::move(*attempt.lock));
  return true;
}

// The unit is chosen: locked already (its own lock or its address's), else locked now.
std::optional<std::string> Session::claim(protocol::UvqId unit) {
  if (!lock_) {
    LockAttempt attempt = TryLockUnit(target_, jobs::IdText(unit));
    if (!attempt.lock) {
      lockRefused_ = true;
      return attempt.problem;
    }
    lock_.emplace(std::move(*attempt.lock));
  }
  if (onChosen_) onChosen_(*this, jobs::IdText(unit));
  return std::nullopt;
}

void Session::loseClaim(const std::string& why) {
  if (!done_) job_.fail(jobs::JobOutcome::ClaimLost, why);
}

void Session::afterJob() {
  if (sending_.heldBack && !done_)
    loseClaim("the claim on the unit ran out before the next datagram: nothing more was sent");
}

void Session::start() {
  if (job_.started() || done_) return;
  if (!lockFirst()) return;
  try {
    link_ = std::make_unique<link::UdpLink>(link::ConnectedTarget{address_, protocol::kUnitPort});
  } catch (const PlatformError& error) {
    return job_.fail(jobs::JobOutcome::NetworkError, error.what());
  }
  sending_.to = link_.get();
  job_.start();
  afterJob();
}

void Session::startShared(link::SharedSocket& shared, uint64_t tag) {
  if (job_.started() || done_) return;
  if (!lockFirst()) return;
  if (const auto reason = link::UnusableTargetReason(address_))
    return job_.fail(jobs::JobOutcome::NetworkError, *reason);
  sending_.shared = &shared;
  sending_.address = address_;
  sending_.tag = tag;
  job_.start();
  afterJob();
}

void Session::deliver(std::span<const uint8_t> bytes, uint32_t length) {
  if (done_) return;
  if (claimPassed()) return loseClaim("the claim on the unit ran out: nothing more was sent");
  if (length == 0) {
    log_.addLogLine(link::ReceiveFailureLogLine(
        link::ReceiveError(link::ReceiveFailure::EmptyDatagram, "UDP Receive Error = 0.")));
    return;
  }
  if (length > bytes.size()) {
    log_.addLogLine(link::ReceiveFailureLogLine(
        link::ReceiveError(link::ReceiveFailure::OversizedDatagram,
                           "Message too long (" + std::to_string(length) + " bytes)")));
    return;
  }
  job_.receive(bytes.first(length));
  afterJob();
}

void Session::sendFailed(const std::string& why) {
  if (!done_) job_.fail(jobs::JobOutcome::NetworkError, why);
}

void Session::receive(int waitMs) {
  if (done_ || !link_) return;
  int length = 0;
  try {
    length = link_->receiveDatagram(buffer_, static_cast<int>(sizeof buffer_), waitMs);
  } catch (const link::ReceiveError& error) {
    log_.addLogLine(link::ReceiveFailureLogLine(error));  // and keep listening
    return;
  }
  if (length <= 0) return;
  // A wait of its own may have lasted past the claim (a station stopped and woken): the clock
  // is read once here, as the run loop reads it once per round.
  if (claimUntil_ && (waitMs > 0 ? SteadyClock::now() >= *claimUntil_ : claimPassed()))
    return loseClaim("the claim on the unit ran out: nothing more was sent");
  job_.receive({buffer_, static_cast<size_t>(length)});
  afterJob();
}

void Session::onTime(TimePoint now) {
  if (done_) return;
  if (claimUntil_ && now >= *claimUntil_)
    return loseClaim("the claim on the unit ran out: nothing more was sent");
  job_.onTime(now);
  afterJob();
}

std::optional<TimePoint> Session::nextDeadline() const {
  std::optional<TimePoint> next = job_.nextDeadline();
  if (claimUntil_ && next && *claimUntil_ < *next) next = claimUntil_;
  return next;
}

void Session::interrupt(ExitCode code) {
  interruptedBy_ = code;
  job_.interrupt();
}

void Session::replied(const UnitReport& report) {
  if (!output_.json()) return;
  JsonLine fields;
  fields.field("type", int{report.type})
      .field("unit", jobs::IdText(report.id))
      .field("ip", jobs::IpText(report.ip))
      .field("status", HexWord(report.status))
      .field("seq", int{report.sequence})
      .field("data_seq", int{report.dataSequence});
  output_.event(target_, "reply", fields);
}

void Session::loaderModeReached(protocol::UvqId unit) {
  JsonLine fields;
  fields.field("unit", jobs::IdText(unit));
  output_.event(target_, "loader_mode", fields);
}

void Session::finished(const jobs::JobResult& job) {
  done_ = true;
  if (link_) link_->close();  // nothing more goes out; a scan frees its descriptors early
  const ExitCode code = ExitCodeOf(job.outcome, interruptedBy_);
  result_.outcome = job.outcome;
  result_.code = code;
  result_.detail = job.detail;
  result_.unit = job.unit ? jobs::IdText(*job.unit) : std::string();
  result_.records = static_cast<int64_t>(job.recordsAcknowledged);
  result_.seconds = job.seconds;
  result_.resends = job.resends;
  result_.refusedRecords = job.refusedRecords;
  result_.finalStatus = job.lastStatus;
  result_.reportedAddress = job.lastAddress ? jobs::IpText(*job.lastAddress) : std::string();
  result_.units.clear();
  for (const jobs::UnitSeen& unit : job.units)
    result_.units.push_back({jobs::IdText(unit.id), jobs::IpText(unit.ip), unit.status});

  // An address without units is no failure of a scan, only an empty answer.
  const bool quietMiss = operation_ == Operation::Scan && result_.units.empty();
  if (code != ExitCode::Ok && !quietMiss) output_.error(target_, result_.detail);
  for (const UnitSeen& unit : result_.units) {
    JsonLine fields;
    fields.field("unit", unit.id)
        .field("ip", unit.ip)
        .field("status", HexWord(unit.status))
        .field("valid_program", protocol::RunsValidProgram(unit.status));
    output_.event(target_, "unit", fields);
  }
  if (quietMiss) return;
  // Results come last: the progress display has its last word on this target first.
  if (beforeResult_) beforeResult_(*this);
  JsonLine fields;
  fields.field("outcome", jobs::OutcomeIdentifier(job.outcome))
      .field("exit_code", ToInt(code))
      .field("version", kVersion);
  // A unit that never answered is no unit: null, not "".
  if (result_.unit.empty())
    fields.null("unit");
  else
    fields.field("unit", result_.unit);
  fields.field("records", result_.records)
      .field("refused_records", static_cast<int64_t>(result_.refusedRecords))
      .field("resends", static_cast<int64_t>(result_.resends))
      .field("seconds", result_.seconds)
      .field("records_per_second",
             result_.seconds > 0 ? static_cast<double>(result_.records) / result_.seconds : 0.0)
      .field("detail", result_.detail);
  output_.event(target_, "result", fields);
}

}  // namespace uvq::cli
