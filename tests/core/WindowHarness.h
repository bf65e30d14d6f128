// SPDX-License-Identifier: Apache-2.0
#pragma once

// The window presenter on the loader service, wired to recording ports (tests/support): every
// datagram sent, every log line and every control is kept; the timer only remembers how it was
// armed, so tests fire its handler instead of waiting.
#include <QtTest>

#include <memory>
#include <string>
#include <vector>

#include "FakeControls.h"
#include "FakePorts.h"
#include "RecordingOutcomes.h"
#include "operations/LoaderService.h"
#include "presenter/WindowPresenter.h"

namespace uvq::test {

using presenter::ControlId;

// The window as its handlers see it: the presenter's handlers, and the service's state.
struct WindowUnderTest {
  LoaderService& service;
  presenter::WindowPresenter& window;

  void ProcessStatusReply(const Bytes& datagram) { window.ProcessStatusReply(datagram); }
  void TimerTick(TimerRole role) { window.TimerTick(role); }
  void BLDR_ModeClick() { window.BLDR_ModeClick(); }
  void StopCaptureClick() { window.StopCaptureClick(); }
  void CapturewCodeClick(std::string_view code) { window.CapturewCodeClick(code); }
  void LocateClick() { window.LocateClick(); }
  void BSourceClick(std::optional<std::string> chosen) { window.BSourceClick(std::move(chosen)); }
  void BProgramClick() { window.BProgramClick(); }
  void BEraseClick() { window.BEraseClick(); }
  void BEraseEEClick() { window.BEraseEEClick(); }
  void BErasePRGClick() { window.BErasePRGClick(); }
  void BResetUVQClick() { window.BResetUVQClick(); }
  void SendInvalidateCommand() { window.SendInvalidateCommand(); }
  void Button2Click() { window.Button2Click(); }
  void CBIPaddrClick() { window.CBIPaddrClick(); }
  void BUpdateUVQClick() { window.BUpdateUVQClick(); }
  void CUVQselectChange(std::string text) { window.CUVQselectChange(std::move(text)); }

  units::UnitRegistry& registry() { return service.registry(); }
  protocol::PduBuilder& pdus() { return service.pdus(); }
  bool loaderMode() const { return service.loaderMode(); }
  bool fileOpen() const { return service.fileOpen(); }
  int captureAttempts() const { return service.captureAttempts(); }
};

struct Harness {
  RecordingLink link;
  RecordingLog log;
  RecordingTimer timer;
  FakeControls controls;
  FixedClock clock;
  CountingTone tone;
  MemoryFileSystem files;
  LoaderService service;
  presenter::WindowPresenter window;
  WindowUnderTest engine{service, window};
  RecordingOutcomes outcomes;

  explicit Harness(Timing timing = {})
      : service(ServicePorts{link, log, timer, clock, tone, files}, timing),
        window(service, controls, log) {
    service.addListener(&outcomes);
    window.FormCreate();
  }

  // A status reply image as a unit sends it (20 bytes).
  static Bytes reply(uint16_t seq, uint8_t type, uint16_t id, uint16_t status,
                     std::array<uint8_t, 4> ip = {10, 0, 0, 7}, uint8_t dataSeq = 0) {
    Bytes r(20, 0);
    r[0] = 0x5A;
    r[1] = 0xA5;
    r[4] = static_cast<uint8_t>(seq >> 8);
    r[5] = static_cast<uint8_t>(seq);
    r[6] = type;
    r[10] = static_cast<uint8_t>(id >> 8);
    r[11] = static_cast<uint8_t>(id);
    std::copy(ip.begin(), ip.end(), r.begin() + 12);
    r[16] = static_cast<uint8_t>(status >> 8);
    r[17] = static_cast<uint8_t>(status);
    r[18] = dataSeq;
    return r;
  }
  // The reply a unit gives to the last PDU built.
  void answer(uint8_t type, uint16_t id, uint16_t status,
              std::array<uint8_t, 4> ip = {10, 0, 0, 7}) {
    const uint16_t seq = service.pdus().lastNumberSent().value_or(0);
    window.ProcessStatusReply(reply(seq, type, id, status, ip));
  }
  // Registers a unit and selects it, as a capture reply does.
  void registerUnit(uint16_t id, uint16_t status = 0x4000) {
    window.LocateClick();
    answer(0, id, status);
  }
  // The ready state for `status`, reached as a unit's report brings it.
  void readyState(uint16_t status) { registerUnit(0x0102, status); }
  // The busy state, as a selector naming no unit brings it.
  void busyState() { window.CUVQselectChange(""); }
  void fire() {
    QVERIFY(timer.enabled);
    window.TimerTick(timer.role);
  }
  std::vector<std::string> takeLog() { return std::exchange(log.lines, {}); }
  bool enabled(ControlId id) const { return controls.isEnabled(id); }
};

}  // namespace uvq::test
