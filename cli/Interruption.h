// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ExitCode.h"

namespace uvq::cli {

// SIGINT, SIGTERM and SIGHUP (as SIGTERM) for the run loop. The handler only notes the signal and
// writes a byte to a pipe the loop waits on; it is installed without SA_RESTART, so a receive
// waiting for a reply returns at once. The loop then stops every session itself, so no run ends
// without a trace.
class Interruption {
 public:
  static void Install();
  // The read end of the pipe: readable once a signal came (-1 before Install).
  static int Descriptor();
  // The exit code the signal asks for (130 for SIGINT, 143 for SIGTERM and SIGHUP), or Ok when none
  // came.
  static ExitCode Pending();
};

}  // namespace uvq::cli
