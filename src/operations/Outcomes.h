// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include "operations/EraseKinds.h"
#include "protocol/ControlPdu.h"
#include "protocol/ReplyLayout.h"

namespace uvq {

// A status reply that passed sequence acceptance, as facts.
struct UnitReport {
  protocol::UvqId id;
  protocol::Ipv4Bytes ip{};
  uint16_t status = 0;  // decode with protocol::kStatusFlagsInPrintOrder
  uint8_t type = 0;     // the command it answers
  uint16_t sequence = 0;
  uint8_t dataSequence = 0;
  bool fromAddressedUnit = true;  // false: another unit answered; it is only registered
};

UnitReport ReportOf(const protocol::ReplyImage& reply, bool fromAddressedUnit);

enum class SetAsideReason : uint8_t {
  Short,          // too short to carry a status word
  OutOfSequence,  // echoes another number than the last PDU's
  OtherCommand,   // echoes the right number, but its type names another command
  OtherAddress,   // came from another address than the target's while a run was under way
};

struct SetAsideReply {
  SetAsideReason reason;
  uint16_t sequence = 0;
  uint8_t type = 0;
  size_t length = 0;
};

enum class CaptureEnd : uint8_t { InLoaderMode, TimedOut, Stopped };

enum class RunEnd : uint8_t {
  Complete,
  NotInLoaderMode,  // the unit answered a record with "LDR command while not in LDR_Mode"
  RecordError,      // the unit reported a bit that aborts a run (frame, framing, checksum, ...)
  CommsTimeout,     // a record stayed unacknowledged after every resend
  FileError,        // the image could not be read during the run
  LinkError,        // a record could not be sent
  Stopped,          // the operator started a capture during the run
};

struct RunResult {
  RunEnd end = RunEnd::Complete;
  uint16_t status = 0;  // of the reply that ended the run (0 when none did)
  // The last record's acknowledgement said "finished programing file". Not sticky: the flag on
  // a middle record says nothing about the image as a whole.
  bool fileFinished = false;
  uint64_t acknowledged = 0;    // records the unit acknowledged without an aborting bit
  uint64_t resends = 0;         // records sent again by the watchdog
  uint64_t refusedRecords = 0;  // acknowledged with a bit saying the record was not written
  protocol::UvqId unit;
  std::string detail;  // the platform's words for a file or link error
};

// The operations that may fail to start, and why one did not.
enum class ServiceOperation : uint8_t {
  Capture,
  LiveReboot,
  Program,
  Erase,
  Reset,
  Invalidate,
  SetAddress
};

enum class NotStartedReason : uint8_t {
  NoImage,          // no image chosen
  ImageNotOpened,   // the image could not be opened or holds no record; `detail` says why
  NothingSelected,  // no unit selected, nothing sent
  Busy,             // a run or an erase is under way
  NotInLoaderMode,  // the unit answered a capture without entering loader mode (`status`)
};

struct NotStarted {
  ServiceOperation operation;
  NotStartedReason reason;
  uint16_t status = 0;
  std::string detail;
};

enum class EraseEnd : uint8_t { Done, Refused, NoAnswer };
enum class ResetEnd : uint8_t { Answered, Refused };

// What happened, for whoever drives the service. Each call reports a fact after the service has
// acted on it; a listener must not call the service back (the service refuses such calls).
class LoaderOutcomes {
 public:
  virtual ~LoaderOutcomes() = default;

  virtual void unitReported(const UnitReport& /*report*/) {}
  virtual void replySetAside(const SetAsideReply& /*reply*/) {}
  // An accepted reply has been dealt with; `abortedRun`: it ended a run with an error.
  virtual void replyDispatched(bool /*abortedRun*/) {}

  // The two control states: the unit's status (ready) or an operation under way (busy).
  virtual void readyState(uint16_t /*status*/) {}
  virtual void busyState() {}
  // The selection was applied (its control state reported just before).
  virtual void selectionApplied() {}

  // Capture: one request sent, `attemptsLeft` to go; the countdown starts over after a report
  // saying a unit is in loader mode; the capture ended.
  virtual void captureAttempt(int /*attemptsLeft*/) {}
  virtual void captureCountdownReset() {}
  virtual void captureEnded(CaptureEnd /*end*/) {}

  // An operation ended before it began: nothing (more) was sent for it. A capture answered
  // without loader mode is told once per answer; the capture itself goes on repeating.
  virtual void operationNotStarted(const NotStarted& /*why*/) {}

  virtual void runStarted(int32_t /*recordCount*/) {}
  // After each accepted record: PDUs sent since the run started, whole records in the image,
  // records the unit has acknowledged so far.
  virtual void runProgress(uint64_t /*pdusSent*/, int32_t /*recordCount*/,
                           uint64_t /*acknowledged*/) {}
  virtual void runEnded(const RunResult& /*result*/) {}

  virtual void eraseEnded(EraseKind /*kind*/, EraseEnd /*end*/, uint16_t /*status*/) {}
  virtual void resetEnded(ResetEnd /*end*/, uint16_t /*status*/) {}
  // The unit answered a change of address; `reported` is the address it gives now.
  virtual void addressChangeEnded(bool /*accepted*/, protocol::Ipv4Bytes /*reported*/,
                                  uint16_t /*status*/) {}
  virtual void programSpaceInvalidated(uint16_t /*status*/) {}
};

}  // namespace uvq
