// SPDX-License-Identifier: Apache-2.0
#include "operations/LoaderService.h"

namespace uvq {

using protocol::Command;

void LoaderService::erase(EraseKind kind) {
  CallGuard guard(*this);
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) return notStarted(ServiceOperation::Erase, NotStartedReason::NothingSelected);
  if (busy()) return notStarted(ServiceOperation::Erase, NotStartedReason::Busy);
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

// False when no unit is selected: nothing is sent.
bool LoaderService::sendUnitCommand(Command command) {
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (unit) send(pdus_.unitCommand(*unit, command));
  return unit.has_value();
}

void LoaderService::reset() {
  CallGuard guard(*this);
  if (!sendUnitCommand(Command::Reset))
    notStarted(ServiceOperation::Reset, NotStartedReason::NothingSelected);
}

void LoaderService::invalidate() {
  CallGuard guard(*this);
  if (!sendUnitCommand(Command::InvalidateProgram))
    notStarted(ServiceOperation::Invalidate, NotStartedReason::NothingSelected);
}

void LoaderService::setUnitAddress(const std::optional<protocol::Ipv4Bytes>& address) {
  CallGuard guard(*this);
  const std::optional<protocol::UvqId> unit = registry_.selectedUnit();
  if (!unit) return notStarted(ServiceOperation::SetAddress, NotStartedReason::NothingSelected);
  const auto bytes = pdus_.setIpAddress(*unit, address);
  requestedAddress_ = address;
  send(bytes);
}

}  // namespace uvq
