#include "operations/Engine.h"
#include "protocol/IpAddressText.h"

namespace uvq {

using protocol::Command;

void Engine::startErase(Command command) {
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) return;  // nothing sent, nothing changed
  send(pdus_.unitCommand(*unit, command));
  SetBusyState();
  armTimer(TimerRole::CatchEraseError, Timing::kEraseWatchdogMs);
}

void Engine::BEraseClick() {
  startErase(Command::EraseDevice);
}
void Engine::BEraseEEClick() {
  startErase(Command::EraseData);
}
void Engine::BErasePRGClick() {
  startErase(Command::EraseProgram);
}

void Engine::CatchEraseError() {
  SetReadyState(0);
  ports_.timer.disable();
  ports_.log.addLogLine("ERROR - No response to ERASE command");
  events_->eraseEnded(false);
}

void Engine::SendResetCommand() {
  if (const std::optional<protocol::UvqId> unit = registry_.selectedUnit())
    send(pdus_.unitCommand(*unit, Command::Reset));
}

void Engine::BResetUVQClick() {
  SendResetCommand();
}

void Engine::SendInvalidateCommand() {
  if (const std::optional<protocol::UvqId> unit = registry_.selectedUnit())
    send(pdus_.unitCommand(*unit, Command::InvalidateProgram));
}

void Engine::Button2Click() {
  registry_.empty();
}

void Engine::CBIPaddrClick() {
  if (registry_.selector().text().empty()) {
    uncheckIpBox();
    return;
  }
  const bool editing = ports_.controls.isChecked(ControlId::CBIPaddr);
  ports_.controls.setEnabled(ControlId::EIPAddr, editing);
  ports_.controls.setEnabled(ControlId::BUpdateUVQ, editing);
  ShowUvqIpAddress();
}

void Engine::SendIpAddressCommand() {
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) {
    ports_.controls.setText(ControlId::EIPAddr, "");
    return;
  }
  const auto address = protocol::ParseUnitIpAddress(ports_.controls.text(ControlId::EIPAddr));
  const auto bytes = pdus_.setIpAddress(*unit, address);
  if (bytes.empty()) {
    ports_.controls.setText(ControlId::EIPAddr, "");
    return;
  }
  send(bytes);
}

void Engine::BUpdateUVQClick() {
  ports_.controls.setEnabled(ControlId::EIPAddr, false);
  if (ports_.controls.isChecked(ControlId::CBIPaddr)) SendIpAddressCommand();
  uncheckIpBox();
}

}  // namespace uvq
