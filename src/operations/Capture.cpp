#include <string>

#include "operations/Engine.h"
#include "protocol/AccessCode.h"

namespace uvq {

namespace {
constexpr std::string_view kCaptureCaption = "Capture";
}

void Engine::BLDR_ModeClick() {
  // The caption carries the capture's state: exactly "Capture" means none is running.
  if (ports_.controls.text(ControlId::BLDR_Mode) == kCaptureCaption) {
    registry_.empty();
    captureAttempts_ = 0;
  }
  ports_.controls.setEnabled(ControlId::StopCapture, true);
  ++captureAttempts_;
  if (captureAttempts_ > Timing::kCaptureAttempts) {
    ports_.log.addLogLine("Capture Timeout");
    StopCaptureClick();
    events_->captureTimedOut();
    return;
  }
  ports_.controls.setText(ControlId::BLDR_Mode,
                          std::to_string(Timing::kCaptureAttempts - captureAttempts_));
  send(pdus_.capture(registry_.selectedUnit(), {}));
  armTimer(TimerRole::DiscoverySupervisor, Timing::kCaptureIntervalMs);
}

void Engine::DiscoverySupervisor() {
  ports_.timer.disable();
  BLDR_ModeClick();
}

void Engine::StopCaptureClick() {
  ports_.timer.disable();
  ports_.controls.setEnabled(ControlId::StopCapture, false);
  ports_.controls.setEnabled(ControlId::BLDR_Mode, true);
  ports_.controls.setText(ControlId::BLDR_Mode, kCaptureCaption);
}

void Engine::CapturewCodeClick(std::string_view accessCodeUtf8) {
  const protocol::AccessCode code(accessCodeUtf8);
  if (!code.ok()) {
    ports_.log.addLogLine(code.problem());
    return;
  }
  ports_.log.addLogLine("Sending Reboot Command - Click Capture Next");
  ports_.log.addLogLine("");
  send(pdus_.capture(registry_.selectedUnit(), code.bytes()));
}

void Engine::LocateClick() {
  registry_.empty();
  send(pdus_.locate());
}

}  // namespace uvq
