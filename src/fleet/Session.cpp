// SPDX-License-Identifier: Apache-2.0
#include "fleet/Session.h"

#include "link/ReceiveError.h"
#include "link/UnusableTarget.h"

namespace uvq::fleet {

namespace {

constexpr const char* kClaimRanOut = "the claim on the unit ran out: nothing more was sent";

jobs::JobPlan Targeted(jobs::JobPlan plan, const std::string& target) {
  plan.target = target;
  return plan;
}

}  // namespace

Session::Session(const ResolvedTarget& target, jobs::JobPlan plan, SessionEvents& events,
                 SharedPorts ports)
    : target_(target.addressText),
      address_(target.address),
      kind_(plan.kind),
      unitId_(plan.unit ? std::optional<std::string>(jobs::IdText(*plan.unit)) : std::nullopt),
      events_(events),
      wantsReplies_(events.wantsReplies()),
      ports_(ports),
      job_(Targeted(std::move(plan), target_),
           jobs::JobPorts{sending_, log_, ports.clock, ports.tone, ports.files}, this) {
  log_.events = &events_;
  log_.target = target_;
  sending_.claimUntil = &claimUntil_;
  if (jobs::ChangesUnit(kind_)) job_.setClaim([this](protocol::UvqId unit) { return claim(unit); });
}

Session::~Session() = default;

int Session::socket() const {
  return link_ && !done_ ? link_->socketHandle() : -1;
}

// Two runs never work on one unit, and a run refused sends nothing: the lock is taken before
// the first datagram (the named unit's, or every unit's at the address) and held until the
// session is gone.
bool Session::lockFirst() {
  if (lock_ || !jobs::ChangesUnit(kind_)) return true;
  locks::LockAttempt attempt = locks::TryLockUnit(target_, unitId_);
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
    locks::LockAttempt attempt = locks::TryLockUnit(target_, jobs::IdText(unit));
    if (!attempt.lock) {
      lockRefused_ = true;
      return attempt.problem;
    }
    lock_.emplace(std::move(*attempt.lock));
  }
  events_.unitChosen(*this, jobs::IdText(unit));
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
  // The loop that reads the shared socket reads the clock once per batch of replies: the
  // record watchdog, restarted on each acknowledgement, counts from that time.
  if (sending_.roundNow) job_.useRoundClock(sending_.roundNow);
  job_.start();
  afterJob();
}

void Session::deliver(std::span<const uint8_t> bytes, uint32_t length) {
  if (done_) return;
  if (claimPassed()) return loseClaim(kClaimRanOut);
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
    return loseClaim(kClaimRanOut);
  job_.receive({buffer_, static_cast<size_t>(length)});
  afterJob();
}

void Session::onTime(TimePoint now) {
  if (done_) return;
  if (claimUntil_ && now >= *claimUntil_) return loseClaim(kClaimRanOut);
  job_.onTime(now);
  afterJob();
}

std::optional<TimePoint> Session::nextDeadline() const {
  std::optional<TimePoint> next = job_.nextDeadline();
  if (claimUntil_ && next && *claimUntil_ < *next) next = claimUntil_;
  return next;
}

void Session::interrupt(StopCause cause) {
  if (cause != StopCause::None) stoppedBy_ = cause;
  job_.interrupt();
}

void Session::replied(const UnitReport& report) {
  if (wantsReplies_) events_.replied(*this, report);
}

void Session::loaderModeReached(protocol::UvqId unit) {
  events_.loaderModeReached(*this, unit);
}

void Session::finished(const jobs::JobResult& job) {
  done_ = true;
  if (link_) link_->close();  // nothing more goes out; a scan frees its descriptors early
  result_.outcome = job.outcome;
  result_.stoppedBy = job.outcome == jobs::JobOutcome::Interrupted ? stoppedBy_ : StopCause::None;
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
  events_.ended(*this);
}

}  // namespace uvq::fleet
