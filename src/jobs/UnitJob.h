// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "jobs/DeadlineTimer.h"
#include "jobs/JobPlan.h"
#include "jobs/JobResult.h"
#include "jobs/UnitPhase.h"
#include "operations/LoaderService.h"

namespace uvq::jobs {

// What a failure's detail advises when the unit was left half-written: a plain run's advice,
// which a front end that retries by itself (a rollout) leaves out for its own.
inline constexpr std::string_view kRunAgainAdvice = "run program again";

// What a job tells whoever runs it. Called from inside the job's own calls; an observer must
// not call the job back.
class JobObserver {
 public:
  virtual ~JobObserver() = default;
  // Every accepted reply except record acknowledgements (those are summed up in the figures).
  virtual void replied(const UnitReport& /*report*/) {}
  virtual void loaderModeReached(protocol::UvqId /*unit*/) {}
  // After each record the unit acknowledged (no allocation, no log line).
  virtual void progress(const JobFigures& /*figures*/) {}
  // Once, when the job has ended; the result is final.
  virtual void finished(const JobResult& /*result*/) {}
};

// The ports one job talks through: its link to the unit's address (the job sends, the front end
// receives and hands each datagram in), the log and the platform's clock, tone and files.
struct JobPorts {
  Link& link;
  Log& log;
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

// One whole job on one unit, on its own loader service: find the units behind the address
// (locate, repeated at the capture pace while nobody answers), choose the unit (by ID, or the
// only one: several without an ID is refused before anything changes), claim it, optionally
// send a live reboot request, capture it, then program, reset and verify, or erase, reset or
// give it a new address; or collect the answers to a locate.
//
// Driven from outside by one thread: start(), then every datagram from the unit's address into
// receive() and a call to onTime() when nextDeadline() has passed. Each ends in exactly one
// JobResult. Nothing is allocated or logged per record.
//
// Choosing without an ID waits out the locate's answer time (every unit behind the address has
// its chance to answer); with an ID it goes on as soon as that unit has answered. Answers that
// come after the next request was sent carry an older number or another command's type and are
// set aside by the service, so no settling wait is needed.
class UnitJob final : private LoaderOutcomes {
 public:
  UnitJob(JobPlan plan, JobPorts ports, JobObserver* observer = nullptr);
  ~UnitJob() override;
  UnitJob(const UnitJob&) = delete;
  UnitJob& operator=(const UnitJob&) = delete;

  // The claim hook, when the plan was made without it.
  void setClaim(ClaimUnit claim) { plan_.claim = std::move(claim); }
  // The service's timer counts from a run loop's round time (see DeadlineTimer::useRoundClock).
  void useRoundClock(const TimePoint* roundNow) { timer_.useRoundClock(roundNow); }

  void start();
  // One datagram as received from the unit's address.
  void receive(std::span<const uint8_t> datagram);
  // Fires the service's timer and the job's own waits when due.
  void onTime(TimePoint now);
  std::optional<TimePoint> nextDeadline() const;
  // Stopped from outside (a signal): nothing more is sent; the detail says where the unit was
  // left. The front end may also end a job for a fault of its own (a link that broke).
  void interrupt();
  void fail(JobOutcome outcome, const std::string& detail);
  // A job waiting on nothing would never end: ended as a fault of the tool.
  void endIfStalled();

  bool started() const { return phase_ != Phase::Start; }
  bool finished() const { return phase_ == Phase::Done; }
  const JobResult& result() const { return result_; }
  const JobFigures& figures() const { return figures_; }
  const JobPlan& plan() const { return plan_; }
  const LoaderService* service() const { return service_.get(); }
  // Where the job stands, for a display (a copy of a few numbers; cheap enough for every redraw).
  PhaseView phaseView() const;

 private:
  enum class Phase {
    Start,
    Finding,        // locate sent before capturing; repeated while the unit is not found
    RebootRequest,  // live reboot request sent, waiting briefly for its answer
    Capturing,
    Registering,  // locate sent, waiting for the unit to choose (reset, set-ip)
    Collecting,   // locate, status, scan: every answer until the wait ends
    Programming,
    AwaitingReset,  // the run completed; the automatic reset's answer is awaited
    Verifying,      // locating the unit until it answers with a valid program
    Erasing,
    Resetting,
    SettingIp,
    Done
  };

  // LoaderOutcomes: each notes what ended; advance() acts on it once the service has returned.
  void unitReported(const UnitReport& report) override;
  void operationNotStarted(const NotStarted& why) override;
  void captureEnded(CaptureEnd end) override;
  void runStarted(int32_t recordCount) override;
  void runProgress(uint64_t pdusSent, int32_t recordCount, uint64_t acknowledged) override;
  void runEnded(const RunResult& result) override;
  void eraseEnded(EraseKind kind, EraseEnd end, uint16_t status) override;
  void resetEnded(ResetEnd end, uint16_t status) override;
  void addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) override;

  template <typename Operation>
  void drive(Operation&& operation);
  void advance();
  // Every change of state goes through here: the phase shown and when it began follow it.
  void enter(Phase phase);
  static UnitPhase Shown(Phase phase);
  // Finding the unit and taking it into loader mode, where the plan's search time bounds it.
  bool searching() const;
  std::string searchEndedText() const;
  void sendLocate(Phase phase, int waitMs);
  void waitFor(int milliseconds);
  void answerTimeEnded();
  void choose();
  void startCapture();
  void afterCapture();
  void afterSelect();
  void afterRun();
  void concludeRun();
  void finish(JobOutcome outcome, const std::string& detail = {});

  bool wantedFound() const;
  bool tableFullWithoutWanted() const;
  std::string unitName() const;
  std::string notFoundText() const;
  std::string recordsText() const;
  std::string notFinishedText() const;
  std::string interruptedText() const;

  JobPlan plan_;
  JobPorts ports_;
  JobObserver* observer_;
  DeadlineTimer timer_;
  std::unique_ptr<LoaderService> service_;

  Phase phase_ = Phase::Start;
  TimePoint jobStarted_{};
  TimePoint phaseStarted_{};
  std::optional<TimePoint> searchUntil_;  // plan_.searchMs after the start
  std::optional<TimePoint> waitUntil_;
  TimePoint verifyUntil_{};
  int locatesSent_ = 0;
  JobResult result_;
  JobFigures figures_;
  std::optional<protocol::UvqId> chosen_;  // the one unit this job changes

  // Outcomes noted for advance().
  int answers_ = 0;              // to the last locate
  bool wantedAnswered_ = false;  // the --id unit answered, registered or not
  bool replySeen_ = false;
  std::optional<CaptureEnd> captureEnd_;
  int captureRefusals_ = 0;
  uint16_t refusalStatus_ = 0;
  std::optional<NotStarted> notStarted_;
  std::optional<RunResult> run_;
  std::optional<EraseEnd> eraseEnd_;
  std::optional<ResetEnd> resetEnd_;
  uint16_t resetStatus_ = 0;
  std::optional<bool> addressAccepted_;
  protocol::Ipv4Bytes reportedIp_{};
  uint16_t addressStatus_ = 0;
  std::optional<uint16_t> verifyStatus_;
};

}  // namespace uvq::jobs
