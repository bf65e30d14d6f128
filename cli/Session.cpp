#include "Session.h"

#include <cstdio>

#include "link/ReceiveError.h"
#include "protocol/AccessCode.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "units/UvqTable.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

std::string HexWord(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string IpString(const protocol::Ipv4Bytes& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

}  // namespace

Session::Session(std::string target, const SessionPlan& plan, Output& output, SharedPorts ports)
    : target_(std::move(target)), plan_(plan), output_(output), log_(output, target_) {
  try {
    udp_ = std::make_unique<link::UdpLink>();
  } catch (const PlatformError& error) {
    finish(ExitCode::Network, error.what());
    return;
  }
  udp_->setHost(target_);
  udp_->setPort(protocol::kUnitPort);
  link_ = std::make_unique<WatchedLink>(*udp_);
  service_ = std::make_unique<LoaderService>(
      ServicePorts{*link_, log_, timer_, ports.clock, ports.tone, ports.files}, plan_.timing);
  service_->addListener(this);
  service_->setRunOptions({plan_.beep, plan_.autoReset, true});
  service_->startUp();
}

Session::~Session() = default;

int Session::socket() const {
  return udp_ ? udp_->socketHandle() : -1;
}

template <typename Operation>
void Session::drive(Operation&& operation) {
  if (phase_ == Phase::Done) return;
  try {
    operation();
  } catch (const PlatformError& error) {
    // Besides the link only the image file throws these.
    finish(link_->failed() ? ExitCode::Network : ExitCode::File, error.what());
  } catch (const std::exception& error) {
    finish(ExitCode::Internal, error.what());
  }
}

void Session::start() {
  if (phase_ == Phase::Done) return;
  switch (plan_.operation) {
    case Operation::Locate:
      phase_ = Phase::Collecting;
      drive([&] { service_->locate(); });
      waitFor(plan_.waitMs);
      break;
    case Operation::Status:
    case Operation::Reset:
    case Operation::SetIp:
      startRegistering();
      break;
    case Operation::Capture:
    case Operation::Program:
    case Operation::Erase:
      if (plan_.accessCode) {
        phase_ = Phase::RebootRequest;
        replySeen_ = false;
        log_.addLogLine("Live reboot request sent with the access code");
        drive([&] { service_->liveReboot(protocol::AccessCode(*plan_.accessCode)); });
        waitFor(plan_.timing.captureIntervalMs);
      } else {
        startCapture();
      }
      break;
  }
  advance();
}

void Session::startRegistering() {
  phase_ = Phase::Registering;
  answers_ = 0;
  drive([&] { service_->locate(); });
  waitFor(plan_.waitMs);
}

void Session::startCapture() {
  waitUntil_.reset();
  if (service_->loaderMode() && service_->registry().selectedUnit() && wantedUnitSelected()) {
    afterCapture();
    return;
  }
  phase_ = Phase::Capturing;
  loaderReached_ = false;
  captureTimedOut_ = false;
  drive([&] { service_->capture(); });
}

void Session::waitFor(int milliseconds) {
  if (phase_ == Phase::Done) return;
  waitUntil_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool Session::wantedUnitSelected() const {
  if (!plan_.unitId) return true;
  const auto selected = service_->registry().selectedUnit();
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
  if (!service_ || !wantedUnitSelected()) return;
  result_.unit = SelectedText();
}

void Session::advance() {
  switch (phase_) {
    case Phase::Start:
    case Phase::Collecting:
    case Phase::Done:
      return;
    case Phase::RebootRequest:
      if (replySeen_) startCapture();
      return;
    case Phase::Capturing:
      if (captureTimedOut_) return finish(ExitCode::NoAnswer, "capture timed out");
      selectRequestedUnit();
      if (loaderReached_ && service_->loaderMode() && wantedUnitSelected())
        return settle(Next::AfterCapture);
      // Another unit's answer ended the capture: give the requested unit a while to answer.
      if (!timer_.enabled() && !waitUntil_) waitFor(plan_.waitMs);
      return;
    case Phase::Registering:
      if (answers_ > 0 && selectRequestedUnit()) settle(Next::AfterSelect);
      return;
    case Phase::Settling:
      return;
    case Phase::Programming:
      if (!run_) return;
      switch (run_->end) {
        case RunEnd::Complete:
          return finish(ExitCode::Ok);
        case RunEnd::NotInLoaderMode:
          return finish(ExitCode::UnitError, "unit not in loader mode, programming aborted");
        case RunEnd::RecordError:
          return finish(ExitCode::UnitError, "unit reported a record error, programming aborted");
        case RunEnd::CommsTimeout:
          return finish(ExitCode::NoAnswer, "comms timeout while programming");
        case RunEnd::FileError:
          return finish(ExitCode::File, "image could not be read during the run: " + run_->detail);
        case RunEnd::LinkError:
          return finish(ExitCode::Network, run_->detail);
      }
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
        return finish(ExitCode::UnitError, "reset refused, status " + HexWord(lastStatus_));
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
  const units::Selector& selector = service_->registry().selector();
  const bool changesUnit =
      plan_.operation != Operation::Status && plan_.operation != Operation::Capture;
  if (!plan_.unitId && selector.count() > 1 && changesUnit) {
    std::string ids;
    for (const std::string& item : selector.items()) ids += " " + item;
    return finish(ExitCode::Usage, "several units answer at " + target_ + " (" + ids.substr(1) +
                                       "): choose one with --id");
  }
  // Several units are only left as the service selected them for capture and status.
  const std::string wanted =
      plan_.unitId ? *plan_.unitId : (selector.count() == 1 ? selector.items().front() : "");
  if (!wanted.empty() && selector.text() != wanted) {
    drive([&] { service_->setSelectorText(wanted); });
    if (phase_ == Phase::Done) return;
  }
  if (next_ == Next::AfterSelect) return afterSelect();
  if (!service_->loaderMode())
    return finish(ExitCode::NoAnswer, "unit " + wanted + " did not reach loader mode");
  afterCapture();
}

std::string Session::SelectedText() const {
  const auto unit = service_->registry().selectedUnit();
  return unit ? units::IdText(*unit) : std::string();
}

void Session::afterCapture() {
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

void Session::receive(int waitMs) {
  if (phase_ == Phase::Done) return;
  int length = 0;
  try {
    length = udp_->receiveDatagram(buffer_, static_cast<int>(protocol::kReplyImageSize), waitMs);
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
    if (link_->failed()) return finish(ExitCode::Network, error.what());
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
    case Phase::RebootRequest:
      startCapture();
      return advance();
    case Phase::Settling:
      settled();
      return advance();
    case Phase::Capturing:
      return finish(ExitCode::NoAnswer, plan_.unitId
                                            ? "unit " + *plan_.unitId + " did not reach loader mode"
                                            : "capture ended without loader mode");
    case Phase::Registering:
      return finish(ExitCode::NoAnswer,
                    plan_.unitId ? unitText + " did not answer" : "no unit answered");
    case Phase::Collecting:
      if (answers_ > 0 &&
          (!plan_.unitId || service_->registry().selector().indexOf(*plan_.unitId) >= 0))
        return finish(ExitCode::Ok);
      return finish(ExitCode::NoAnswer,
                    plan_.unitId ? unitText + " did not answer" : "no unit answered");
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
  if (phase_ != Phase::Done && !nextDeadline())
    finish(ExitCode::Internal, "the operation stopped without an outcome");
}

void Session::unitReported(const UnitReport& report) {
  ++answers_;
  replySeen_ = true;
  lastStatus_ = report.status;
  lastIp_ = report.ip;
  // Record acknowledgements are summed up by the progress events, never one line each.
  if (!output_.json() || report.type == protocol::Code(protocol::Command::ProgramRecord)) return;
  JsonLine fields;
  fields.field("type", int{report.type})
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

void Session::resetEnded(ResetEnd end, uint16_t /*status*/) {
  resetEnd_ = end;
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
  if (result_.unit.empty() && code != ExitCode::Usage) noteSelectedUnit();
  result_.code = code;
  // Platform texts may span lines; a result stays on one.
  for (char c : detail) {
    if (c == '\n')
      result_.detail += ": ";
    else if (c != '\r')
      result_.detail += c;
  }
  if (code != ExitCode::Ok && !output_.json()) log_.addLogLine("uvq: " + result_.detail);
  JsonLine fields;
  fields.field("outcome", OutcomeWord(code))
      .field("exit_code", ToInt(code))
      .field("version", kVersion)
      .field("unit", result_.unit)
      .field("records", result_.records)
      .field("seconds", result_.seconds)
      .field("records_per_second",
             result_.seconds > 0 ? static_cast<double>(result_.records) / result_.seconds : 0.0)
      .field("detail", result_.detail);
  output_.event(target_, "result", fields);
}

}  // namespace uvq::cli
