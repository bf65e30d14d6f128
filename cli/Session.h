#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "DeadlineTimer.h"
#include "ExitCode.h"
#include "Output.h"
#include "TargetList.h"
#include "TargetSocket.h"
#include "operations/LoaderService.h"

namespace uvq::cli {

// A unit that answered a locate: what locate, status and scan list.
struct UnitSeen {
  std::string id;  // "0100"
  std::string ip;  // the address the unit reports
  uint16_t status = 0;
};

// How one target's session ended.
struct SessionResult {
  ExitCode code = ExitCode::Ok;
  std::string detail;  // why it failed; empty on success
  std::string unit;    // the unit worked on, when one was chosen
  int64_t records = 0;
  double seconds = 0;  // of the programming run
  uint64_t resends = 0;
  uint64_t refusedRecords = 0;          // acknowledged, but refused by the unit without aborting
  std::optional<uint16_t> finalStatus;  // the unit's last status word, when one came
  std::vector<UnitSeen> units;          // locate, status, scan: every unit that answered
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

// One target: its own connected socket and loader service, and the steps of the operation.
// Every PDU goes out through the service's operations and ticks, every reply goes in through
// handleDatagram; the session only decides what comes next from the service's outcomes.
// Outcomes merely note what happened; the next operation starts once the service call has
// returned.
//
// Nothing changes a unit before the session knows which unit it is: capture, erase and
// programming first locate, then refuse to guess between several units, and capture only the
// chosen one. A programming run succeeds only when the unit said the file was finished and,
// after the automatic reset, answers out of loader mode with a valid program.
class Session final : private LoaderOutcomes {
 public:
  Session(const ResolvedTarget& target, const SessionPlan& plan, Output& output, SharedPorts ports);
  ~Session() override;

  const std::string& target() const { return target_; }
  bool started() const { return phase_ != Phase::Start; }
  bool finished() const { return phase_ == Phase::Done; }
  const SessionResult& result() const { return result_; }
  const RunFigures& figures() const { return figures_; }
  // The socket's descriptor once started; -1 before and after.
  int socket() const;

  // Opens the socket and sends the first request.
  void start();
  // Reads one datagram, waiting up to `waitMs` for it (0: only what is there), and hands it to
  // the service.
  void receive(int waitMs = 0);
  // Fires the service's timer and the session's own waits when due.
  void onTime(TimePoint now);
  std::optional<TimePoint> nextDeadline() const;
  // A session waiting on nothing would hang the run: end it as a fault of the tool.
  void endIfStalled();
  // A signal stops the run: nothing more is sent, and the result says where the unit was left.
  void interrupt(ExitCode code);

 private:
  enum class Phase {
    Start,
    Finding,        // locate sent before capturing; repeated while nobody answers
    RebootRequest,  // live reboot request sent, waiting briefly for its answer
    Capturing,
    Registering,  // locate sent, waiting for the unit to select (reset, set-ip)
    Collecting,   // locate, status: gathering every answer until the wait ends
    Settling,     // a unit answered: late answers of others are let in before going on
    Programming,
    AwaitingReset,  // the run completed; the automatic reset's answer is awaited
    Verifying,      // locating the unit until it answers out of loader mode
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
  void sendLocate(Phase phase, int waitMs);
  void startCapture();
  enum class Next { AfterFind, AfterSelect };
  static constexpr int kSettleMs = 100;
  void settle(Next next);
  void settled();
  void chooseUnit();
  void afterCapture();
  void afterSelect();
  void afterRun();
  void concludeRun();
  void startVerify();
  bool selectRequestedUnit();
  bool wantedUnitSelected() const;
  void waitFor(int milliseconds);
  void finish(ExitCode code, const std::string& detail = {});
  void noteSelectedUnit();
  std::string unitName() const;
  std::string notFinishedText() const;
  std::string interruptedText() const;

  std::string target_;
  in_addr address_{};
  SessionPlan plan_;
  Output& output_;
  SharedPorts ports_;
  TargetLog log_;
  std::unique_ptr<TargetSocket> socket_;
  DeadlineTimer timer_;
  std::unique_ptr<LoaderService> service_;

  Phase phase_ = Phase::Start;
  Next next_ = Next::AfterSelect;
  std::optional<TimePoint> waitUntil_;
  SessionResult result_;
  RunFigures figures_;
  std::optional<protocol::UvqId> chosen_;  // the one unit this session changes

  // Noted by the outcomes, acted on in advance().
  bool loaderReached_ = false;
  bool captureTimedOut_ = false;
  int captureRefusals_ = 0;  // capture answers from the chosen unit without loader mode
  bool replySeen_ = false;
  std::optional<RunResult> run_;
  std::optional<EraseEnd> eraseEnd_;
  std::optional<ResetEnd> resetEnd_;
  uint16_t resetStatus_ = 0;
  std::optional<bool> addressAccepted_;
  std::optional<uint16_t> verifyStatus_;
  TimePoint verifyUntil_{};
  uint16_t lastStatus_ = 0;
  protocol::Ipv4Bytes lastIp_{};
  int answers_ = 0;
  int locatesSent_ = 0;
  uint8_t buffer_[protocol::kReplyImageSize + 1]{};
};

}  // namespace uvq::cli
