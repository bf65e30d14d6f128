// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ExitCode.h"
#include "fleet/StopSource.h"

namespace uvq::cli {

// SIGINT, SIGTERM and SIGHUP as the process's stop request, which the engines poll and wait on.
// The handler only passes the signal's cause on (a byte to a pipe); it is installed without
// SA_RESTART, so a receive waiting for a reply returns at once. The run loop then stops every
// session itself, so no run ends without a trace.
class Interruption {
 public:
  static void Install();
  // The process's stop request (requested by a signal once Install() ran).
  static fleet::StopSource& Source();
  // The exit code the signal asks for (130 for SIGINT, 143 for SIGTERM and SIGHUP), or Ok when
  // none came.
  static ExitCode Pending();
};

}  // namespace uvq::cli
