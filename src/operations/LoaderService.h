// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "operations/EraseKinds.h"
#include "operations/Outcomes.h"
#include "ports/Ports.h"
#include "protocol/AccessCode.h"
#include "protocol/ControlPdu.h"
#include "protocol/ReplyLayout.h"
#include "units/LineBudget.h"
#include "units/UvqTable.h"

namespace uvq {

struct ServicePorts {
  Link& link;
  Log& log;
  SharedTimer& timer;
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

// Where a datagram came from and where the link last sent to, as far as the front end's link
// can tell. During a programming run only the target may answer it.
struct DatagramOrigin {
  protocol::Ipv4Bytes sender{};
  protocol::Ipv4Bytes target{};
};

// Figures of the loader's exchanges. The defaults are the window's; the command line may
// stretch them for slow links or shorten them for batches.
struct Timing {
  int captureIntervalMs = 500;
  int captureAttempts = 150;
  int eraseWatchdogMs = 20000;
  int programWatchdogMs = 5000;
  int programResends = 4;  // sends of one record: the first and this many more
};

// Larger than any unit's memory many times over: a file this big is no image, and is not read.
inline constexpr int64_t kMaxImageBytes = int64_t{256} << 20;

// What a completed run does at its end.
struct RunOptions {
  bool beep = true;
  bool autoReset = true;
  bool autoClear = true;
};

// The loader: the reply dispatcher, capture, the programming run, erase, reset, re-addressing
// and the UVQ table with its selection, driven by typed operations and telling what happened
// as typed outcomes (LoaderOutcomes) and log lines. It runs on one thread: operations, timer
// ticks and replies are handed to it one at a time, and none of them may be started from
// inside another (an outcome listener calling back is refused with std::logic_error).
class LoaderService {
 public:
  explicit LoaderService(ServicePorts ports, Timing timing = {});
  ~LoaderService();
  LoaderService(const LoaderService&) = delete;
  LoaderService& operator=(const LoaderService&) = delete;

  void addListener(LoaderOutcomes* listener);
  void removeListener(LoaderOutcomes* listener);

  // Flags and counters reset, selector emptied, no file, busy state.
  void startUp();

  // One datagram of 1 to 256 bytes as received; nullopt origin: a link that takes replies from
  // its target only, or cannot say.
  void handleDatagram(std::span<const uint8_t> datagram,
                      std::optional<DatagramOrigin> origin = std::nullopt);
  // A tick of the shared timer for the role that armed it.
  void timerTick(TimerRole role);

  // Capture: one request now and every capture interval until a unit reports loader mode, the
  // attempts run out or it is stopped. Starting afresh empties the UVQ table. Goes to the
  // selected unit, or to ID 0000 (every unit behind the address) when none is selected. A
  // programming run under way is ended first (RunEnd::Stopped).
  void capture();
  void stopCapture();
  // Aims capture and live reboot at one unit only (others behind the address stay as they
  // are); nullopt: the selected unit, or every unit when none is selected.
  void setCaptureUnit(std::optional<protocol::UvqId> unit) { captureUnit_ = unit; }
  // A live reboot request: a capture carrying the access code, sent once.
  void liveReboot(const protocol::AccessCode& code);
  // Asks every unit behind the address to report; empties the UVQ table first.
  void locate();

  // Selection: the selector's text names the unit every command goes to.
  void setSelectorText(std::string text);
  void pickUnit(int index);  // an item of the selector, by position
  void selectUnit(protocol::UvqId id);
  // Empties the UVQ table and the selector.
  void clearUnits();

  // The image to program; nullopt clears it. A file is read whole when a run starts (regular
  // files only, opened without waiting, at most kMaxImageBytes) and the run sends those bytes,
  // however the file changes meanwhile; an image in memory is sent exactly as it is. `name`
  // names it in the log.
  void setSourceFile(std::optional<std::string> path);
  void setSourceImage(std::shared_ptr<const std::vector<uint8_t>> image, std::string name);
  void setRunOptions(RunOptions options) { runOptions_ = options; }
  const RunOptions& runOptions() const { return runOptions_; }
  void program();

  void erase(EraseKind kind);
  void reset();
  void invalidate();
  // Gives the selected unit a new address. nullopt: the operator's text was no address; the
  // request's number is spent and nothing is sent.
  void setUnitAddress(const std::optional<protocol::Ipv4Bytes>& address);

