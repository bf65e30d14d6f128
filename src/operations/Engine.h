#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "operations/EngineEvents.h"
#include "operations/Ports.h"
#include "protocol/ControlPdu.h"
#include "protocol/ReplyLayout.h"
#include "units/UvqTable.h"

namespace uvq {

struct EnginePorts {
  Link& link;
  Log& log;
  SharedTimer& timer;
  Controls& controls;
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

// Figures of the loader's exchanges. The window always uses these defaults; the command line
// may stretch the programming watchdog for slow links.
struct Timing {
  static constexpr int kCaptureIntervalMs = 500;
  static constexpr int kCaptureAttempts = 150;
  static constexpr int kEraseWatchdogMs = 20000;
  int programWatchdogMs = 5000;
  int programResends = 4;  // sends of one record: the first and this many more
};

// The loader's behaviour, shared by every front end: the reply dispatcher, the two control
// states, capture, the programming run, erase, reset and re-addressing. It runs on one thread:
// clicks, timer ticks and replies are handed to it one at a time. Method names follow the
// controls and timer roles that start them.
class Engine {
 public:
  explicit Engine(EnginePorts ports, EngineEvents* events = nullptr, Timing timing = {});
  ~Engine();

  // The engine's part of start-up: flags and counters reset, selector emptied, busy state.
  void startUp();

  // Replies (one datagram of 1 to 256 bytes as received).
  void ProcessStatusReply(std::span<const uint8_t> datagram);
  // A tick of the shared timer for the role that armed it.
  void TimerTick(TimerRole role);

  // Capture and live reboot.
  void BLDR_ModeClick();
  void StopCaptureClick();
  void CapturewCodeClick(std::string_view accessCodeUtf8);
  void LocateClick();

  // Programming. `chooseFile` shows the file dialog; nullopt when the operator cancels.
  void BSourceClick(const std::function<std::optional<std::string>()>& chooseFile);
  void BProgramClick();

  // Erase, reset, registry and re-addressing.
  void BEraseClick();
  void BEraseEEClick();
  void BErasePRGClick();
  void BResetUVQClick();
  // Marks the unit's program space invalid; no control of the window sends it.
  void SendInvalidateCommand();
  void Button2Click();
  void CBIPaddrClick();
  void BUpdateUVQClick();
  void CUVQselectChange();

  // Control states.
  void SetReadyState(uint16_t status);
  void SetBusyState();

  // State, for front ends and tests.
  units::UnitRegistry& registry() { return registry_; }
  const units::UnitRegistry& registry() const { return registry_; }
  protocol::PduBuilder& pdus() { return pdus_; }
  const protocol::PduBuilder& pdus() const { return pdus_; }
  bool loaderMode() const { return loaderMode_; }
  bool sourceSelected() const { return sourceSelected_; }
  bool fileOpen() const { return file_ != nullptr; }
  const std::string& fileName() const { return fileName_; }
  uint16_t captureAttempts() const { return captureAttempts_; }
  int retries() const { return retries_; }
  void setEvents(EngineEvents* events) { events_ = events ? events : &noEvents_; }

 private:
  // Dispatcher pieces.
  bool AnswersLastPdu(const protocol::ReplyImage& reply) const;
  void dispatchByType(const protocol::ReplyImage& reply);
  void ReportStatusReply(const protocol::ReplyImage& reply);
  void ShowUvqIpAddress();
  void uncheckIpBox();
  void finishErase(const protocol::ReplyImage& reply, std::string_view outcome);

  // Capture.
  void DiscoverySupervisor();

  // Programming.
  bool ProcessRecordAcknowledge(const protocol::ReplyImage& reply, uint16_t status);
  void completeRun(const protocol::ReplyImage& reply, uint16_t status);
  void ProgramSupervisor();
  void SendProgramRecord();
  size_t readRecord();
  void showProgress();
  void closeProgramFile();
  void armTimer(TimerRole role, int intervalMs);

  // Erase and friends.
  void startErase(protocol::Command command);
  void CatchEraseError();
  void SendResetCommand();
  void SendIpAddressCommand();
  void send(std::span<const uint8_t> bytes);

  EnginePorts ports_;
  Timing timing_;
  EngineEvents noEvents_;
  EngineEvents* events_;

  protocol::PduBuilder pdus_;
  units::UnitRegistry registry_;
  protocol::ReplyImage reply_{};

  bool loaderMode_ = false;
  bool sourceSelected_ = false;
  uint16_t captureAttempts_ = 0;

  std::string fileName_;
  std::unique_ptr<RecordFile> file_;  // set while a programming run holds its file: FileOpen
  protocol::Record record_{};         // the record read last; kept between reads and runs
  int32_t recordCount_ = 0;
  int64_t fileSize_ = 0;       // when the run started
  int64_t bytesRead_ = 0;      // by the run so far
  uint64_t runStartPdus_ = 0;  // PDUs built before the run's first record
  int retries_ = 0;
  int32_t shownProgress_ = -1;  // the figure in the caption, so an unchanged one is not redrawn
};

}  // namespace uvq
