// SPDX-License-Identifier: Apache-2.0
#include "jobs/UnitJob.h"

#include <algorithm>
#include <cstdio>

#include "jobs/StatusText.h"
#include "link/ReceiveError.h"
#include "protocol/AccessCode.h"
#include "protocol/StatusFlags.h"
#include "units/UvqTable.h"

namespace uvq::jobs {

namespace {

// Capture answers without loader mode before the unit is taken to refuse it: a unit that
// wants its access code answers every capture, so waiting out every attempt tells nothing new.
constexpr int kCaptureRefusalsToGiveUp = 3;
// After the automatic reset, how often the unit is asked whether it runs its program.
constexpr int kVerifyIntervalMs = 250;

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

bool IsType(const UnitReport& report, protocol::Command command) {
  return report.type == protocol::Code(command);
}

}  // namespace

UnitJob::UnitJob(JobPlan plan, JobPorts ports, JobObserver* observer)
    : plan_(std::move(plan)), ports_(ports), observer_(observer) {}

UnitJob::~UnitJob() = default;

template <typename Operation>
void UnitJob::drive(Operation&& operation) {
  if (phase_ == Phase::Done) return;
  try {
    operation();
  } catch (const PlatformError& error) {
    // With the image in memory, only the link throws these: the PDU never left.
    finish(JobOutcome::NetworkError, error.what());
  } catch (const std::exception& error) {
    finish(JobOutcome::InternalError, error.what());
  }
}

void UnitJob::start() {
  if (phase_ != Phase::Start) return;
  jobStarted_ = SteadyClock::now();
  phaseStarted_ = jobStarted_;
  if (plan_.searchMs > 0) searchUntil_ = jobStarted_ + std::chrono::milliseconds(plan_.searchMs);
  service_ = std::make_unique<LoaderService>(
      ServicePorts{ports_.link, ports_.log, timer_, ports_.clock, ports_.tone, ports_.files},
      plan_.timing);
  service_->addListener(this);
  service_->setRunOptions({plan_.beep, plan_.autoReset, true});
  drive([&] { service_->startUp(); });
  if (plan_.kind == JobKind::Program) {
    if (!plan_.image.bytes || plan_.image.bytes->empty())
      return finish(JobOutcome::FileError, "no image to program");
    drive([&] { service_->setSourceImage(plan_.image.bytes, plan_.image.name); });
  }
  switch (plan_.kind) {
    case JobKind::Locate:
    case JobKind::Status:
    case JobKind::Scan:
      sendLocate(Phase::Collecting, plan_.waitMs);
      break;
    case JobKind::Reset:
    case JobKind::SetIp:
      sendLocate(Phase::Registering, plan_.waitMs);
      break;
    case JobKind::Capture:
    case JobKind::Program:
    case JobKind::Erase:
      // Who is there first: a unit that powers up late is asked again at the capture pace.
      sendLocate(Phase::Finding, plan_.timing.captureIntervalMs);
      break;
  }
  advance();
}

UnitPhase UnitJob::Shown(Phase phase) {
  switch (phase) {
    case Phase::Start:
    case Phase::Finding:
    case Phase::Registering:
    case Phase::Collecting:
      return UnitPhase::Search;
    case Phase::RebootRequest:
    case Phase::Capturing:
      return UnitPhase::Capture;
    case Phase::Programming:
      return UnitPhase::Program;
    case Phase::AwaitingReset:
    case Phase::Resetting:
    case Phase::SettingIp:
      return UnitPhase::Reset;
    case Phase::Verifying:
      return UnitPhase::Verify;
    case Phase::Erasing:
      return UnitPhase::Erase;
    case Phase::Done:
      return UnitPhase::Done;
  }
  return UnitPhase::Done;
}

void UnitJob::enter(Phase phase) {
  if (Shown(phase) != Shown(phase_)) phaseStarted_ = SteadyClock::now();
  phase_ = phase;
}

PhaseView UnitJob::phaseView() const {
  PhaseView view;
  view.phase = Shown(phase_);
  if (view.phase == UnitPhase::Program) {
    view.done = figures_.acknowledged;
    view.total = figures_.total;
  }
  view.phaseStarted = phaseStarted_;
  view.jobStarted = jobStarted_;
  return view;
}

bool UnitJob::searching() const {
  return phase_ == Phase::Finding || phase_ == Phase::RebootRequest || phase_ == Phase::Capturing;
}

std::string UnitJob::searchEndedText() const {
  char bound[32];
  std::snprintf(bound, sizeof bound, plan_.searchMs % 1000 ? "%.1f s" : "%.0f s",
                plan_.searchMs / 1000.0);
  if (phase_ == Phase::Finding)
    return notFoundText() + "; searched for " + bound + ", the search time";
  return unitName() + " answered but did not enter loader mode within the search time of " + bound;
}

void UnitJob::sendLocate(Phase phase, int waitMs) {
  if (phase_ == Phase::Done) return;
  enter(phase);
  answers_ = 0;
  ++locatesSent_;
  drive([&] { service_->locate(); });
  waitFor(waitMs);
}

void UnitJob::waitFor(int milliseconds) {
  if (phase_ == Phase::Done) return;
  waitUntil_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool UnitJob::wantedFound() const {
  return plan_.unit && service_->registry().selector().indexOf(IdText(*plan_.unit)) >= 0;
}

// The --id unit answered, but seventeen others were registered before it.
bool UnitJob::tableFullWithoutWanted() const {
  return plan_.unit && wantedAnswered_ && !wantedFound() &&
         service_->registry().selector().count() >= units::kUvqTableCapacity;
}

std::string UnitJob::unitName() const {
  if (chosen_) return "unit " + IdText(*chosen_);
  if (plan_.unit) return "unit " + IdText(*plan_.unit);
  return "the unit";
}

std::string UnitJob::notFoundText() const {
  const std::string attempts =
      locatesSent_ > 1 ? " (" + std::to_string(locatesSent_) + " attempts)" : std::string();
  if (tableFullWithoutWanted())
    return "unit " + IdText(*plan_.unit) + " answered, but the unit table is full (" +
           std::to_string(units::kUvqTableCapacity) + " units behind " + plan_.target +
           " answered first); fewer units behind one address";
  const std::string check = "; check that the unit is powered and connected, that " + plan_.target +
                            " is its address and that no firewall drops UDP port " +
                            std::to_string(protocol::kUnitPort);
  if (plan_.unit) {
    const units::Selector& selector = service_->registry().selector();
    const std::string unit = "unit " + IdText(*plan_.unit) + " did not answer";
    if (selector.count() > 0)
      return unit + " (units that answered: " + Joined(selector.items()) + ")";
    return unit + " at " + plan_.target + attempts + check;
  }
  return "no unit answered at " + plan_.target + attempts + check;
}

void UnitJob::advance() {
  switch (phase_) {
    case Phase::Start:
    case Phase::Collecting:
    case Phase::Done:
      return;
    case Phase::Finding:
    case Phase::Registering:
      // With an ID, the unit is chosen as soon as it answers; without, when the answer time ends.
      if (wantedFound()) choose();
      return;
    case Phase::RebootRequest:
      if (replySeen_) startCapture();
      return;
    case Phase::Capturing:
      if (captureEnd_ == CaptureEnd::TimedOut)
        return finish(JobOutcome::NoAnswer, unitName() + " did not answer capture (" +
                                                std::to_string(plan_.timing.captureAttempts) +
                                                " attempts)");
      if (captureRefusals_ >= kCaptureRefusalsToGiveUp) {
        drive([&] { service_->stopCapture(); });
        return finish(JobOutcome::UnitError,
                      unitName() + " answers but does not enter loader mode (status " +
                          StatusInWords(refusalStatus_) + "): " +
                          (plan_.accessCode ? "the access code was not accepted (--access-code)"
                                            : "it may need its access code (--access-code)"));
      }
      if (captureEnd_ == CaptureEnd::InLoaderMode && service_->loaderMode() &&
          service_->registry().selectedUnit() == chosen_)
        return afterCapture();
      return;
    case Phase::Programming:
      if (notStarted_)
        return finish(JobOutcome::FileError,
                      "cannot read image " + plan_.image.name + ": " + notStarted_->detail);
      if (run_) afterRun();
      return;
    case Phase::AwaitingReset:
      if (resetEnd_) concludeRun();
      return;
    case Phase::Verifying:
      if (verifyStatus_ && protocol::RunsValidProgram(*verifyStatus_)) finish(JobOutcome::Ok);
      return;
    case Phase::Erasing:
      if (notStarted_) return finish(JobOutcome::InternalError, "erase was not started");
      if (!eraseEnd_) return;
      switch (*eraseEnd_) {
        case EraseEnd::Done:
          return finish(JobOutcome::Ok);
        case EraseEnd::Refused:
          return finish(JobOutcome::UnitError, "unit not in loader mode, nothing erased");
        case EraseEnd::NoAnswer:
          return finish(JobOutcome::NoAnswer, "no response to erase");
      }
      return;
    case Phase::Resetting:
      if (!resetEnd_) return;
      // A unit with a half-written image refuses the reset and stays in loader mode.
      if (*resetEnd_ == ResetEnd::Refused)
        return finish(JobOutcome::UnitError,
                      "reset refused, status " + StatusInWords(resetStatus_));
      return finish(JobOutcome::Ok);
    case Phase::SettingIp:
      if (!addressAccepted_) return;
      if (*addressAccepted_) return finish(JobOutcome::Ok);
      return finish(JobOutcome::UnitError, "unit kept address " + IpText(reportedIp_) +
                                               ", status " + HexWord(addressStatus_));
  }
}

// The locate's answer time ended without the --id unit (or with any number of units when no ID
// was given): choose, ask again, or give up.
void UnitJob::answerTimeEnded() {
  const units::Selector& selector = service_->registry().selector();
  const bool anyone = !plan_.unit && selector.count() > 0;
  if (anyone) return choose();
  if (tableFullWithoutWanted()) return finish(JobOutcome::Refused, notFoundText());
  // Asked again only while nobody answers: a unit that powers up late.
  if (phase_ == Phase::Finding && selector.count() == 0 &&
      locatesSent_ < (plan_.findAttempts > 0 ? plan_.findAttempts : plan_.timing.captureAttempts))
    return sendLocate(Phase::Finding, plan_.timing.captureIntervalMs);
  finish(JobOutcome::NoAnswer, notFoundText());
}

// Takes the unit named by ID, or the only one that answered; claims it; then captures it (or
// resets it, or gives it its address).
void UnitJob::choose() {
  waitUntil_.reset();
  const units::Selector& selector = service_->registry().selector();
  if (plan_.unit) {
    chosen_ = plan_.unit;
  } else if (selector.count() > 1) {
    return finish(JobOutcome::Refused, "several units answer at " + plan_.target + " (" +
                                           Joined(selector.items()) + "): choose one with --id");
  } else {
    chosen_ = service_->registry().selectedUnit();
    if (!chosen_) return finish(JobOutcome::InternalError, "the unit that answered was lost");
  }
  result_.unit = chosen_;
  if (plan_.claim) {
    if (const std::optional<std::string> refusal = plan_.claim(*chosen_))
      return finish(JobOutcome::Refused, *refusal);
  }
  service_->setCaptureUnit(chosen_);
  drive([&] { service_->selectUnit(*chosen_); });
  if (phase_ == Phase::Done) return;
  if (phase_ == Phase::Registering) return afterSelect();
  if (plan_.accessCode) {
    enter(Phase::RebootRequest);
    replySeen_ = false;
    ports_.log.addLogLine("Live reboot request sent with the access code");
    drive([&] { service_->liveReboot(protocol::AccessCode(*plan_.accessCode)); });
    waitFor(plan_.timing.captureIntervalMs);
    return;
  }
  startCapture();
}

void UnitJob::startCapture() {
  waitUntil_.reset();
  enter(Phase::Capturing);
  captureEnd_.reset();
  captureRefusals_ = 0;
  drive([&] { service_->capture(); });
  advance();
}

void UnitJob::afterCapture() {
  waitUntil_.reset();
  if (observer_) observer_->loaderModeReached(*chosen_);
  notStarted_.reset();
  switch (plan_.kind) {
    case JobKind::Program:
      enter(Phase::Programming);
      run_.reset();
      drive([&] { service_->program(); });
      return advance();
    case JobKind::Erase:
      enter(Phase::Erasing);
      eraseEnd_.reset();
      drive([&] { service_->erase(plan_.eraseKind); });
      return advance();
    default:
      return finish(JobOutcome::Ok);
  }
}

void UnitJob::afterSelect() {
  waitUntil_.reset();
  switch (plan_.kind) {
    case JobKind::Reset:
      enter(Phase::Resetting);
      resetEnd_.reset();
      drive([&] { service_->reset(); });
      waitFor(plan_.waitMs);
      return;
    case JobKind::SetIp:
      if (!plan_.newAddress) return finish(JobOutcome::Refused, "no new address given");
      enter(Phase::SettingIp);
      addressAccepted_.reset();
      drive([&] { service_->setUnitAddress(plan_.newAddress); });
      waitFor(plan_.waitMs);
      return;
    default:
      return finish(JobOutcome::Ok);
  }
}

std::string UnitJob::recordsText() const {
  return std::to_string(figures_.acknowledged) + " of " + std::to_string(figures_.total) +
         " records written";
}

// The run has ended. The service has already sent the automatic reset after a completed run.
void UnitJob::afterRun() {
  result_.resends = run_->resends;
  result_.refusedRecords = run_->refusedRecords;
  switch (run_->end) {
    case RunEnd::Complete:
      if (plan_.autoReset) {
        enter(Phase::AwaitingReset);
        resetEnd_.reset();
        waitFor(plan_.waitMs);
        return;
      }
      return concludeRun();
    case RunEnd::NotInLoaderMode:
      return finish(JobOutcome::UnitError, "unit not in loader mode, programming aborted after " +
                                               recordsText() + "; " + std::string(kRunAgainAdvice));
    case RunEnd::RecordError:
      return finish(JobOutcome::UnitError, "unit reported a record error, programming aborted: " +
                                               StatusInWords(run_->status));
    case RunEnd::CommsTimeout:
      return finish(JobOutcome::NoAnswer,
                    "comms timeout while programming: " + recordsText() + ", " + unitName() +
                        " stopped answering and is left in loader mode without a valid " +
                        "program; check its power and link, then " + std::string(kRunAgainAdvice));
    case RunEnd::FileError:
      return finish(JobOutcome::FileError,
                    "image could not be read during the run: " + run_->detail);
    case RunEnd::LinkError:
      return finish(JobOutcome::NetworkError, run_->detail);
    case RunEnd::Stopped:  // only the window captures during a run
      return finish(JobOutcome::InternalError, "programming stopped by a capture");
  }
}

std::string UnitJob::notFinishedText() const {
  std::string text = unitName() +
                     " never reported the file finished on its last record (the image may lack "
                     "its end record)";
  if (resetEnd_) return text + "; after the reset it reports " + StatusInWords(resetStatus_);
  return text + "; it stays in loader mode without a valid program";
}

// Every record was acknowledged; whether the unit holds a program it can run is decided here.
// The last record's acknowledgement counts: "file finished" on a middle record proves nothing.
void UnitJob::concludeRun() {
  if (!run_->fileFinished) return finish(JobOutcome::UnitError, notFinishedText());
  if (resetEnd_ == ResetEnd::Refused)
    return finish(JobOutcome::UnitError, unitName() + " refused the reset after programming: " +
                                             StatusInWords(resetStatus_));
  if (plan_.strict && run_->refusedRecords > 0)
    return finish(JobOutcome::UnitError,
                  std::to_string(run_->refusedRecords) + " records refused by the unit (--strict)");
  if (plan_.autoReset && plan_.verify) {
    verifyStatus_.reset();
    verifyUntil_ = SteadyClock::now() + std::chrono::milliseconds(plan_.verifyMs);
    return sendLocate(Phase::Verifying, kVerifyIntervalMs);
  }
  finish(JobOutcome::Ok);
}

void UnitJob::receive(std::span<const uint8_t> datagram) {
  if (phase_ == Phase::Done || phase_ == Phase::Start) return;
  try {
    service_->handleDatagram(datagram);
  } catch (const PlatformError& error) {
    // The service's next PDU never left, so no answer and no watchdog will follow.
    ports_.log.addLogLine(link::ReplyHandlingLogLine(error.what()));
    return finish(JobOutcome::NetworkError, error.what());
  } catch (const std::exception& error) {
    ports_.log.addLogLine(link::ReplyHandlingLogLine(error.what()));
  }
  advance();
}

void UnitJob::onTime(TimePoint now) {
  if (phase_ == Phase::Done || phase_ == Phase::Start) return;
  if (searchUntil_ && now >= *searchUntil_ && searching()) {
    if (phase_ == Phase::Capturing) drive([&] { service_->stopCapture(); });
    return finish(JobOutcome::NoAnswer, searchEndedText());
  }
  if (const std::optional<TimerRole> role = timer_.takeDue(now)) {
    drive([&] { service_->timerTick(*role); });
    advance();
  }
  if (phase_ == Phase::Done || !waitUntil_ || now < *waitUntil_) return;
  waitUntil_.reset();
  switch (phase_) {
    case Phase::Finding:
    case Phase::Registering:
      return answerTimeEnded();
    case Phase::RebootRequest:
      return startCapture();
    case Phase::Collecting:
      if (answers_ > 0 && (!plan_.unit || wantedFound())) return finish(JobOutcome::Ok);
      if (tableFullWithoutWanted()) return finish(JobOutcome::Refused, notFoundText());
      return finish(JobOutcome::NoAnswer, notFoundText());
    case Phase::AwaitingReset:
      if (!run_->fileFinished) return finish(JobOutcome::UnitError, notFinishedText());
      return finish(JobOutcome::NoAnswer, "no answer to the reset after programming");
    case Phase::Verifying:
      if (now < verifyUntil_) return sendLocate(Phase::Verifying, kVerifyIntervalMs);
      if (verifyStatus_)
        return finish(JobOutcome::UnitError, "after the reset " + unitName() + " still reports " +
                                                 StatusInWords(*verifyStatus_));
      return finish(JobOutcome::NoAnswer, unitName() + " did not answer after the reset");
    case Phase::Resetting:
      return finish(JobOutcome::NoAnswer, "no answer to reset");
    case Phase::SettingIp:
      return finish(JobOutcome::NoAnswer, "no answer to set-ip");
    default:
      return;
  }
}

std::optional<TimePoint> UnitJob::nextDeadline() const {
  if (phase_ == Phase::Done) return std::nullopt;
  std::optional<TimePoint> next = timer_.deadline();
  if (waitUntil_ && (!next || *waitUntil_ < *next)) next = waitUntil_;
  if (searchUntil_ && searching() && (!next || *searchUntil_ < *next)) next = searchUntil_;
  return next;
}

void UnitJob::endIfStalled() {
  if (phase_ != Phase::Done && phase_ != Phase::Start && !nextDeadline())
    finish(JobOutcome::InternalError, "the operation stopped without an outcome");
}

std::string UnitJob::interruptedText() const {
  const std::string unit = unitName();
  switch (phase_) {
    case Phase::Programming:
      return "interrupted after " + std::to_string(figures_.acknowledged) + " of " +
             std::to_string(figures_.total) + " records: " + unit + " left in loader mode; " +
             std::string(kRunAgainAdvice);
    case Phase::RebootRequest:
    case Phase::Capturing:
      return "interrupted while capturing: " + unit + " may be left in loader mode";
    case Phase::AwaitingReset:
    case Phase::Verifying:
      return "interrupted after programming, before " + unit +
             " confirmed it left loader mode; check it with status";
    case Phase::Erasing:
      return "interrupted while erasing: " + unit +
             " is in loader mode and may be partly erased; erase again";
    case Phase::Resetting:
      return "interrupted before " + unit + " answered the reset";
    case Phase::SettingIp:
      return "interrupted before " + unit + " answered the new address";
    default:
      return ChangesUnit(plan_.kind) ? "interrupted before anything was changed" : "interrupted";
  }
}

void UnitJob::interrupt() {
  if (phase_ == Phase::Done) return;
  finish(JobOutcome::Interrupted, interruptedText());
}

void UnitJob::fail(JobOutcome outcome, const std::string& detail) {
  finish(outcome, detail);
}

void UnitJob::unitReported(const UnitReport& report) {
  ++answers_;
  replySeen_ = true;
  if (plan_.unit && report.id == *plan_.unit) wantedAnswered_ = true;
  if (chosen_ && report.id == *chosen_) {
    result_.lastStatus = report.status;
    result_.lastAddress = report.ip;
    if (phase_ == Phase::Verifying && IsType(report, protocol::Command::Locate))
      verifyStatus_ = report.status;
  }
  if (phase_ == Phase::Collecting && IsType(report, protocol::Command::Locate)) {
    auto seen = std::find_if(result_.units.begin(), result_.units.end(),
                             [&](const UnitSeen& u) { return u.id == report.id; });
    if (seen == result_.units.end()) seen = result_.units.insert(result_.units.end(), {report.id});
    seen->ip = report.ip;
    seen->status = report.status;
  }
  // Record acknowledgements are summed up by the figures, never one call each.
  if (observer_ && !IsType(report, protocol::Command::ProgramRecord)) observer_->replied(report);
}

void UnitJob::operationNotStarted(const NotStarted& why) {
  if (why.operation == ServiceOperation::Capture &&
      why.reason == NotStartedReason::NotInLoaderMode) {
    if (phase_ != Phase::Capturing) return;
    ++captureRefusals_;
    refusalStatus_ = why.status;
    return;
  }
  notStarted_ = why;
}

void UnitJob::captureEnded(CaptureEnd end) {
  if (phase_ == Phase::Capturing) captureEnd_ = end;
}

void UnitJob::runStarted(int32_t recordCount) {
  figures_.running = true;
  figures_.acknowledged = 0;
  figures_.total = static_cast<uint64_t>(std::max(recordCount, 0));
  figures_.started = SteadyClock::now();
}

void UnitJob::runProgress(uint64_t /*pdusSent*/, int32_t /*recordCount*/, uint64_t acknowledged) {
  figures_.acknowledged = acknowledged;
  if (observer_) observer_->progress(figures_);
}

void UnitJob::runEnded(const RunResult& result) {
  run_ = result;
  figures_.running = false;
  figures_.acknowledged = result.acknowledged;
  result_.seconds = std::chrono::duration<double>(SteadyClock::now() - figures_.started).count();
}

void UnitJob::eraseEnded(EraseKind /*kind*/, EraseEnd end, uint16_t /*status*/) {
  eraseEnd_ = end;
}

void UnitJob::resetEnded(ResetEnd end, uint16_t status) {
  resetEnd_ = end;
  resetStatus_ = status;
}

void UnitJob::addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) {
  addressAccepted_ = accepted;
  reportedIp_ = reported;
  addressStatus_ = status;
}

void UnitJob::finish(JobOutcome outcome, const std::string& detail) {
  if (phase_ == Phase::Done) return;
  const bool wasRunning = figures_.running;
  enter(Phase::Done);
  timer_.disable();
  waitUntil_.reset();
  if (wasRunning) {
    // Stopped mid-run: what the unit acknowledged so far counts.
    figures_.running = false;
    result_.seconds = std::chrono::duration<double>(SteadyClock::now() - figures_.started).count();
  }
  result_.outcome = outcome;
  result_.recordsAcknowledged = figures_.acknowledged;
  result_.recordsTotal = figures_.total;
  // Platform texts may span lines; a result stays on one.
  result_.detail.clear();
  for (char c : detail) {
    if (c == '\n')
      result_.detail += ": ";
    else if (c != '\r')
      result_.detail += c;
  }
  std::sort(result_.units.begin(), result_.units.end(),
            [](const UnitSeen& a, const UnitSeen& b) { return a.id.value() < b.id.value(); });
  if (!ChangesUnit(plan_.kind)) {
    // Listing several units names none of them as the one worked on.
    const auto named =
        std::find_if(result_.units.begin(), result_.units.end(), [&](const UnitSeen& u) {
          return plan_.unit ? u.id == *plan_.unit : result_.units.size() == 1;
        });
    if (named != result_.units.end()) {
      result_.unit = named->id;
      result_.lastStatus = named->status;
      result_.lastAddress = named->ip;
    }
  }
  if (observer_) observer_->finished(result_);
}

}  // namespace uvq::jobs
