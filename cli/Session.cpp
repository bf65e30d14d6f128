#include "Session.h"

#include <cstdio>

#include "link/ReceiveError.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "units/UvqTable.h"
#include "uvq/Version.h"

namespace uvq::cli {

using protocol::Status::kNotInLoaderMode;
using protocol::Status::kRecordErrors;

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
  controls_.setChecked(ControlId::CheckBox1, plan_.beep);
  controls_.setChecked(ControlId::CheckBox2, plan_.autoReset);
  controls_.setChecked(ControlId::CheckBox3, true);
  engine_ = std::make_unique<Engine>(
      EnginePorts{*link_, log_, timer_, controls_, ports.clock, ports.tone, ports.files},
      static_cast<EngineEvents*>(this), plan_.timing);
  engine_->startUp();
}

Session::~Session() = default;

int Session::socket() const {
  return udp_ ? udp_->socketHandle() : -1;
}

template <typename Click>
void Session::drive(Click&& click) {
  if (phase_ == Phase::Done) return;
  try {
    click();
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
      drive([&] { engine_->LocateClick(); });
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
        drive([&] { engine_->CapturewCodeClick(*plan_.accessCode); });
        waitFor(Timing::kCaptureIntervalMs);
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
  drive([&] { engine_->LocateClick(); });
  waitFor(plan_.waitMs);
}

void Session::startCapture() {
  waitUntil_.reset();
  if (engine_->loaderMode() && engine_->registry().selectedUnit() && wantedUnitSelected()) {
    afterCapture();
    return;
  }
  phase_ = Phase::Capturing;
  loaderReached_ = false;
  captureTimedOut_ = false;
  drive([&] { engine_->BLDR_ModeClick(); });
}

void Session::waitFor(int milliseconds) {
  if (phase_ == Phase::Done) return;
  waitUntil_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool Session::wantedUnitSelected() const {
  if (!plan_.unitId) return true;
  const auto selected = engine_->registry().selectedUnit();
  return selected && units::IdText(*selected) == *plan_.unitId;
}

// Picks the --id unit in the selector once it has answered, as an operator would. True when
// it is the selected unit (or no particular unit was asked for).
bool Session::selectRequestedUnit() {
  if (!plan_.unitId) return true;
  units::Selector& selector = engine_->registry().selector();
  if (selector.indexOf(*plan_.unitId) < 0) return false;
  if (selector.text() != *plan_.unitId) {
    selector.setText(*plan_.unitId);
    drive([&] { engine_->CUVQselectChange(); });
  }
  return phase_ != Phase::Done && wantedUnitSelected();
}

void Session::noteSelectedUnit() {
  if (!engine_ || !wantedUnitSelected()) return;
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
      if (loaderReached_ && engine_->loaderMode() && wantedUnitSelected())
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
      if (!runOutcome_) {
        // Records follow the selector; a late answer from another unit would redirect them.
        if (!runUnit_.empty() && SelectedText() != runUnit_)
          return finish(ExitCode::UnitError, "unit " + SelectedText() +
                                                 " answered during the run; stopped so that no "
                                                 "record goes to it");
        return;
      }
      switch (*runOutcome_) {
        case RunOutcome::Complete:
          return finish(ExitCode::Ok);
        case RunOutcome::NotInLoaderMode:
          return finish(ExitCode::UnitError, "unit not in loader mode, programming aborted");
        case RunOutcome::RecordError:
          return finish(ExitCode::UnitError, "unit reported a record error, programming aborted");
        case RunOutcome::CommsTimeout:
          return finish(ExitCode::NoAnswer, "comms timeout while programming");
        case RunOutcome::FileError:
          return finish(ExitCode::File, "image could not be read during the run");
      }
      return;
    case Phase::Erasing:
      if (!eraseAnswered_) return;
      if (!*eraseAnswered_) return finish(ExitCode::NoAnswer, "no response to erase");
      // An answer carrying "not in loader mode" means nothing was erased.
      if (lastReply_.status & kNotInLoaderMode)
        return finish(ExitCode::UnitError, "unit not in loader mode, nothing erased");
      return finish(ExitCode::Ok);
    case Phase::Resetting:
      if (!lastReply_.fresh || lastReply_.type != protocol::Code(protocol::Command::Reset)) return;
      // A unit with a half-written image refuses the reset and stays in loader mode.
      if (lastReply_.status & kRecordErrors)
        return finish(ExitCode::UnitError, "reset refused, status " + HexWord(lastReply_.status));
      return finish(ExitCode::Ok);
    case Phase::SettingIp: {
      if (!lastReply_.fresh || lastReply_.type != protocol::Code(protocol::Command::SetIpAddress))
        return;
      const auto wanted = protocol::ParseUnitIpAddress(plan_.newAddress);
      if (wanted && lastReply_.ip == *wanted && !(lastReply_.status & kRecordErrors))
        return finish(ExitCode::Ok);
      return finish(ExitCode::UnitError, "unit kept address " + IpString(lastReply_.ip) +
                                             ", status " + HexWord(lastReply_.status));
    }
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
  units::Selector& selector = engine_->registry().selector();
  const bool changesUnit =
      plan_.operation != Operation::Status && plan_.operation != Operation::Capture;
  if (!plan_.unitId && selector.count() > 1 && changesUnit) {
    std::string ids;
    for (const std::string& item : selector.items()) ids += " " + item;
    return finish(ExitCode::Usage, "several units answer at " + target_ + " (" + ids.substr(1) +
                                       "): choose one with --id");
  }
  // Several units are only left as the engine selected them for capture and status.
  const std::string wanted =
      plan_.unitId ? *plan_.unitId : (selector.count() == 1 ? selector.items().front() : "");
  if (!wanted.empty() && selector.text() != wanted) {
    selector.setText(wanted);
    drive([&] { engine_->CUVQselectChange(); });
    if (phase_ == Phase::Done) return;
  }
  if (next_ == Next::AfterSelect) return afterSelect();
  if (!engine_->loaderMode())
    return finish(ExitCode::NoAnswer, "unit " + wanted + " did not reach loader mode");
  afterCapture();
}

std::string Session::SelectedText() const {
  const auto unit = engine_->registry().selectedUnit();
  return unit ? units::IdText(*unit) : std::string();
}

void Session::afterCapture() {
  noteSelectedUnit();
  JsonLine fields;
  fields.field("unit", result_.unit);
  output_.event(target_, "loader_mode", fields);
  switch (plan_.operation) {
    case Operation::Program:
      drive([&] {
        engine_->BSourceClick([&]() -> std::optional<std::string> { return plan_.imageFile; });
      });
      if (phase_ == Phase::Done) return;
      if (!controls_.isEnabled(ControlId::BProgram))
        return finish(ExitCode::Internal, "programming was not enabled after capture");
      phase_ = Phase::Programming;
      runOutcome_.reset();
      runUnit_ = SelectedText();
      drive([&] { engine_->BProgramClick(); });
      if (phase_ != Phase::Done && !engine_->fileOpen() && !runOutcome_)
        finish(ExitCode::File, "cannot read image " + plan_.imageFile);
      return;
    case Operation::Erase:
      phase_ = Phase::Erasing;
      eraseAnswered_.reset();
      lastReply_.fresh = false;
      drive([&] {
        switch (plan_.eraseKind) {
          case EraseKind::Device:
            return engine_->BEraseClick();
          case EraseKind::Program:
            return engine_->BErasePRGClick();
          case EraseKind::Data:
            return engine_->BEraseEEClick();
        }
      });
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
      lastReply_.fresh = false;
      drive([&] { engine_->BResetUVQClick(); });
      waitFor(plan_.waitMs);
      return;
    case Operation::SetIp:
      if (!controls_.isEnabled(ControlId::CBIPaddr))
        return finish(ExitCode::Internal, "address change was not enabled");
      controls_.setChecked(ControlId::CBIPaddr, true);
      drive([&] { engine_->CBIPaddrClick(); });
      if (phase_ == Phase::Done) return;
      if (!controls_.isEnabled(ControlId::BUpdateUVQ))
        return finish(ExitCode::Internal, "address change was not enabled");
      controls_.setText(ControlId::EIPAddr, plan_.newAddress);
      phase_ = Phase::SettingIp;
      lastReply_.fresh = false;
      drive([&] { engine_->BUpdateUVQClick(); });
      waitFor(plan_.waitMs);
      return;
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
    engine_->ProcessStatusReply({buffer_, static_cast<size_t>(length)});
  } catch (const std::exception& error) {
    log_.addLogLine(link::ReplyHandlingLogLine(error.what()));
    // The engine's next PDU never left, so no answer and no watchdog will follow.
    if (link_->failed()) return finish(ExitCode::Network, error.what());
  }
  advance();
}

void Session::onTime(TimePoint now) {
  if (phase_ == Phase::Done) return;
  if (const std::optional<TimerRole> role = timer_.takeDue(now)) {
    drive([&] { engine_->TimerTick(*role); });
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
          (!plan_.unitId || engine_->registry().selector().indexOf(*plan_.unitId) >= 0))
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

void Session::replyAccepted(const protocol::ReplyImage& reply) {
  ++answers_;
  replySeen_ = true;
  lastReply_.type = protocol::ReplyType(reply);
  lastReply_.unit = protocol::ReplyUvqId(reply).value();
  lastReply_.status = protocol::StatusWord(reply);
  std::copy_n(reply.begin() + protocol::ReplyOffset::kIp, 4, lastReply_.ip.begin());
  lastReply_.fresh = true;
  // Record acknowledgements are summed up by the progress events, never one line each.
  if (!output_.json() || lastReply_.type == protocol::Code(protocol::Command::ProgramRecord))
    return;
  JsonLine fields;
  fields.field("type", int{lastReply_.type})
      .field("unit", units::IdText(protocol::ReplyUvqId(reply)))
      .field("ip", units::IpText(reply))
      .field("status", HexWord(lastReply_.status))
      .field("seq", int{protocol::EchoedSequence(reply)})
      .field("data_seq", int{protocol::DataSequence(reply)});
  output_.event(target_, "reply", fields);
}

void Session::programmingStarted(int32_t recordCount) {
  figures_.running = true;
  figures_.acknowledged = 0;
  figures_.total = recordCount;
  figures_.started = SteadyClock::now();
}

void Session::programmingProgress(uint64_t /*pdusSent*/, int32_t /*recordCount*/) {
  // Counted here rather than taken from the 16-bit PDU number, which wraps on large images.
  ++figures_.acknowledged;
}

void Session::programmingEnded(RunOutcome outcome) {
  runOutcome_ = outcome;
  figures_.running = false;
  result_.records = figures_.acknowledged;
  result_.seconds = std::chrono::duration<double>(SteadyClock::now() - figures_.started).count();
}

void Session::eraseEnded(bool answered) {
  eraseAnswered_ = answered;
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
