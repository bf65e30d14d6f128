// SPDX-License-Identifier: Apache-2.0
#include "presenter/WindowPresenter.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "presenter/ControlStates.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "units/UvqTable.h"

namespace uvq::presenter {

namespace {

constexpr std::string_view kCaptureCaption = "Capture";
constexpr std::string_view kNoEndRecordLine =
    "WARNING - Unit did not report the file finished: the image may lack its end record";

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

WindowPresenter::WindowPresenter(LoaderService& service, Controls& controls, Log& log)
    : service_(service), controls_(controls), log_(log) {
  service_.addListener(this);
}

WindowPresenter::~WindowPresenter() {
  service_.removeListener(this);
}

void WindowPresenter::FormCreate() {
  controls_.setText(ControlId::EIPAddr, "");
  service_.startUp();
  controls_.setEnabled(ControlId::Locate, true);
  controls_.setEnabled(ControlId::StopCapture, false);
}

void WindowPresenter::ProcessStatusReply(std::span<const uint8_t> datagram,
                                         std::optional<DatagramOrigin> origin) {
  // The end of a run does what the three boxes say at the moment its last answer arrives.
  service_.setRunOptions({controls_.isChecked(ControlId::CheckBox1),
                          controls_.isChecked(ControlId::CheckBox2),
                          controls_.isChecked(ControlId::CheckBox3)});
  service_.handleDatagram(datagram, origin);
}

void WindowPresenter::CapturewCodeClick(std::string_view accessCodeUtf8) {
  const protocol::AccessCode code(accessCodeUtf8);
  if (!code.ok()) {
    log_.addLogLine(code.problem());
    return;
  }
  log_.addLogLine("Sending Reboot Command - Click Capture Next");
  log_.addLogLine("");
  service_.liveReboot(code);
}

void WindowPresenter::BSourceClick(std::optional<std::string> chosen) {
  const bool selected = chosen.has_value();
  service_.setSourceFile(std::move(chosen));
  if (selected) controls_.setEnabled(ControlId::BProgram, service_.loaderMode());
  controls_.setText(ControlId::ESource, service_.fileName());
}

bool WindowPresenter::lockSelectedUnit() {
  if (!guard_) return true;
  const std::optional<std::string> refusal = guard_->lockUnit(service_.registry().selectedUnit());
  if (refusal) log_.addLogLine(*refusal);
  return !refusal;
}

void WindowPresenter::unlockUnit() {
  if (guard_) guard_->unlockUnit();
}

// A run holds the unit's lock from its start to its end; a run that did not start holds none.
void WindowPresenter::BProgramClick() {
  if (!lockSelectedUnit()) return;
  try {
    service_.program();
  } catch (...) {
    unlockUnit();
    throw;
  }
  if (!service_.fileOpen()) unlockUnit();
}

void WindowPresenter::EraseClick(ControlId button) {
  // Without a selected unit nothing is sent, and there is nothing to lock.
  const bool sends = service_.registry().selectedUnit().has_value();
  if (sends && !lockSelectedUnit()) return;
  for (const EraseButton& row : kEraseButtons)
    if (row.control == button) return service_.erase(row.kind);
}

void WindowPresenter::eraseEnded(EraseKind /*kind*/, EraseEnd /*end*/, uint16_t /*status*/) {
  unlockUnit();
}

void WindowPresenter::CBIPaddrClick() {
  if (service_.registry().selector().text().empty()) {
    uncheckIpBox();
    return;
  }
  const bool editing = controls_.isChecked(ControlId::CBIPaddr);
  controls_.setEnabled(ControlId::EIPAddr, editing);
  controls_.setEnabled(ControlId::BUpdateUVQ, editing);
  ShowUvqIpAddress();
}

void WindowPresenter::BUpdateUVQClick() {
  controls_.setEnabled(ControlId::EIPAddr, false);
  if (controls_.isChecked(ControlId::CBIPaddr)) SendIpAddressCommand();
  uncheckIpBox();
}

void WindowPresenter::SendIpAddressCommand() {
  if (!service_.registry().selectedUnit()) {
    controls_.setText(ControlId::EIPAddr, "");
    return;
  }
  const auto address = protocol::ParseUnitIpAddress(controls_.text(ControlId::EIPAddr));
  if (address && guard_) {
    if (const auto refusal = protocol::NewAddressRefusal(*address, guard_->targetAddress())) {
      log_.addLogLine(*refusal);
      return;
    }
  }
  service_.setUnitAddress(address);
  if (!address) controls_.setText(ControlId::EIPAddr, "");
}

void WindowPresenter::ShowUvqIpAddress() {
  const units::UnitRegistry& registry = service_.registry();
  const int i = registry.SelectedUvqIndex();
  if (i < 0) return;
  units::IpTextBuffer buffer;
  controls_.setText(ControlId::EIPAddr, units::IpText(registry.entry(i), buffer));
}

void WindowPresenter::uncheckIpBox() {
  // Clearing a check mark counts as a change of the box, so its handler follows.
  if (!controls_.isChecked(ControlId::CBIPaddr)) return;
  controls_.setChecked(ControlId::CBIPaddr, false);
  CBIPaddrClick();
}

void WindowPresenter::applyState(bool ready, uint16_t status) {
  const bool inLoader = status & protocol::Status::kLoaderMode;
  const bool sourceSelected = service_.sourceSelected();
  for (const ControlStateRow& row : kControlStates) {
    const Change change = !ready ? row.busy : inLoader ? row.readyLoader : row.readyPlain;
    Apply(controls_, row.control, change, sourceSelected);
    if (row.control == ControlId::CBIPaddr) uncheckIpBox();
  }
}

void WindowPresenter::readyState(uint16_t status) {
  applyState(true, status);
}

void WindowPresenter::busyState() {
  applyState(false, 0);
}

void WindowPresenter::replyDispatched(bool abortedRun) {
  if (!abortedRun) ShowUvqIpAddress();
}

void WindowPresenter::captureAttempt(int attemptsLeft) {
  controls_.setEnabled(ControlId::StopCapture, true);
  controls_.setText(ControlId::BLDR_Mode, std::to_string(attemptsLeft));
}

void WindowPresenter::captureCountdownReset() {
  controls_.setText(ControlId::BLDR_Mode, kCaptureCaption);
}

void WindowPresenter::captureEnded(CaptureEnd end) {
  if (end == CaptureEnd::InLoaderMode) return;  // the ready state has set the controls
  controls_.setEnabled(ControlId::StopCapture, false);
  controls_.setEnabled(ControlId::BLDR_Mode, true);
  controls_.setText(ControlId::BLDR_Mode, kCaptureCaption);
}

void WindowPresenter::runStarted(int32_t /*recordCount*/) {
  shownProgress_ = -1;
}

// The figure counts the PDUs sent since the run started (resends and other commands too), so
// it can pass 100 %. They are counted without the 16-bit wrap of the sequence counter, which
// would make the figure of an image over 65535 records start again from zero.
void WindowPresenter::runProgress(uint64_t pdusSent, int32_t recordCount,
                                  uint64_t /*acknowledged*/) {
  if (recordCount <= 0) return;  // a file shorter than one record has no figure
  const auto figure = static_cast<int32_t>(
      std::min<uint64_t>(pdusSent * 10000u / static_cast<uint64_t>(recordCount), INT32_MAX));
  if (figure == shownProgress_) return;  // same text as shown
  shownProgress_ = figure;
  // Single precision and the locale's decimal separator, as the caption always showed it.
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %%",
                static_cast<double>(static_cast<float>(figure) / 100.0f));
  controls_.setText(ControlId::Form, text);
}

void WindowPresenter::runEnded(const RunResult& result) {
  unlockUnit();
  if (result.end != RunEnd::Complete) return;
  controls_.setText(ControlId::Form, "Ethernet Loader - Programing Completed");
  // Every record was taken, but a unit that never said the file was finished has no end
  // record and will not leave the loader for the program.
  if (!result.fileFinished) log_.addLogLine(kNoEndRecordLine);
}

void WindowPresenter::addressChangeEnded(bool /*accepted*/, protocol::Ipv4Bytes /*reported*/,
                                         uint16_t /*status*/) {
  controls_.setEnabled(ControlId::CBIPaddr, true);
  uncheckIpBox();
  controls_.setEnabled(ControlId::EIPAddr, false);
  controls_.setEnabled(ControlId::BUpdateUVQ, false);
}

}  // namespace uvq::presenter
