#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "CliOptions.h"
#include "DeadlineTimer.h"
#include "ExitCode.h"
#include "Output.h"
#include "link/UdpLink.h"
#include "operations/LoaderService.h"

namespace uvq::cli {

// How one target's session ended.
struct SessionResult {
  ExitCode code = ExitCode::Ok;
  std::string detail;  // why it failed; empty on success
  std::string unit;    // the unit worked on, when one was selected
  int64_t records = 0;
  double seconds = 0;  // of the programming run
};

// Where a programming run stands, for progress displays.
struct RunFigures {
  bool running = false;
  int64_t acknowledged = 0;
  int64_t total = 0;
  TimePoint started{};
};

// The ports shared by every session of a run.
struct SharedPorts {
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

// The send side of the UDP link, remembering whether the network refused a datagram.
class WatchedLink final : public Link {
 public:
  explicit WatchedLink(link::UdpLink& link) : link_(link) {}
  void sendDatagram(std::span<const uint8_t> bytes) override {
    try {
      link_.sendDatagram(bytes);
    } catch (const PlatformError&) {
      failed_ = true;
      throw;
    }
  }
  bool failed() const { return failed_; }

 private:
  link::UdpLink& link_;
  bool failed_ = false;
};

// One target: its own UDP link and loader service, and the steps of the operation. Every PDU
// goes out through the service's operations and ticks, every reply goes in through
// handleDatagram; the session only decides what comes next from the service's outcomes.
// Outcomes merely note what happened; the next operation starts once the service call has
// returned.
class Session final : private LoaderOutcomes {
 public:
  Session(std::string target, const SessionPlan& plan, Output& output, SharedPorts ports);
  ~Session() override;

  const std::string& target() const { return target_; }
  bool finished() const { return phase_ == Phase::Done; }
  const SessionResult& result() const { return result_; }
  const RunFigures& figures() const { return figures_; }
  int socket() const;

  void start();
  // The socket is readable: hand one datagram to the service.
  // Reads one datagram, waiting up to `waitMs` for it (0: only what is there).
  void receive(int waitMs = 0);
  // Fires the service's timer and the session's own waits when due.
  void onTime(TimePoint now);
  std::optional<TimePoint> nextDeadline() const;
  // A session waiting on nothing would hang the run: end it as a fault of the tool.
  void endIfStalled();

 private:
  enum class Phase {
    Start,
    RebootRequest,  // live reboot request sent, waiting briefly for its answer
    Capturing,
    Registering,  // locate sent, waiting for the unit to select
    Collecting,   // locate: gathering every answer until the wait ends
    Settling,     // a unit answered: late answers of others are let in before going on
    Programming,
    Erasing,
    Resetting,
    SettingIp,
    Done
  };

  // LoaderOutcomes
  void unitReported(const UnitReport& report) override;
  void readyState(uint16_t status) override;
  void captureEnded(CaptureEnd end) override;
  void runStarted(int32_t recordCount) override;
  void runProgress(uint64_t pdusSent, int32_t recordCount) override;
  void runEnded(const RunResult& result) override;
  void eraseEnded(EraseKind kind, EraseEnd end, uint16_t status) override;
  void resetEnded(ResetEnd end, uint16_t status) override;
  void addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) override;

  template <typename Operation>
  void drive(Operation&& operation);
  void advance();
  void startCapture();
  void startRegistering();
  enum class Next { AfterCapture, AfterSelect };
  static constexpr int kSettleMs = 100;
  void settle(Next next);
  void settled();
  std::string SelectedText() const;
  void afterCapture();
  void afterSelect();
  bool selectRequestedUnit();
  bool wantedUnitSelected() const;
  void waitFor(int milliseconds);
  void finish(ExitCode code, const std::string& detail = {});
  void noteSelectedUnit();

  std::string target_;
  SessionPlan plan_;
  Output& output_;
  TargetLog log_;
  std::unique_ptr<link::UdpLink> udp_;
  std::unique_ptr<WatchedLink> link_;
  DeadlineTimer timer_;
  std::unique_ptr<LoaderService> service_;

  Phase phase_ = Phase::Start;
  Next next_ = Next::AfterCapture;
  std::optional<TimePoint> waitUntil_;
  SessionResult result_;
  RunFigures figures_;

  // Noted by the outcomes, acted on in advance().
  bool loaderReached_ = false;
  bool captureTimedOut_ = false;
  bool replySeen_ = false;
  std::optional<RunResult> run_;
  std::optional<EraseEnd> eraseEnd_;
  std::optional<ResetEnd> resetEnd_;
  std::optional<bool> addressAccepted_;
  uint16_t lastStatus_ = 0;
  protocol::Ipv4Bytes lastIp_{};
  int answers_ = 0;
  uint8_t buffer_[protocol::kReplyImageSize + 1]{};
};

}  // namespace uvq::cli
