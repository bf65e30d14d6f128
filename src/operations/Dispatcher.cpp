// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <string>

#include "operations/LoaderService.h"
#include "protocol/IpAddressText.h"
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
bool LoaderService::answersLastPdu(const ReplyImage& reply) const {
  const std::optional<uint16_t> last = pdus_.lastNumberSent();
  if (!last || EchoedSequence(reply) != *last) return false;
  const uint8_t type = ReplyType(reply);
  return !NamesCommand(type) || type == Code(pdus_.lastCommand());
}

// Each reply set aside is told; its line is logged within the budget of a few a second, so a
// flood of bad datagrams cannot push a run's outcome out of the log.
void LoaderService::setAside(const SetAsideReply& reply, const std::string& line) {
  if (setAsideLines_.take(ports_.clock.steadyMilliseconds())) ports_.log.addLogLine(line);
  notify([&](LoaderOutcomes& l) { l.replySetAside(reply); });
}

void LoaderService::flushSetAsideSummary() {
  if (!setAsideLines_.pending()) return;
  if (const auto line = setAsideLines_.summary(ports_.clock.steadyMilliseconds()))
    ports_.log.addLogLine(*line);
}

namespace {
std::string AddressText(const Ipv4Bytes& address) {
  return protocol::Ipv4Text(address);
}
}  // namespace

// While a run is under way only its target may answer: a well-numbered reply from another
// address would otherwise be taken as a record's acknowledgement, and could complete a run
// over an image the unit refused. Outside a run replies are taken from whoever answers.
bool LoaderService::fromElsewhereDuringRun(const std::optional<DatagramOrigin>& origin,
                                           size_t length) {
  if (!file_ || !origin || origin->sender == origin->target) return false;
  setAside({SetAsideReason::OtherAddress, EchoedSequence(reply_), ReplyType(reply_), length},
           "**ERROR Reply from " + AddressText(origin->sender) +
               " set aside: the programming run is with " + AddressText(origin->target));
  return true;
}

void LoaderService::handleDatagram(std::span<const uint8_t> datagram,
                                   std::optional<DatagramOrigin> origin) {
  CallGuard guard(*this);
  if (datagram.empty() || datagram.size() > kReplyImageSize)
    return;  // the link never hands these on
  flushSetAsideSummary();
  if (datagram.size() < kMinimumReplyLength) {
    // Too short to carry a status word: acting on it would read fields the unit never sent.
    setAside({SetAsideReason::Short, 0, 0, datagram.size()},
             "Short reply of " + std::to_string(datagram.size()) +
                 " bytes set aside (a status reply has at least 19)");
    return;
  }
  std::copy(datagram.begin(), datagram.end(), reply_.begin());
  std::fill(reply_.begin() + static_cast<std::ptrdiff_t>(datagram.size()), reply_.end(), 0);
  if (fromElsewhereDuringRun(origin, datagram.size())) return;

  const uint16_t seq = EchoedSequence(reply_);
  if (!answersLastPdu(reply_)) {
    const uint8_t type = ReplyType(reply_);
    if (pdus_.lastNumberSent() == seq)
      setAside({SetAsideReason::OtherCommand, seq, type, datagram.size()},
               "**ERROR Reply type " + std::to_string(type) + " does not answer command " +
                   std::to_string(Code(pdus_.lastCommand())) + ", Seq: " + std::to_string(seq));
    else
      setAside({SetAsideReason::OutOfSequence, seq, type, datagram.size()},
               "**ERROR Out of Sequence Control PDU Seq: " + std::to_string(seq));
    return;
  }

  const UvqId id = ReplyUvqId(reply_);
  if (pdus_.addressed().isZero()) pdus_.setAddressed(id);
  const bool fromAddressed = id == pdus_.addressed();
  if (!listeners_.empty()) {
    const UnitReport report = ReportOf(reply_, fromAddressed);
    notify([&](LoaderOutcomes& l) { l.unitReported(report); });
  }
  if (!fromAddressed) {
    reportStatusReply(reply_);
    notify([](LoaderOutcomes& l) { l.replyDispatched(false); });
    return;
  }
  const bool aborted = !dispatchByType(reply_);
  notify([aborted](LoaderOutcomes& l) { l.replyDispatched(aborted); });
}

