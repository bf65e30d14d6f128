// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "ExitCode.h"
#include "Output.h"
#include "TargetList.h"
#include "UnitLock.h"
#include "jobs/UnitJob.h"
#include "link/SharedSocket.h"
#include "link/UdpLink.h"

namespace uvq::cli {

using jobs::SteadyClock;
using jobs::TimePoint;
using RunFigures = jobs::JobFigures;

// A unit that answered a locate: what locate, status and scan list.
struct UnitSeen {
  std::string id;  // "0100"
  std::string ip;  // the address the unit reports
  uint16_t status = 0;
};

// How one target's job ended, in the command line's terms.
struct SessionResult {
  jobs::JobOutcome outcome = jobs::JobOutcome::Ok;  // what history rows and rollouts record
  ExitCode code = ExitCode::Ok;
  std::string detail;  // why it failed; empty on success
  std::string unit;    // the unit worked on, "" when none was chosen
  int64_t records = 0;
  double seconds = 0;  // of the programming run
  uint64_t resends = 0;
  uint64_t refusedRecords = 0;          // acknowledged, but refused by the unit without aborting
  std::optional<uint16_t> finalStatus;  // the chosen unit's last status word, when one came
  std::string reportedAddress;          // the address the chosen unit reported last
  std::vector<UnitSeen> units;          // locate, status, scan: every unit that answered
};

// The ports shared by every session of a run.
struct SharedPorts {
  Clock& clock;
  Tone& tone;
  FileSystem& files;
};

// One target: its connected link and the unit job on it, with the command line's policy around
// it: the plan made from the options, the unit's lock, output events and the exit code.
class Session final : private jobs::JobObserver {
 public:
  Session(const ResolvedTarget& target, const SessionPlan& plan, const jobs::Image& image,
          Output& output, SharedPorts ports);
  ~Session() override;

  const std::string& target() const { return target_; }
  bool started() const { return job_.started(); }
  bool finished() const { return done_; }
  const SessionResult& result() const { return result_; }
  const RunFigures& figures() const { return job_.figures(); }
  // The unit's lock was held by another program: it was left alone (a rollout tries it later).
  bool lockRefused() const { return lockRefused_; }
  // The socket's descriptor once started; -1 before and after.
  int socket() const;
  // Called just before the result event is written (the progress display's last word on it).
  void setBeforeResult(std::function<void(const Session&)> hook) {
    beforeResult_ = std::move(hook);
  }
  // Called once, when the unit to work on is chosen (before anything changes it).
  void setOnChosen(std::function<void(const Session&, const std::string& unit)> hook) {
    onChosen_ = std::move(hook);
  }

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
  // A signal stops the run: nothing more is sent, and the result says where the unit was left.
  void interrupt(ExitCode code);

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

  // The job's link port: the connected link once the session has started (a scan opens its
  // sockets a few at a time, so none exists before), or the socket shared by the run.
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
  Operation operation_;
  Output& output_;
  SharedPorts ports_;
  TargetLog log_;
  std::unique_ptr<link::UdpLink> link_;
  Sending sending_;
  jobs::UnitJob job_;
  std::optional<UnitLock> lock_;
  std::function<void(const Session&)> beforeResult_;
  std::function<void(const Session&, const std::string&)> onChosen_;
  std::optional<std::string> unitId_;  // as named (--id), else none
  std::optional<TimePoint> claimUntil_;
  ExitCode interruptedBy_ = ExitCode::Interrupted;
  bool done_ = false;
  bool lockRefused_ = false;
  SessionResult result_;
  uint8_t buffer_[protocol::kReplyImageSize]{};
};

}  // namespace uvq::cli
