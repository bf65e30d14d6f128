// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/StopSource.h"
#include "fleet/TargetList.h"
#include "jobs/UnitJob.h"
#include "link/SharedSocket.h"
#include "link/UdpLink.h"
#include "locks/UnitLock.h"

namespace uvq::fleet {

using jobs::SteadyClock;
using jobs::TimePoint;
using RunFigures = jobs::JobFigures;

// A unit that answered a locate: what locate, status and scan list.
struct UnitSeen {
  std::string id;  // "0100"
  std::string ip;  // the address the unit reports
  uint16_t status = 0;
};

// How one target's job ended.
struct SessionResult {
  jobs::JobOutcome outcome = jobs::JobOutcome::Ok;
  StopCause stoppedBy = StopCause::None;  // Interrupted: what asked the run to stop
  std::string detail;                     // why it failed; empty on success
  std::string unit;                       // the unit worked on, "" when none was chosen
  int64_t records = 0;
  double seconds = 0;  // of the programming run
  uint64_t resends = 0;
  uint64_t refusedRecords = 0;          // acknowledged, but refused by the unit without aborting
  std::optional<uint16_t> finalStatus;  // the chosen unit's last status word, when one came
  std::string reportedAddress;          // the address the chosen unit reported last
  std::vector<UnitSeen> units;          // locate, status, scan: every unit that answered
  bool ok() const { return outcome == jobs::JobOutcome::Ok; }
};

// The ports shared by every session of a run.
struct SharedPorts {
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

class Session;

// What a session tells whoever runs it. Called on the run loop's thread. logLine and replied
// may come once per record: they must stay cheap and allocate nothing when nobody listens.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  // The service's log lines for the session's target.
  virtual void logLine(std::string_view target, std::string_view line) = 0;
  // Asked once, when the session is made: whether replied() is wanted at all.
  virtual bool wantsReplies() const { return false; }
  virtual void replied(const Session& /*session*/, const UnitReport& /*report*/) {}
  virtual void loaderModeReached(const Session& /*session*/, protocol::UvqId /*unit*/) {}
  // The unit to work on is chosen and locked, before anything changes it: once per session.
  virtual void unitChosen(const Session& /*session*/, const std::string& /*unit*/) {}
  // The result is final (result()); once per session.
  virtual void ended(const Session& session) = 0;
};

// One target: its connected link and the unit job on it, with the fleet's policy around it:
// the unit's lock taken before the first datagram, a claim's deadline checked before each one,
// and the events.
class Session final : private jobs::JobObserver {
 public:
  // `plan.target` is set from `target`; the claim hook is the session's own.
  Session(const ResolvedTarget& target, jobs::JobPlan plan, SessionEvents& events,
          SharedPorts ports);
  ~Session() override;

  const std::string& target() const { return target_; }
  jobs::JobKind kind() const { return kind_; }
  bool started() const { return job_.started(); }
  bool finished() const { return done_; }
  const SessionResult& result() const { return result_; }
  const RunFigures& figures() const { return job_.figures(); }
  // Where its job stands (phase, records, since when), copied for a display.
  jobs::PhaseView phase() const { return job_.phaseView(); }
  // The unit's lock was held by another program: it was left alone, nothing was sent (a
  // rollout tries it later).
  bool lockRefused() const { return lockRefused_; }
  // The socket's descriptor once started; -1 before and after.
  int socket() const;

  // A rollout's claim on the unit: the right to send to it holds until `until` (on the steady
  // clock, the renewal's margin taken off). Past it the session ends as claim_lost without
  // another datagram. `roundNow` is the run loop's time of the current round, read once per
  // round: the check before each datagram is a comparison, not a clock read.
  void setClaimUntil(TimePoint until) { claimUntil_ = until; }
  std::optional<TimePoint> claimUntil() const { return claimUntil_; }
  void setRoundClock(const TimePoint* roundNow) { sending_.roundNow = roundNow; }
  // Ends the session as claim_lost at once (the claim ran out or another station has the unit).
  void loseClaim(const std::string& why);

  void start();
  // Starts on a socket shared with other sessions: its datagrams go out through `shared` under
  // `tag`, and whoever reads that socket hands this session what its unit's address sent
  // (deliver). Only for a target whose address no other session of the run uses.
  void startShared(link::SharedSocket& shared, uint64_t tag);
  // One datagram from the target's address and unit port, read from the shared socket;
  // `length` is its real length (more than the bytes given: it was cut).
  void deliver(std::span<const uint8_t> bytes, uint32_t length);
  // A datagram of this session's that the shared socket could not send.
  void sendFailed(const std::string& why);
  in_addr address() const { return address_; }
  // Reads one datagram, waiting up to `waitMs` for it (0: only what is there), and hands it to
  // the job.
  void receive(int waitMs = 0);
  void onTime(TimePoint now);
  std::optional<TimePoint> nextDeadline() const;
  void endIfStalled() { job_.endIfStalled(); }
  // A stop request ends the session: nothing more is sent, and the result says where the unit
  // was left.
  void interrupt(StopCause cause);

 private:
  // JobObserver
  void replied(const UnitReport& report) override;
  void loaderModeReached(protocol::UvqId unit) override;
  void finished(const jobs::JobResult& result) override;

  std::optional<std::string> claim(protocol::UvqId unit);
  // Runs that change a unit take its lock before their first datagram: the unit's when it is
  // named, the whole address's when it is not. false: refused (the session has ended).
  bool lockFirst();
  // After the job has run: a datagram it wanted to send past the claim ends it.
  void afterJob();
  bool claimPassed() const {
    return claimUntil_ && sending_.roundNow && *sending_.roundNow >= *claimUntil_;
  }

  // The service's log port for the target.
  struct TargetLog final : Log {
    SessionEvents* events = nullptr;
    std::string target;
    void addLogLine(std::string_view line) override { events->logLine(target, line); }
  };

  // The job's link port: the connected link once the session has started (a scan opens its
  // sockets a few at a time, so none exists before), or the socket shared by the run. A
  // datagram past the claim is held back.
  struct Sending final : Link {
    link::UdpLink* to = nullptr;
    link::SharedSocket* shared = nullptr;
    in_addr address{};
    uint64_t tag = 0;
    const TimePoint* roundNow = nullptr;
    const std::optional<TimePoint>* claimUntil = nullptr;
    bool heldBack = false;  // a datagram was not sent: the claim had run out
    void sendDatagram(std::span<const uint8_t> bytes) override {
      if (roundNow && *claimUntil && *roundNow >= **claimUntil) {
        heldBack = true;
        return;
      }
      if (shared) return shared->queue(address, protocol::kUnitPort, bytes, tag);
      if (!to) throw PlatformError("no link to the target");
      to->sendDatagram(bytes);
    }
  };

  std::string target_;
  in_addr address_{};
  jobs::JobKind kind_;
  std::optional<std::string> unitId_;  // as named (--id), else none
  SessionEvents& events_;
  bool wantsReplies_;
  SharedPorts ports_;
  TargetLog log_;
  std::unique_ptr<link::UdpLink> link_;
  Sending sending_;
  std::optional<TimePoint> claimUntil_;
  jobs::UnitJob job_;
  std::optional<locks::UnitLock> lock_;
  StopCause stoppedBy_ = StopCause::Interrupt;
  bool done_ = false;
  bool lockRefused_ = false;
  SessionResult result_;
  uint8_t buffer_[protocol::kReplyImageSize]{};
};

}  // namespace uvq::fleet
