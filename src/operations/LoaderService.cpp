// SPDX-License-Identifier: Apache-2.0
#include "operations/LoaderService.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/StatusFlags.h"

namespace uvq {

using namespace protocol;

LoaderService::CallGuard::CallGuard(LoaderService& service) : service_(service) {
  if (service_.depth_ > 0)
    throw std::logic_error("loader service called from inside one of its own operations");
  ++service_.depth_;
}

UnitReport ReportOf(const ReplyImage& reply, bool fromAddressedUnit) {
  UnitReport report;
  report.id = ReplyUvqId(reply);
  std::copy_n(reply.begin() + ReplyOffset::kIp, report.ip.size(), report.ip.begin());
  report.status = StatusWord(reply);
  report.type = ReplyType(reply);
  report.sequence = EchoedSequence(reply);
  report.dataSequence = DataSequence(reply);
  report.fromAddressedUnit = fromAddressedUnit;
  return report;
}

LoaderService::LoaderService(ServicePorts ports, Timing timing) : ports_(ports), timing_(timing) {}

LoaderService::~LoaderService() = default;

void LoaderService::addListener(LoaderOutcomes* listener) {
  if (listener && std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
    listeners_.push_back(listener);
}

void LoaderService::removeListener(LoaderOutcomes* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void LoaderService::startUp() {
  CallGuard guard(*this);
  loaderMode_ = false;
  registry_.empty();
  setBusyState();
  pdus_.setAddressed({});
  sourceSelected_ = false;
  closeProgramFile();
  pdus_.setCounter(0);
}

void LoaderService::send(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) ports_.link.sendDatagram(bytes);
}

// Whoever arms the shared timer last owns it; every disabling ends a capture's repeats.
void LoaderService::disableTimer() {
  ports_.timer.disable();
  captureTimerArmed_ = false;
  armedRole_ = TimerRole::None;
}

void LoaderService::armTimer(TimerRole role, int intervalMs) {
  disableTimer();
  ports_.timer.setHandler(role);
  ports_.timer.setInterval(intervalMs);
  ports_.timer.enable();
  captureTimerArmed_ = role == TimerRole::DiscoverySupervisor;
  armedRole_ = role;
}

bool LoaderService::busy() const {
  return (file_ && armedRole_ == TimerRole::ProgramSupervisor) ||
         armedRole_ == TimerRole::CatchEraseError;
}

void LoaderService::notStarted(ServiceOperation operation, NotStartedReason reason, uint16_t status,
                               std::string detail) {
  const NotStarted why{operation, reason, status, std::move(detail)};
  notify([&](LoaderOutcomes& l) { l.operationNotStarted(why); });
}

void LoaderService::timerTick(TimerRole role) {
  CallGuard guard(*this);
  flushSetAsideSummary();
  switch (role) {
    case TimerRole::DiscoverySupervisor:
      disableTimer();
      discoverySupervisor();
      return;
    case TimerRole::ProgramSupervisor:
      programSupervisor();
      return;
    case TimerRole::CatchEraseError:
      catchEraseError();
      return;
    case TimerRole::None:
      disableTimer();
      return;
  }
}

void LoaderService::setSelectorText(std::string text) {
  CallGuard guard(*this);
  registry_.selector().setText(text);
  applySelection();
}

void LoaderService::pickUnit(int index) {
  CallGuard guard(*this);
  units::Selector& selector = registry_.selector();
  if (index < 0 || index >= selector.count()) return;
  selector.setText(selector.items()[static_cast<size_t>(index)]);
  selector.setCurrentIndex(index);
  applySelection();
}

void LoaderService::selectUnit(UvqId id) {
  CallGuard guard(*this);
  registry_.selector().setText(units::IdText(id));
  applySelection();
}

void LoaderService::clearUnits() {
  CallGuard guard(*this);
  registry_.empty();
}

// The selected unit's last status decides the control state; no unit, the busy state.
void LoaderService::applySelection() {
  const int i = registry_.SelectedUvqIndex();
  if (i < 0)
    setBusyState();
  else
    setReadyState(StatusWord(registry_.entry(i)));
  notify([](LoaderOutcomes& l) { l.selectionApplied(); });
}

void LoaderService::setReadyState(uint16_t status) {
  const bool inLoader = status & Status::kLoaderMode;
  loaderMode_ = false;
  bool endsCapture = false;
  if (inLoader) {
    endsCapture = captureTimerArmed_;
    disableTimer();
  }
  notify([status](LoaderOutcomes& l) { l.readyState(status); });
  if (inLoader) loaderMode_ = true;
  if (endsCapture) notify([](LoaderOutcomes& l) { l.captureEnded(CaptureEnd::InLoaderMode); });
}

void LoaderService::setBusyState() {
  loaderMode_ = false;
  notify([](LoaderOutcomes& l) { l.busyState(); });
}

}  // namespace uvq
