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
#include "operations/Engine.h"
#include "operations/PlainControls.h"

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

// The send side of the UDP link, remembering whether the network refused a datagram: a failed
// send leaves the engine without a timer running, so the session has to end.
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

// One target: its own UDP link, engine and controls, and the steps of the operation. Every PDU
// goes out through the engine's clicks and ticks, every reply goes in through
// ProcessStatusReply; the session only decides which click comes next from the engine's events.
// Events merely note what happened; the next click is made once the engine call has returned.
class Session final : private EngineEvents {
 public:
  Session(std::string target, const SessionPlan& plan, Output& output, SharedPorts ports);
  ~Session() override;

  const std::string& target() const { return target_; }
  bool finished() const { return phase_ == Phase::Done; }
  const SessionResult& result() const { return result_; }
  const RunFigures& figures() const { return figures_; }
  int socket() const;

  void start();
  // The socket is readable: hand one datagram to the engine.
  // Reads one datagram, waiting up to `waitMs` for it (0: only what is there).
  void receive(int waitMs = 0);
  // Fires the engine's timer and the session's own waits when due.
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

  // EngineEvents
  void replyAccepted(const protocol::ReplyImage& reply) override;
  void loaderModeReached() override { loaderReached_ = true; }
  void captureTimedOut() override { captureTimedOut_ = true; }
  void programmingStarted(int32_t recordCount) override;
  void programmingProgress(uint64_t pdusSent, int32_t recordCount) override;
  void programmingEnded(RunOutcome outcome) override;
  void eraseEnded(bool answered) override;

  template <typename Click>
  void drive(Click&& click);
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
  PlainControls controls_;
  std::unique_ptr<Engine> engine_;

  Phase phase_ = Phase::Start;
  Next next_ = Next::AfterCapture;
  std::string runUnit_;  // the unit a programming run writes to
  std::optional<TimePoint> waitUntil_;
  SessionResult result_;
  RunFigures figures_;

  // Noted by the events, acted on in advance().
  bool loaderReached_ = false;
  bool captureTimedOut_ = false;
  bool replySeen_ = false;
  std::optional<RunOutcome> runOutcome_;
  std::optional<bool> eraseAnswered_;
  struct {
    uint8_t type = 0;
    uint16_t unit = 0;
    uint16_t status = 0;
    protocol::Ipv4Bytes ip{};
    bool fresh = false;
  } lastReply_;
  int answers_ = 0;
  uint8_t buffer_[protocol::kReplyImageSize + 1]{};
};

}  // namespace uvq::cli