  // State, for front ends and tests.
  units::UnitRegistry& registry() { return registry_; }
  const units::UnitRegistry& registry() const { return registry_; }
  const protocol::PduBuilder& pdus() const { return pdus_; }
  protocol::PduBuilder& pdus() { return pdus_; }  // tests move the counter to its edges
  bool loaderMode() const { return loaderMode_; }
  bool capturing() const { return captureTimerArmed_; }
  bool sourceSelected() const { return sourceSelected_; }
  bool fileOpen() const { return file_ != nullptr; }
  // A run or an erase is under way (a new one is refused as busy).
  bool busy() const;
  const std::string& fileName() const { return fileName_; }
  // The bytes the run under way (else the last run) sends; null before the first run.
  const std::shared_ptr<const std::vector<uint8_t>>& runImage() const { return runImage_; }
  int captureAttempts() const { return captureAttempts_; }
  int retries() const { return retries_; }
  const Timing& timing() const { return timing_; }

 private:
  // Refuses an operation started from inside another one (an outcome listener calling back):
  // the first would go on with state the second changed under it.
  class CallGuard {
   public:
    explicit CallGuard(LoaderService& service);
    ~CallGuard() { --service_.depth_; }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

   private:
    LoaderService& service_;
  };

  template <typename Fn>
  void notify(Fn&& fn) {
    for (LoaderOutcomes* listener : listeners_) fn(*listener);
  }

  // Dispatcher.
  void setAside(const SetAsideReply& reply, const std::string& line);
  bool fromElsewhereDuringRun(const std::optional<DatagramOrigin>& origin, size_t length);
  void flushSetAsideSummary();
  bool answersLastPdu(const protocol::ReplyImage& reply) const;
  bool dispatchByType(const protocol::ReplyImage& reply);
  void reportStatusReply(const protocol::ReplyImage& reply);
  void finishErase(const protocol::ReplyImage& reply, const EraseKindRow& row);
  void applySelection();

  // Control states.
  void setReadyState(uint16_t status);
  void setBusyState();

  // Capture.
  void discoverySupervisor();
  void stopRunForCapture();
  void endCapture(CaptureEnd end);
  std::optional<protocol::UvqId> captureTarget() const;

  // Programming.
  bool processRecordAcknowledge(const protocol::ReplyImage& reply, uint16_t status);
  void completeRun(const protocol::ReplyImage& reply, uint16_t status);
  void endRun(RunEnd end, uint16_t status, std::string detail = {});
  void programSupervisor();
  bool sendProgramRecord();
  size_t readRecord();
  void closeProgramFile();
  void armTimer(TimerRole role, int intervalMs);
  void notStarted(ServiceOperation operation, NotStartedReason reason, uint16_t status = 0,
                  std::string detail = {});
  void disableTimer();

  // Erase and friends.
  void catchEraseError();
  bool sendUnitCommand(protocol::Command command);
  void send(std::span<const uint8_t> bytes);

  ServicePorts ports_;
  Timing timing_;
  RunOptions runOptions_;
  std::vector<LoaderOutcomes*> listeners_;
  int depth_ = 0;  // > 0 while an operation runs

  protocol::PduBuilder pdus_;
  units::UnitRegistry registry_;
  protocol::ReplyImage reply_{};
  units::LineBudget setAsideLines_;

  bool loaderMode_ = false;
  bool sourceSelected_ = false;
  // No capture under way: the next capture starts afresh. A report saying a unit is in loader
  // mode sets it too, so the next request after that starts the countdown over.
  bool captureIdle_ = true;
  bool captureTimerArmed_ = false;         // the shared timer repeats the capture request
  TimerRole armedRole_ = TimerRole::None;  // whose deadline the shared timer holds
  std::optional<protocol::UvqId> captureUnit_;
  int captureAttempts_ = 0;

  std::string fileName_;
  std::shared_ptr<const std::vector<uint8_t>> image_;     // the image in memory, when given so
  std::shared_ptr<const std::vector<uint8_t>> runImage_;  // what the last run started with
  std::unique_ptr<RecordFile> file_;        // set while a programming run holds its file
  protocol::Record record_{};               // the record read last; kept between reads and runs
  std::optional<protocol::UvqId> runUnit_;  // the unit a run writes to, whoever else answers
  int32_t recordCount_ = 0;
  int64_t fileSize_ = 0;       // when the run started
  int64_t bytesRead_ = 0;      // by the run so far
  uint64_t runStartPdus_ = 0;  // PDUs built before the run's first record
  RunResult run_;
  int retries_ = 0;

  std::optional<EraseKind> erasing_;
  std::optional<protocol::Ipv4Bytes> requestedAddress_;
};

}  // namespace uvq
