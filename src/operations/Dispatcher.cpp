#include <algorithm>
#include <string>

#include "operations/Engine.h"
#include "protocol/StatusFlags.h"
#include "units/StatusReport.h"
#include "units/UvqTable.h"

namespace uvq {

using namespace protocol;

// A reply answers the last PDU when it echoes that PDU's number. Numbers repeat (the counter
// restarts at 0 when a run opens its file, and wraps), so a reply whose type names another
// command than the last one sent is a late answer to an earlier PDU: taking it would let a
// capture reply from a second unit redirect the records of a run in progress. Types that name
// no command are left to the dispatcher, which does nothing with them.
bool Engine::AnswersLastPdu(const ReplyImage& reply) const {
  const std::optional<uint16_t> last = pdus_.lastNumberSent();
  if (!last || EchoedSequence(reply) != *last) return false;
  const uint8_t type = ReplyType(reply);
  const bool namesACommand = type <= Code(Command::Reset) && type != 5;
  return !namesACommand || type == Code(pdus_.lastCommand());
}

void Engine::ProcessStatusReply(std::span<const uint8_t> datagram) {
  if (datagram.empty() || datagram.size() > kReplyImageSize)
    return;  // the link never hands these on
  if (datagram.size() < kMinimumReplyLength) {
    // Too short to carry a status word: acting on it would read fields the unit never sent.
    ports_.log.addLogLine("Short reply of " + std::to_string(datagram.size()) +
                          " bytes set aside (a status reply has at least 19)");
    return;
  }
  std::copy(datagram.begin(), datagram.end(), reply_.begin());
  std::fill(reply_.begin() + static_cast<std::ptrdiff_t>(datagram.size()), reply_.end(), 0);

  const uint16_t seq = EchoedSequence(reply_);
  if (!AnswersLastPdu(reply_)) {
    ports_.log.addLogLine("**ERROR Out of Sequence Control PDU Seq: " + std::to_string(seq));
    return;
  }
  events_->replyAccepted(reply_);

  const UvqId id = ReplyUvqId(reply_);
  if (pdus_.addressed().isZero()) pdus_.setAddressed(id);
  if (id != pdus_.addressed()) {
    ReportStatusReply(reply_);
    ShowUvqIpAddress();
    return;
  }
  dispatchByType(reply_);
}

void Engine::dispatchByType(const ReplyImage& reply) {
  const uint16_t status = StatusWord(reply);
  switch (ReplyType(reply)) {
    case Code(Command::Locate):
    case Code(Command::Capture):
    case Code(Command::Reset):
      ReportStatusReply(reply);
      SetReadyState(status);
      break;
    case Code(Command::SetIpAddress):
      ReportStatusReply(reply);
      ports_.controls.setEnabled(ControlId::CBIPaddr, true);
      uncheckIpBox();
      ports_.controls.setEnabled(ControlId::EIPAddr, false);
      ports_.controls.setEnabled(ControlId::BUpdateUVQ, false);
      break;
    case Code(Command::InvalidateProgram):
      loaderMode_ = false;
      ports_.log.addLogLine("UVQ program space invalidated");
      ReportStatusReply(reply);
      break;
    case Code(Command::ProgramRecord):
      if (!ProcessRecordAcknowledge(reply, status)) return;  // aborted: no IP refresh
      break;
    case Code(Command::EraseDevice):
      finishErase(reply, "Device Erased");
      break;
    case Code(Command::EraseProgram):
      finishErase(reply, "PGM Memory Only Erased");
      break;
    case Code(Command::EraseData):
      finishErase(reply, "EEPROM Erased");
      break;
    default:
      break;  // types without an action of their own
  }
  ShowUvqIpAddress();
}

void Engine::finishErase(const ReplyImage& reply, std::string_view outcome) {
  ports_.timer.disable();
  ports_.log.addLogLine(outcome);
  SetReadyState(StatusWord(reply));
  ReportStatusReply(reply);
  events_->eraseEnded(true);
}

void Engine::ReportStatusReply(const ReplyImage& reply) {
  const std::string idText = units::IdText(ReplyUvqId(reply));
  units::Selector& selector = registry_.selector();
  if (registry_.registerReply(reply) == units::UnitRegistry::Registration::TableFull) {
    ports_.log.addLogLine("UVQ table full (" + std::to_string(units::kUvqTableCapacity) +
                          " units): unit " + idText + " not registered");
  } else {
    if (selector.currentIndex() < 0) {
      selector.setCurrentIndex(0);
      CUVQselectChange();
    }
    selector.setText(idText);
  }
  units::WriteReportBlock(reply, ports_.log, [this] {
    captureAttempts_ = 0;
    ports_.controls.setText(ControlId::BLDR_Mode, "Capture");
  });
}

}  // namespace uvq
