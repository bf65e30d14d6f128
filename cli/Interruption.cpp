// SPDX-License-Identifier: Apache-2.0
#include "Interruption.h"

#include <signal.h>

#include "Fleet.h"

namespace uvq::cli {
namespace {

fleet::StopSource* gSource = nullptr;

void OnSignal(int number) {
  if (!gSource) return;
  switch (number) {
    case SIGTERM:
      return gSource->request(StopCause::Terminate);
    case SIGHUP:
      return gSource->request(StopCause::Hangup);
    default:
      return gSource->request(StopCause::Interrupt);
  }
}

}  // namespace

fleet::StopSource& Interruption::Source() {
  static fleet::StopSource source;
  return source;
}

void Interruption::Install() {
  if (gSource) return;
  gSource = &Source();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting receive returns with EINTR
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A closed terminal or ssh session ends the run as SIGTERM does: with each unit's state and
  // the log, not silently half way through a unit.
  ::sigaction(SIGHUP, &action, nullptr);
}

ExitCode Interruption::Pending() {
  return StopExitCode(Source().cause());
}

}  // namespace uvq::cli
