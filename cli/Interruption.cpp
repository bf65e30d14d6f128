// SPDX-License-Identifier: Apache-2.0
#include "Interruption.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace uvq::cli {
namespace {

volatile std::sig_atomic_t gSignal = 0;
int gPipe[2] = {-1, -1};

void OnSignal(int number) {
  const int saved = errno;
  if (gSignal == 0) gSignal = number;
  const char byte = 1;
  (void)!::write(gPipe[1], &byte, 1);  // a full pipe already says the same
  errno = saved;
}

}  // namespace

void Interruption::Install() {
  if (gPipe[0] >= 0) return;
  if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) gPipe[0] = gPipe[1] = -1;
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

int Interruption::Descriptor() {
  return gPipe[0];
}

ExitCode Interruption::Pending() {
  switch (gSignal) {
    case 0:
      return ExitCode::Ok;
    case SIGTERM:
    case SIGHUP:
      return ExitCode::Terminated;
    default:
      return ExitCode::Interrupted;
  }
}

}  // namespace uvq::cli
