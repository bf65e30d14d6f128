// SPDX-License-Identifier: Apache-2.0
#pragma once

// A plain run: one job on every target of a list (or on every address of a scan's range), all
// at once on one thread, recorded in the history and the run log. Every target is resolved,
// the image read and the history and log opened before the first datagram leaves; what the run
// found comes back typed, for the front end to show and to turn into its exit code.

#include <memory>
#include <string>
#include <vector>

#include "fleet/BatchRun.h"
#include "fleet/RunRecorder.h"
#include "fleet/Session.h"
#include "fleet/StopSource.h"
#include "fleet/TargetList.h"
#include "jobs/JobPlan.h"

namespace uvq::fleet {

struct PlainRunRequest {
  // Each target's job; plan.unit is the unit of every target whose line names none.
  jobs::JobPlan plan;
  std::string imageFile;  // Program: read once, before anything is sent
  bool allowPartialRecord = false;
  // None (not for a scan): the address of the settings file beside the program, else the
  // built-in default, either said through PlainRunEvents::targetNotice.
  std::vector<TargetEntry> targets;
  std::string scanRange;  // Scan: "FIRST-LAST", its only addresses
  int scanRate = 50;      // Scan: addresses asked per second
  RecordingChoice recording;
  std::string logFile;     // one JSON line per target appended here; "" for none
  std::string executable;  // the program whose settings file names the default target
  const StopSource* stop =
      nullptr;  // a stop ends every session, each saying where it left its unit
};

// What kept a run from starting: nothing was sent.
enum class PlainRunRefusal {
  None,
  Usage,    // a bad or repeated target or range, targets beside a scan's range, or a new address
            // the unit could not be reached at again
  Network,  // a target's host name cannot be resolved
  File,     // the image cannot be used, or the run log cannot be opened
  History,  // the history cannot be opened
};

// One target's end.
struct PlainTargetResult {
  ResolvedTarget target;
  std::string name;  // as messages name the target ("10.1.2.3")
  SessionResult result;
};

struct PlainRunResult {
  PlainRunRefusal refusal = PlainRunRefusal::None;
  std::string problem;                     // the refusal in words
  std::vector<PlainTargetResult> targets;  // in the order given (a scan: its range's)
  StopCause stoppedBy = StopCause::None;   // None: every session ran to its end
  // The targets ("10.1.2.3 (unit 0100)") whose result reached neither the database nor the
  // spool: such a run must not pass for a recorded one.
  std::vector<std::string> unrecorded;
  std::string logProblem;  // the run log could not be appended; "" when it was (or none asked)
};

// What a plain run tells its front end, on the run's thread: each session's events, the batch's
// ticks and rounds, the history's problems, and these.
class PlainRunEvents : public SessionEvents, public BatchEvents, public RecorderEvents {
 public:
  // No target was given: the run aims at the settings file's address or the built-in default,
  // and says so, so that nobody aims at it unknowingly.
  virtual void targetNotice(const std::string& notice) = 0;
  // Every check passed and every session made: the next step sends. Stop requests belong to the
  // run from here on.
  virtual void starting(const std::vector<std::unique_ptr<Session>>& sessions) = 0;
  // The batch has ended: before the rows of sessions that never ended are completed.
  virtual void batchEnded() {}
};

// Runs `request` to its end (or its stop). The history's rows of a target are completed on the
// first tick after its session ended, so a run killed half way leaves the rest "abandoned".
PlainRunResult RunPlainBatch(const PlainRunRequest& request, PlainRunEvents& events);

}  // namespace uvq::fleet
