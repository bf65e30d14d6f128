// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "operations/LoaderService.h"
#include "ports/Ports.h"
#include "presenter/Controls.h"
#include "presenter/UnitGuard.h"

namespace uvq::presenter {

// The operator window's behaviour on the loader service, without widgets: the control states,
// the captions (capture countdown, run progress, completion), the window's own log lines and
// the check boxes read when the window reads them. Handlers keep the window's control and
// event names. The window binds its widgets to `Controls` and calls one handler per event;
// dialogs are the window's: it asks first and hands the answer to the handler.
class WindowPresenter final : private LoaderOutcomes {
 public:
  WindowPresenter(LoaderService& service, Controls& controls, Log& log);
  ~WindowPresenter() override;
  WindowPresenter(const WindowPresenter&) = delete;
  WindowPresenter& operator=(const WindowPresenter&) = delete;

  LoaderService& service() { return service_; }
  // Programming runs and erases then hold the unit's lock; re-addressing checks the target.
  void setUnitGuard(UnitGuard* guard) { guard_ = guard; }

  // The service's part of start-up: table emptied, IP display cleared, busy state.
  void FormCreate();
  void ProcessStatusReply(std::span<const uint8_t> datagram,
                          std::optional<DatagramOrigin> origin = std::nullopt);
  void TimerTick(TimerRole role) { service_.timerTick(role); }

  // Capture and live reboot.
  void BLDR_ModeClick() { service_.capture(); }
  void StopCaptureClick() { service_.stopCapture(); }
  void CapturewCodeClick(std::string_view accessCodeUtf8);
  void LocateClick() { service_.locate(); }

  // Programming. `chosen`: what the file dialog gave, nullopt when it was cancelled.
  void BSourceClick(std::optional<std::string> chosen);
  void BProgramClick();

  // Erase, reset, the unit list and re-addressing.
  void BEraseClick() { EraseClick(ControlId::BErase); }
  void BEraseEEClick() { EraseClick(ControlId::BEraseEE); }
  void BErasePRGClick() { EraseClick(ControlId::BErasePRG); }
  void EraseClick(ControlId button);
  void BResetUVQClick() { service_.reset(); }
  void SendInvalidateCommand() { service_.invalidate(); }
  void Button2Click() { service_.clearUnits(); }
  void CBIPaddrClick();
  void BUpdateUVQClick();
  // The selector: a pick from its list, or its text as typed.
  void CUVQselectPick(int index) { service_.pickUnit(index); }
  void CUVQselectChange(std::string text) { service_.setSelectorText(std::move(text)); }

 private:
  // LoaderOutcomes
  void readyState(uint16_t status) override;
  void busyState() override;
  void selectionApplied() override { ShowUvqIpAddress(); }
  void replyDispatched(bool abortedRun) override;
  void captureAttempt(int attemptsLeft) override;
  void captureCountdownReset() override;
  void captureEnded(CaptureEnd end) override;
  void runStarted(int32_t recordCount) override;
  void runProgress(uint64_t pdusSent, int32_t recordCount, uint64_t acknowledged) override;
  void runEnded(const RunResult& result) override;
  void addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) override;
  void eraseEnded(EraseKind kind, EraseEnd end, uint16_t status) override;

  // Takes the selected unit's lock; false (and one log line) when it is held elsewhere.
  bool lockSelectedUnit();
  void unlockUnit();

  void applyState(bool ready, uint16_t status);
  void ShowUvqIpAddress();
  void uncheckIpBox();
  void SendIpAddressCommand();

  LoaderService& service_;
  Controls& controls_;
  Log& log_;
  UnitGuard* guard_ = nullptr;
  int32_t shownProgress_ = -1;  // the figure in the caption, so an unchanged one is not redrawn
};

}  // namespace uvq::presenter
