#include "operations/LoaderService.h"

namespace uvq {

void LoaderService::capture() {
  CallGuard guard(*this);
  discoverySupervisor();
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
