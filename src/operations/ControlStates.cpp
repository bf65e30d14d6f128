#include "operations/ControlStates.h"

#include "operations/Engine.h"
#include "protocol/StatusFlags.h"

namespace uvq {
namespace {

void Apply(Controls& controls, ControlId id, Change change, bool sourceSelected) {
  switch (change) {
    case Change::Keep:
      return;
    case Change::Enable:
      controls.setEnabled(id, true);
      return;
    case Change::Disable:
      controls.setEnabled(id, false);
      return;
    case Change::EnableIfSourceSelected:
      controls.setEnabled(id, sourceSelected);
      return;
  }
}

}  // namespace

void Engine::SetReadyState(uint16_t status) {
  const bool inLoader = status & protocol::Status::kLoaderMode;
  loaderMode_ = false;
  if (inLoader) ports_.timer.disable();
  for (const ControlStateRow& row : kControlStates) {
    Apply(ports_.controls, row.control, inLoader ? row.readyLoader : row.readyPlain,
          sourceSelected_);
    if (row.control == ControlId::CBIPaddr) uncheckIpBox();
  }
  if (inLoader) {
    loaderMode_ = true;
    events_->loaderModeReached();
  }
}

void Engine::SetBusyState() {
  loaderMode_ = false;
  for (const ControlStateRow& row : kControlStates) {
    Apply(ports_.controls, row.control, row.busy, sourceSelected_);
    if (row.control == ControlId::CBIPaddr) uncheckIpBox();
  }
}

}  // namespace uvq
