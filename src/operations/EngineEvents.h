#pragma once

#include <cstdint>

#include "protocol/ReplyLayout.h"

namespace uvq {

enum class RunOutcome : uint8_t {
  Complete,
  NotInLoaderMode,  // the unit answered with "LDR command while not in LDR_Mode"
  RecordError,      // the unit reported a frame, framing, checksum or missing-end error
  CommsTimeout,     // a record stayed unacknowledged after every resend
  FileError,        // the programming file could not be read during the run
};

// What happened, for front ends that act on outcomes (exit codes, progress, summaries). The
// window needs none of it: everything it shows goes through the log and the controls.
class EngineEvents {
 public:
  virtual ~EngineEvents() = default;
  // Every reply that passed sequence acceptance.
  virtual void replyAccepted(const protocol::ReplyImage& /*reply*/) {}
  // A ready state was applied with the loader-mode bit.
  virtual void loaderModeReached() {}
  virtual void captureTimedOut() {}
  virtual void programmingStarted(int32_t /*recordCount*/) {}
  // After each accepted record: PDUs sent since the run started, whole records in the file.
  virtual void programmingProgress(uint64_t /*pdusSent*/, int32_t /*recordCount*/) {}
  virtual void programmingEnded(RunOutcome /*outcome*/) {}
  virtual void eraseEnded(bool /*answered*/) {}
};

}  // namespace uvq
