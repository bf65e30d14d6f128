// SPDX-License-Identifier: Apache-2.0
#pragma once

// The fleet's engines, the few of their names the command line's files use most, and what their
// results mean as exit codes: the one mapping from a session's outcome (and what stopped it) to
// the code.
#include "ExitCode.h"
#include "fleet/BatchRun.h"
#include "fleet/ClaimToken.h"
#include "fleet/ImageCheck.h"
#include "fleet/RolloutStation.h"
#include "fleet/RunLog.h"
#include "fleet/RunRecorder.h"
#include "fleet/Session.h"
#include "fleet/SessionPool.h"
#include "fleet/StationRunner.h"
#include "fleet/StopSource.h"
#include "fleet/TargetList.h"

namespace uvq::cli {

using fleet::kMaxTargetsFileSize;
using fleet::NormalizedUnitId;
using fleet::ReadTargetLines;
using fleet::RunRecorder;
using fleet::Session;
using fleet::SessionPool;
using fleet::SessionResult;
using fleet::StopCause;
using fleet::StopSource;
using fleet::TargetEntry;
using fleet::TargetFileError;
using fleet::TimePoint;
using fleet::UnitSeen;

// SIGINT is 130; SIGTERM and SIGHUP 143; Ok when nothing asked to stop.
constexpr ExitCode StopExitCode(StopCause cause) {
  switch (cause) {
    case StopCause::None:
      return ExitCode::Ok;
    case StopCause::Interrupt:
      return ExitCode::Interrupted;
    case StopCause::Terminate:
    case StopCause::Hangup:
      return ExitCode::Terminated;
  }
  return ExitCode::Interrupted;
}

// A station's run of a rollout: a refusal's code, a signal's, held (cancelled, or paused when
// the station ends at a pause), or the outcome's (stopped by a threshold or a unit that failed
// here: the unit error's).
inline ExitCode CodeOf(const fleet::RolloutRunResult& result) {
  switch (result.refusal) {
    case fleet::RolloutRunResult::Refusal::NoSuchRollout:
      return ExitCode::Usage;
    case fleet::RolloutRunResult::Refusal::Image:
      return ExitCode::File;
    case fleet::RolloutRunResult::Refusal::History:
      return ExitCode::History;
    case fleet::RolloutRunResult::Refusal::None:
      break;
  }
  if (result.stoppedBy != StopCause::None) return StopExitCode(result.stoppedBy);
  if (result.state == rollouts::RolloutState::Paused ||
      result.state == rollouts::RolloutState::Cancelled)
    return ExitCode::Held;
  return ExitCodeOf(result.outcome);
}

// A session's exit code.
inline ExitCode CodeOf(const SessionResult& result) {
  const ExitCode signal = StopExitCode(result.stoppedBy);
  return ExitCodeOf(result.outcome, signal == ExitCode::Ok ? ExitCode::Interrupted : signal);
}

}  // namespace uvq::cli
