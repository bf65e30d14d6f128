#include "operations/Engine.h"

#include "units/UvqTable.h"

namespace uvq {

Engine::Engine(EnginePorts ports, EngineEvents* events, Timing timing)
    : ports_(ports), timing_(timing), events_(events ? events : &noEvents_) {}

Engine::~Engine() = default;

void Engine::startUp() {
  loaderMode_ = false;
  registry_.empty();
  ports_.controls.setText(ControlId::EIPAddr, "");
  SetBusyState();
  ports_.controls.setEnabled(ControlId::Locate, true);
  ports_.controls.setEnabled(ControlId::StopCapture, false);
  pdus_.setAddressed({});
  sourceSelected_ = false;
  closeProgramFile();
  pdus_.setCounter(0);
}

void Engine::send(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) ports_.link.sendDatagram(bytes);
}

void Engine::armTimer(TimerRole role, int intervalMs) {
  ports_.timer.disable();
  ports_.timer.setHandler(role);
  ports_.timer.setInterval(intervalMs);
  ports_.timer.enable();
}

void Engine::TimerTick(TimerRole role) {
  switch (role) {
    case TimerRole::DiscoverySupervisor:
      DiscoverySupervisor();
      return;
    case TimerRole::ProgramSupervisor:
      ProgramSupervisor();
      return;
    case TimerRole::CatchEraseError:
      CatchEraseError();
      return;
    case TimerRole::None:
      ports_.timer.disable();
      return;
  }
}

void Engine::CUVQselectChange() {
  const int i = registry_.SelectedUvqIndex();
  if (i < 0)
    SetBusyState();
  else
    SetReadyState(protocol::StatusWord(registry_.entry(i)));
  ShowUvqIpAddress();
}

void Engine::ShowUvqIpAddress() {
  const int i = registry_.SelectedUvqIndex();
  if (i < 0) return;
  units::IpTextBuffer buffer;
  ports_.controls.setText(ControlId::EIPAddr, units::IpText(registry_.entry(i), buffer));
}

void Engine::uncheckIpBox() {
  // Clearing a check mark counts as a change of the box, so its handler follows.
  if (!ports_.controls.isChecked(ControlId::CBIPaddr)) return;
  ports_.controls.setChecked(ControlId::CBIPaddr, false);
  CBIPaddrClick();
}

}  // namespace uvq