// Returns false when the reply aborted a programming run.
bool LoaderService::dispatchByType(const ReplyImage& reply) {
  const uint16_t status = StatusWord(reply);
  const uint8_t type = ReplyType(reply);
  switch (type) {
    case Code(Command::Locate):
      reportStatusReply(reply);
      setReadyState(status);
      return true;
    case Code(Command::Capture):
      reportStatusReply(reply);
      setReadyState(status);
      // A unit that wants its access code answers every capture and stays where it is.
      if (!(status & Status::kLoaderMode))
        notStarted(ServiceOperation::Capture, NotStartedReason::NotInLoaderMode, status);
      return true;
    case Code(Command::Reset): {
      reportStatusReply(reply);
      setReadyState(status);
      // A unit holding a broken image refuses to leave the loader and says why.
      const ResetEnd end = status & kResetRefusingBits ? ResetEnd::Refused : ResetEnd::Answered;
      notify([&](LoaderOutcomes& l) { l.resetEnded(end, status); });
      return true;
    }
    case Code(Command::SetIpAddress): {
      reportStatusReply(reply);
      const UnitReport report = ReportOf(reply, true);
      const bool accepted =
          requestedAddress_ && report.ip == *requestedAddress_ && !(status & kResetRefusingBits);
      requestedAddress_.reset();
      notify([&](LoaderOutcomes& l) { l.addressChangeEnded(accepted, report.ip, status); });
      return true;
    }
    case Code(Command::InvalidateProgram):
      loaderMode_ = false;
      ports_.log.addLogLine("UVQ program space invalidated");
      reportStatusReply(reply);
      notify([status](LoaderOutcomes& l) { l.programSpaceInvalidated(status); });
      return true;
    case Code(Command::ProgramRecord):
      return processRecordAcknowledge(reply, status);
    default:
      if (const EraseKindRow* row = EraseRowForCode(type)) finishErase(reply, *row);
      return true;  // types without an action of their own
  }
}

void LoaderService::finishErase(const ReplyImage& reply, const EraseKindRow& row) {
  const uint16_t status = StatusWord(reply);
  disableTimer();
  erasing_.reset();
  ports_.log.addLogLine(row.doneLine);
  setReadyState(status);
  reportStatusReply(reply);
  // A unit outside loader mode answers, but erases nothing.
  const EraseEnd end = status & Status::kNotInLoaderMode ? EraseEnd::Refused : EraseEnd::Done;
  notify([&](LoaderOutcomes& l) { l.eraseEnded(row.kind, end, status); });
}

void LoaderService::reportStatusReply(const ReplyImage& reply) {
  const std::string idText = units::IdText(ReplyUvqId(reply));
  units::Selector& selector = registry_.selector();
  if (registry_.registerReply(reply) == units::UnitRegistry::Registration::TableFull) {
    ports_.log.addLogLine("UVQ table full (" + std::to_string(units::kUvqTableCapacity) +
                          " units): unit " + idText + " not registered");
  } else if (!file_ || ReplyUvqId(reply) == runUnit_) {
    // During a run the selection stays with the run's unit: another unit answering must not
    // take the records, nor its status stop the run's watchdog.
    if (selector.currentIndex() < 0) {
      selector.setCurrentIndex(0);
      applySelection();
    }
    selector.setText(idText);
  }
  units::WriteReportBlock(reply, ports_.log, [this] {
    captureAttempts_ = 0;
    captureIdle_ = true;
    notify([](LoaderOutcomes& l) { l.captureCountdownReset(); });
  });
}

}  // namespace uvq
