// SPDX-License-Identifier: Apache-2.0
#include <string>

#include "operations/LoaderService.h"

namespace uvq {

void LoaderService::capture() {
  CallGuard guard(*this);
  if (file_) stopRunForCapture();
  discoverySupervisor();
}

// Capture takes the shared timer, so a run left open would lose its watchdog and never end:
// it is ended here as any other ending ends it, with its file closed and a line of its own.
void LoaderService::stopRunForCapture() {
  ports_.log.addLogLine("Programming stopped by Capture: " + std::to_string(run_.acknowledged) +
                        " of " + std::to_string(recordCount_) + " records written");
  disableTimer();
  endRun(RunEnd::Stopped, 0);
}

// One capture request, by the operator or by the timer's repeat.
void LoaderService::discoverySupervisor() {
  if (captureIdle_) {
    registry_.empty();
    captureAttempts_ = 0;
  }
  ++captureAttempts_;
  if (captureAttempts_ > timing_.captureAttempts) {
    ports_.log.addLogLine("Capture Timeout");
    endCapture(CaptureEnd::TimedOut);
    return;
  }
  captureIdle_ = false;
  const int left = timing_.captureAttempts - captureAttempts_;
  notify([left](LoaderOutcomes& l) { l.captureAttempt(left); });
  send(pdus_.capture(captureTarget(), {}));
  armTimer(TimerRole::DiscoverySupervisor, timing_.captureIntervalMs);
}

void LoaderService::stopCapture() {
  CallGuard guard(*this);
  endCapture(CaptureEnd::Stopped);
}

void LoaderService::endCapture(CaptureEnd end) {
  disableTimer();
  captureIdle_ = true;
  notify([end](LoaderOutcomes& l) { l.captureEnded(end); });
}

void LoaderService::liveReboot(const protocol::AccessCode& code) {
  CallGuard guard(*this);
  if (!code.ok()) return;
  send(pdus_.capture(captureTarget(), code.bytes()));
}

std::optional<protocol::UvqId> LoaderService::captureTarget() const {
  return captureUnit_ ? captureUnit_ : registry_.selectedUnit();
}

void LoaderService::locate() {
  CallGuard guard(*this);
  registry_.empty();
  send(pdus_.locate());
}

}  // namespace uvq
