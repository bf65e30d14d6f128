#include "operations/LoaderService.h"

namespace uvq {

using protocol::Command;

void LoaderService::erase(EraseKind kind) {
  CallGuard guard(*this);
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) return;  // nothing sent, nothing changed
  send(pdus_.unitCommand(*unit, EraseRow(kind).command));
  erasing_ = kind;
  setBusyState();
  armTimer(TimerRole::CatchEraseError, timing_.eraseWatchdogMs);
}

void LoaderService::catchEraseError() {
  setReadyState(0);
  disableTimer();
  ports_.log.addLogLine("ERROR - No response to ERASE command");
  const EraseKind kind = erasing_.value_or(EraseKind::Device);
  erasing_.reset();
  notify([kind](LoaderOutcomes& l) { l.eraseEnded(kind, EraseEnd::NoAnswer, 0); });
}

void LoaderService::sendUnitCommand(Command command) {
  if (const std::optional<protocol::UvqId> unit = registry_.selectedUnit())
    send(pdus_.unitCommand(*unit, command));
}

void LoaderService::reset() {
  CallGuard guard(*this);
  sendUnitCommand(Command::Reset);
}

void LoaderService::invalidate() {
  CallGuard guard(*this);
  sendUnitCommand(Command::InvalidateProgram);
}

void LoaderService::setUnitAddress(const std::optional<protocol::Ipv4Bytes>& address) {
  CallGuard guard(*this);
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) return;
  const auto bytes = pdus_.setIpAddress(*unit, address);
  requestedAddress_ = address;
  send(bytes);
}

}  // namespace uvq
