// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/DeadlineTimer.h"
#include "protocol/ControlPdu.h"
#include "protocol/ReplyLayout.h"

namespace uvq::jobs {

// How a job ended. Front ends map these to their own codes (the command line's exit codes).
enum class JobOutcome : uint8_t {
  Ok,
  InternalError,  // a fault of the tool
  Refused,        // not started: several units without an ID, the unit claimed elsewhere, ...
  FileError,      // the image could not be used
  NoAnswer,       // the unit stayed silent (capture, watchdog, erase, reset, set-ip, locate)
  UnitError,      // the unit reported an error, refused the request or holds no valid program
  NetworkError,   // a datagram could not be sent
  Interrupted,    // stopped from outside; the detail says where the unit was left
  ClaimLost,      // the run's right to the unit (a rollout's lease) ran out: nothing more sent
};

// Stable identifiers, for machine-readable output and run logs.
inline constexpr std::array<std::string_view, 9> kOutcomeIdentifiers{
    "ok",         "internal_error", "bad_usage",   "file_error", "no_answer",
    "unit_error", "network_error",  "interrupted", "claim_lost"};

constexpr std::string_view OutcomeIdentifier(JobOutcome outcome) {
  return kOutcomeIdentifiers[static_cast<size_t>(outcome)];
}

// A unit that answered a locate.
struct UnitSeen {
  protocol::UvqId id;
  protocol::Ipv4Bytes ip{};  // the address it reports
  uint16_t status = 0;
};

// Where a programming run stands; read by progress displays once per round, never per record.
struct JobFigures {
  bool running = false;
  uint64_t acknowledged = 0;
  uint64_t total = 0;
  TimePoint started{};
};

struct JobResult {
  JobOutcome outcome = JobOutcome::Ok;
  std::string detail;                   // why it failed, on one line; empty on success
  std::optional<protocol::UvqId> unit;  // the unit worked on: the chosen or the only one listed
  std::optional<uint16_t> lastStatus;   // that unit's last status word, when it answered
  std::optional<protocol::Ipv4Bytes> lastAddress;  // the address that unit reported last
  uint64_t recordsAcknowledged = 0;
  uint64_t recordsTotal = 0;
  uint64_t resends = 0;
  uint64_t refusedRecords = 0;  // acknowledged, but not written by the unit
  double seconds = 0;           // of the programming run
  std::vector<UnitSeen> units;  // locate, status, scan: every unit that answered, by ID
};

// "0100"; "10.1.2.3".
std::string IdText(protocol::UvqId id);
std::string IpText(const protocol::Ipv4Bytes& ip);

}  // namespace uvq::jobs
