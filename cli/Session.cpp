#include "Session.h"

#include <algorithm>
#include <cstdio>

#include "StatusText.h"
#include "link/ReceiveError.h"
#include "protocol/AccessCode.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "units/UvqTable.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

// Capture answers without loader mode before the unit is taken to refuse it: a unit that
// wants its access code answers every capture, so waiting out every attempt tells nothing new.
constexpr int kCaptureRefusalsToGiveUp = 3;
// After the automatic reset, how long the unit may take to come back out of loader mode, and
// how often it is asked meanwhile.
constexpr int kVerifyMs = 10000;
constexpr int kVerifyIntervalMs = 250;

std::string IpString(const protocol::Ipv4Bytes& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

protocol::UvqId IdFromText(const std::string& text) {
  const auto value = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

}  // namespace

Session::Session(const ResolvedTarget& target, const SessionPlan& plan, Output& output,
                 SharedPorts ports)
    : target_(target.addressText),
      address_(target.address),
      plan_(plan),
      output_(output),
      ports_(ports),
      log_(output, target_) {}

Session::~Session() = default;

int Session::socket() const {
  return socket_ && phase_ != Phase::Done ? socket_->handle() : -1;
}

template <typename Operation>
void Session::drive(Operation&& operation) {
  if (phase_ == Phase::Done) return;
  try {
    operation();
  } catch (const PlatformError& error) {
    // Besides the link only the image file throws these.
    finish(socket_->failed() ? ExitCode::Network : ExitCode::File, error.what());
  } catch (const std::exception& error) {
    finish(ExitCode::Internal, error.what());
  }
}

void Session::start() {
  if (phase_ != Phase::Start) return;
  try {
    socket_ = std::make_unique<TargetSocket>(address_, protocol::kUnitPort);
  } catch (const PlatformError& error) {
    return finish(ExitCode::Network, error.what());
  }
  service_ = std::make_unique<LoaderService>(
      ServicePorts{*socket_, log_, timer_, ports_.clock, ports_.tone, ports_.files}, plan_.timing);
  service_->addListener(this);
  service_->setRunOptions({plan_.beep, plan_.autoReset, true});
  drive([&] { service_->startUp(); });
  switch (plan_.operation) {
    case Operation::Locate:
    case Operation::Status:
    case Operation::Scan:
      sendLocate(Phase::Collecting, plan_.waitMs);
      break;
    case Operation::Reset:
    case Operation::SetIp:
      sendLocate(Phase::Registering, plan_.waitMs);
      break;
    case Operation::Capture:
    case Operation::Program:
    case Operation::Erase:
      // Who is there first: a unit that powers up late is asked again at the capture pace.
      sendLocate(Phase::Finding, plan_.timing.captureIntervalMs);
      break;
  }
  advance();
}

void Session::sendLocate(Phase phase, int waitMs) {
  if (phase_ == Phase::Done) return;
  phase_ = phase;
  answers_ = 0;
  ++locatesSent_;
  drive([&] { service_->locate(); });
  waitFor(waitMs);
}

void Session::startCapture() {
  waitUntil_.reset();
  phase_ = Phase::Capturing;
  loaderReached_ = false;
  captureTimedOut_ = false;
  captureRefusals_ = 0;
  drive([&] { service_->capture(); });
}

void Session::waitFor(int milliseconds) {
  if (phase_ == Phase::Done) return;
  waitUntil_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool Session::wantedUnitSelected() const {
  const auto selected = service_->registry().selectedUnit();
  if (chosen_) return selected && *selected == *chosen_;
  if (!plan_.unitId) return true;
  return selected && units::IdText(*selected) == *plan_.unitId;
}

// Picks the --id unit in the selector once it has answered, as an operator would. True when
// it is the selected unit (or no particular unit was asked for).
bool Session::selectRequestedUnit() {
  if (!plan_.unitId) return true;
  const units::Selector& selector = service_->registry().selector();
  if (selector.indexOf(*plan_.unitId) < 0) return false;
  if (selector.text() != *plan_.unitId) drive([&] { service_->setSelectorText(*plan_.unitId); });
  return phase_ != Phase::Done && wantedUnitSelected();
}

void Session::noteSelectedUnit() {
  if (!service_ || !result_.unit.empty() || !wantedUnitSelected()) return;
  // Listing several units names none of them as the one worked on.
  if (!ChangesUnit(plan_.operation) && result_.units.size() != 1) return;
  const auto unit = service_->registry().selectedUnit();
  if (unit) result_.unit = units::IdText(*unit);
}

std::string Session::unitName() const {
  if (chosen_) return "unit " + units::IdText(*chosen_);
  if (plan_.unitId) return "unit " + *plan_.unitId;
  return "the unit";
}

void Session::advance() {
  switch (phase_) {
    case Phase::Start:
    case Phase::Collecting:
    case Phase::Settling:
    case Phase::Done:
      return;
    case Phase::Finding:
      if (answers_ > 0) settle(Next::AfterFind);
      return;
    case Phase::RebootRequest:
      if (replySeen_) startCapture();
      return;
    case Phase::Capturing:
      if (captureTimedOut_)
        return finish(ExitCode::NoAnswer, unitName() + " did not answer capture (" +
                                              std::to_string(plan_.timing.captureAttempts) +
                                              " attempts)");
      if (captureRefusals_ >= kCaptureRefusalsToGiveUp) {
        drive([&] { service_->stopCapture(); });
        return finish(ExitCode::UnitError,
                      unitName() + " answers but does not enter loader mode (status " +
                          StatusInWords(lastStatus_) + "): " +
                          (plan_.accessCode ? "the access code was not accepted (--access-code)"
                                            : "it may need its access code (--access-code)"));
      }
      if (loaderReached_ && service_->loaderMode() && wantedUnitSelected()) return afterCapture();
      return;
    case Phase::Registering:
      if (answers_ > 0 && selectRequestedUnit()) settle(Next::AfterSelect);
      return;
    case Phase::Programming:
      if (run_) afterRun();
      return;
    case Phase::AwaitingReset:
      if (resetEnd_) concludeRun();
      return;
    case Phase::Verifying:
      if (verifyStatus_ && protocol::RunsValidProgram(*verifyStatus_)) finish(ExitCode::Ok);
      return;
    case Phase::Erasing:
      if (!eraseEnd_) return;
      switch (*eraseEnd_) {
        case EraseEnd::Done:
          return finish(ExitCode::Ok);
        case EraseEnd::Refused:
          return finish(ExitCode::UnitError, "unit not in loader mode, nothing erased");
        case EraseEnd::NoAnswer:
          return finish(ExitCode::NoAnswer, "no response to erase");
      }
      return;
    case Phase::Resetting:
      if (!resetEnd_) return;
      // A unit with a half-written image refuses the reset and stays in loader mode.
      if (*resetEnd_ == ResetEnd::Refused)
        return finish(ExitCode::UnitError, "reset refused, status " + StatusInWords(resetStatus_));
      return finish(ExitCode::Ok);
    case Phase::SettingIp:
      if (!addressAccepted_) return;
      if (*addressAccepted_) return finish(ExitCode::Ok);
      return finish(ExitCode::UnitError,
                    "unit kept address " + IpString(lastIp_) + ", status " + HexWord(lastStatus_));
  }
}

// Late answers to the same request (several units behind one address) are let in before the
// next PDU goes out: they carry the same number as the first answer and, arriving after the
// next request restarted the count, could be taken for its answer and move the selection.
void Session::settle(Next next) {
  phase_ = Phase::Settling;
  next_ = next;
  waitFor(kSettleMs);
}

void Session::settled() {
  if (next_ == Next::AfterFind) return chooseUnit();
  const units::Selector& selector = service_->registry().selector();
  if (!plan_.unitId && selector.count() > 1)
    return finish(ExitCode::Usage, "several units answer at " + target_ + " (" +
                                       Joined(selector.items()) + "): choose one with --id");
  const std::string wanted = plan_.unitId ? *plan_.unitId : selector.items().front();
  if (selector.text() != wanted) {
    drive([&] { service_->setSelectorText(wanted); });
    if (phase_ == Phase::Done) return;
  }
  afterSelect();
}

// The unit to change is decided before anything changes: a capture reaches only that unit, so
// the others behind the address stay as they are.
void Session::chooseUnit() {
  const units::Selector& selector = service_->registry().selector();
  std::string wanted;
  if (plan_.unitId) {
    if (selector.indexOf(*plan_.unitId) < 0)
      return finish(ExitCode::NoAnswer,
                    "unit " + *plan_.unitId +
                        " did not answer (units that answered: " + Joined(selector.items()) + ")");
    wanted = *plan_.unitId;
  } else if (selector.count() > 1) {
    return finish(ExitCode::Usage, "several units answer at " + target_ + " (" +
                                       Joined(selector.items()) + "): choose one with --id");
  } else {
    wanted = selector.items().front();
  }
  chosen_ = IdFromText(wanted);
  result_.unit = wanted;
  service_->setCaptureUnit(chosen_);
  if (selector.text() != wanted) drive([&] { service_->setSelectorText(wanted); });
  if (phase_ == Phase::Done) return;
  if (plan_.accessCode) {
    phase_ = Phase::RebootRequest;
    replySeen_ = false;
    log_.addLogLine("Live reboot request sent with the access code");
    drive([&] { service_->liveReboot(protocol::AccessCode(*plan_.accessCode)); });
    waitFor(plan_.timing.captureIntervalMs);
    return;
  }
  startCapture();
}

void Session::afterCapture() {
  waitUntil_.reset();
  noteSelectedUnit();
  JsonLine fields;
  fields.field("unit", result_.unit);
  output_.event(target_, "loader_mode", fields);
  switch (plan_.operation) {
    case Operation::Program:
      drive([&] { service_->setSourceFile(plan_.imageFile); });
      if (phase_ == Phase::Done) return;
      phase_ = Phase::Programming;
      run_.reset();
      drive([&] { service_->program(); });
      if (phase_ != Phase::Done && !service_->fileOpen() && !run_)
        finish(ExitCode::File, "cannot read image " + plan_.imageFile);
      return;
    case Operation::Erase:
      phase_ = Phase::Erasing;
      eraseEnd_.reset();
      drive([&] { service_->erase(plan_.eraseKind); });
      if (phase_ != Phase::Done && !timer_.enabled())
        finish(ExitCode::Internal, "erase was not started");
      return;
    default:
      return finish(ExitCode::Ok);
  }
}

void Session::afterSelect() {
  noteSelectedUnit();
  waitUntil_.reset();
  switch (plan_.operation) {
    case Operation::Reset:
      phase_ = Phase::Resetting;
      resetEnd_.reset();
      drive([&] { service_->reset(); });
      waitFor(plan_.waitMs);
      return;
    case Operation::SetIp: {
      const auto address = protocol::ParseUnitIpAddress(plan_.newAddress);
      if (!address) return finish(ExitCode::Usage, "invalid address '" + plan_.newAddress + "'");
      phase_ = Phase::SettingIp;
      addressAccepted_.reset();
      drive([&] { service_->setUnitAddress(address); });
      waitFor(plan_.waitMs);
      return;
    }
    default:
      return finish(ExitCode::Ok);
  }
}

// The run has ended. The service has already sent the automatic reset after a completed run.
void Session::afterRun() {
  result_.resends = run_->resends;
  result_.refusedRecords = run_->refusedRecords;
  switch (run_->end) {
    case RunEnd::Complete:
      if (plan_.autoReset) {
        phase_ = Phase::AwaitingReset;
        resetEnd_.reset();
        waitFor(plan_.waitMs);
        return;
      }
      return concludeRun();
    case RunEnd::NotInLoaderMode:
      return finish(ExitCode::UnitError, "unit not in loader mode, programming aborted");
    case RunEnd::RecordError:
      return finish(ExitCode::UnitError, "unit reported a record error, programming aborted: " +
                                             StatusInWords(run_->status));
    case RunEnd::CommsTimeout:
      return finish(ExitCode::NoAnswer, "comms timeout while programming");
    case RunEnd::FileError:
      return finish(ExitCode::File, "image could not be read during the run: " + run_->detail);
    case RunEnd::LinkError:
      return finish(ExitCode::Network, run_->detail);
  }
}

std::string Session::notFinishedText() const {
  std::string text =
      unitName() + " never reported the file finished (the image may lack its end record)";
  if (resetEnd_) return text + "; after the reset it reports " + StatusInWords(resetStatus_);
  return text + "; it stays in loader mode without a valid program";
}

// Every record was acknowledged; whether the unit holds a program it can run is decided here.
void Session::concludeRun() {
  if (!run_->fileFinished) return finish(ExitCode::UnitError, notFinishedText());
  if (resetEnd_ == ResetEnd::Refused)
    return finish(ExitCode::UnitError, unitName() + " refused the reset after programming: " +
                                           StatusInWords(resetStatus_));
  if (plan_.strict && run_->refusedRecords > 0)
    return finish(ExitCode::UnitError,
                  std::to_string(run_->refusedRecords) + " records refused by the unit (--strict)");
  if (plan_.autoReset && plan_.verify) return startVerify();
  finish(ExitCode::Ok);
}

void Session::startVerify() {
  verifyStatus_.reset();
  verifyUntil_ = SteadyClock::now() + std::chrono::milliseconds(kVerifyMs);
  sendLocate(Phase::Verifying, kVerifyIntervalMs);
}

void Session::receive(int waitMs) {
  if (phase_ == Phase::Done) return;
  int length = 0;
  try {
    length = socket_->receive(buffer_, static_cast<int>(protocol::kReplyImageSize), waitMs);
  } catch (const link::ReceiveError& error) {
    log_.addLogLine(link::ReceiveFailureLogLine(error));  // and keep listening
    return;
  }
  if (length <= 0) return;
  try {
    service_->handleDatagram({buffer_, static_cast<size_t>(length)});
  } catch (const std::exception& error) {
    log_.addLogLine(link::ReplyHandlingLogLine(error.what()));
    // The service's next PDU never left, so no answer and no watchdog will follow.
    if (socket_->failed()) return finish(ExitCode::Network, error.what());
  }
  advance();
}

void Session::onTime(TimePoint now) {
  if (phase_ == Phase::Done) return;
  if (const std::optional<TimerRole> role = timer_.takeDue(now)) {
    drive([&] { service_->timerTick(*role); });
    advance();
  }
  if (phase_ == Phase::Done || !waitUntil_ || now < *waitUntil_) return;
  waitUntil_.reset();
  const std::string unitText = plan_.unitId ? "unit " + *plan_.unitId : std::string("no unit");
  switch (phase_) {
    case Phase::Finding:
      if (locatesSent_ < plan_.timing.captureAttempts)
        return sendLocate(Phase::Finding, plan_.timing.captureIntervalMs);
      return finish(ExitCode::NoAnswer, (plan_.unitId ? unitText + " did not answer"
                                                      : std::string("no unit answered")) +
                                            " (" + std::to_string(locatesSent_) + " attempts)");
    case Phase::RebootRequest:
      startCapture();
      return advance();
    case Phase::Settling:
      settled();
      return advance();
    case Phase::Capturing:
      return finish(ExitCode::NoAnswer, unitName() + " did not reach loader mode");
    case Phase::Registering:
      return finish(ExitCode::NoAnswer,
                    plan_.unitId ? unitText + " did not answer" : "no unit answered");
    case Phase::Collecting:
      if (answers_ > 0 &&
          (!plan_.unitId || service_->registry().selector().indexOf(*plan_.unitId) >= 0)) {
        if (plan_.unitId) result_.unit = *plan_.unitId;
        return finish(ExitCode::Ok);
      }
      return finish(ExitCode::NoAnswer,
                    plan_.unitId ? unitText + " did not answer" : "no unit answered");
    case Phase::AwaitingReset:
      if (!run_->fileFinished) return finish(ExitCode::UnitError, notFinishedText());
      return finish(ExitCode::NoAnswer, "no answer to the reset after programming");
    case Phase::Verifying:
      if (now < verifyUntil_) return sendLocate(Phase::Verifying, kVerifyIntervalMs);
      if (verifyStatus_)
        return finish(ExitCode::UnitError, "after the reset " + unitName() + " still reports " +
                                               StatusInWords(*verifyStatus_));
      return finish(ExitCode::NoAnswer, unitName() + " did not answer after the reset");
    case Phase::Resetting:
      return finish(ExitCode::NoAnswer, "no answer to reset");
    case Phase::SettingIp:
      return finish(ExitCode::NoAnswer, "no answer to set-ip");
    default:
      return;
  }
}

std::optional<TimePoint> Session::nextDeadline() const {
  if (phase_ == Phase::Done) return std::nullopt;
  std::optional<TimePoint> next = timer_.deadline();
  if (waitUntil_ && (!next || *waitUntil_ < *next)) next = waitUntil_;
  return next;
}

void Session::endIfStalled() {
  if (phase_ != Phase::Done && phase_ != Phase::Start && !nextDeadline())
    finish(ExitCode::Internal, "the operation stopped without an outcome");
}

std::string Session::interruptedText() const {
  const std::string unit = unitName();
  switch (phase_) {
    case Phase::Programming:
      return "interrupted after " + std::to_string(figures_.acknowledged) + " of " +
             std::to_string(figures_.total) + " records: " + unit +
             " left in loader mode; run program again";
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
      return ChangesUnit(plan_.operation) ? "interrupted before anything was changed"
                                          : "interrupted";
  }
}

void Session::interrupt(ExitCode code) {
  if (phase_ == Phase::Done) return;
  const std::string text = interruptedText();
  // Whatever the unit said last counts: a run stopped here reports what it had.
  if (figures_.running) {
    result_.records = figures_.acknowledged;
    result_.seconds = std::chrono::duration<double>(SteadyClock::now() - figures_.started).count();
  }
  finish(code, text);
}

void Session::unitReported(const UnitReport& report) {
  ++answers_;
  replySeen_ = true;
  lastStatus_ = report.status;
  lastIp_ = report.ip;
  if (!chosen_ || report.id == *chosen_) result_.finalStatus = report.status;
  const auto type = report.type;
  if (phase_ == Phase::Collecting && type == protocol::Code(protocol::Command::Locate)) {
    const std::string id = units::IdText(report.id);
    auto seen = std::find_if(result_.units.begin(), result_.units.end(),
                             [&](const UnitSeen& u) { return u.id == id; });
    if (seen == result_.units.end())
      seen = result_.units.insert(result_.units.end(), UnitSeen{id, {}, 0});
    seen->ip = IpString(report.ip);
    seen->status = report.status;
  }
  if (chosen_ && report.id == *chosen_) {
    if (phase_ == Phase::Capturing && type == protocol::Code(protocol::Command::Capture) &&
        !(report.status & protocol::Status::kLoaderMode))
      ++captureRefusals_;
    if (phase_ == Phase::Verifying && type == protocol::Code(protocol::Command::Locate))
      verifyStatus_ = report.status;
  }
  // Record acknowledgements are summed up by the progress events, never one line each.
  if (!output_.json() || type == protocol::Code(protocol::Command::ProgramRecord)) return;
  JsonLine fields;
  fields.field("type", int{type})
      .field("unit", units::IdText(report.id))
      .field("ip", IpString(report.ip))
      .field("status", HexWord(report.status))
      .field("seq", int{report.sequence})
      .field("data_seq", int{report.dataSequence});
  output_.event(target_, "reply", fields);
}

void Session::readyState(uint16_t status) {
  if (status & protocol::Status::kLoaderMode) loaderReached_ = true;
}

void Session::captureEnded(CaptureEnd end) {
  if (end == CaptureEnd::TimedOut) captureTimedOut_ = true;
}

void Session::runStarted(int32_t recordCount) {
  figures_.running = true;
  figures_.acknowledged = 0;
  figures_.total = recordCount;
  figures_.started = SteadyClock::now();
}

void Session::runProgress(uint64_t /*pdusSent*/, int32_t /*recordCount*/) {
  // Counted here rather than taken from the 16-bit PDU number, which wraps on large images.
  ++figures_.acknowledged;
}

void Session::runEnded(const RunResult& result) {
  run_ = result;
  figures_.running = false;
  result_.records = static_cast<int64_t>(result.acknowledged);
  result_.seconds = std::chrono::duration<double>(SteadyClock::now() - figures_.started).count();
}

void Session::eraseEnded(EraseKind /*kind*/, EraseEnd end, uint16_t /*status*/) {
  eraseEnd_ = end;
}

void Session::resetEnded(ResetEnd end, uint16_t status) {
  resetEnd_ = end;
  resetStatus_ = status;
}

void Session::addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) {
  addressAccepted_ = accepted;
  lastIp_ = reported;
  lastStatus_ = status;
}

void Session::finish(ExitCode code, const std::string& detail) {
  if (phase_ == Phase::Done) return;
  phase_ = Phase::Done;
  timer_.disable();
  waitUntil_.reset();
  figures_.running = false;
  if (socket_) socket_->close();  // nothing more goes out; a scan frees its descriptors early
  if (result_.unit.empty() && code != ExitCode::Usage) noteSelectedUnit();
  result_.code = code;
  // Platform texts may span lines; a result stays on one.
  for (char c : detail) {
    if (c == '\n')
      result_.detail += ": ";
    else if (c != '\r')
      result_.detail += c;
  }
  std::sort(result_.units.begin(), result_.units.end(),
            [](const UnitSeen& a, const UnitSeen& b) { return a.id < b.id; });
  // An address without units is no failure of a scan, only an empty answer.
  const bool quietMiss = plan_.operation == Operation::Scan && result_.units.empty();
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
  JsonLine fields;
  fields.field("outcome", OutcomeWord(code))
      .field("exit_code", ToInt(code))
      .field("version", kVersion)
      .field("unit", result_.unit)
      .field("records", result_.records)
      .field("refused_records", static_cast<int64_t>(result_.refusedRecords))
      .field("resends", static_cast<int64_t>(result_.resends))
      .field("seconds", result_.seconds)
      .field("records_per_second",
             result_.seconds > 0 ? static_cast<double>(result_.records) / result_.seconds : 0.0)
      .field("detail", result_.detail);
  output_.event(target_, "result", fields);
}

}  // namespace uvq::cli
