// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/EraseKinds.h"
#include "operations/LoaderService.h"
#include "protocol/ReplyLayout.h"

namespace uvq::jobs {

enum class JobKind : uint8_t {
  Locate,   // every unit that answers, until the wait ends
  Status,   // the same, for one unit or all
  Scan,     // the same, an address of a range; silence is no failure
  Capture,  // find, choose, capture
  Program,  // find, choose, capture, program, reset, verify
  Erase,    // find, choose, capture, erase
  Reset,    // find, choose, reset
  SetIp,    // find, choose, give a new address
};

// The operation's word in history rows, run logs and on the command line ("set-ip").
constexpr std::string_view KindName(JobKind kind) {
  switch (kind) {
    case JobKind::Locate:
      return "locate";
    case JobKind::Status:
      return "status";
    case JobKind::Scan:
      return "scan";
    case JobKind::Capture:
      return "capture";
    case JobKind::Program:
      return "program";
    case JobKind::Erase:
      return "erase";
    case JobKind::Reset:
      return "reset";
    case JobKind::SetIp:
      return "set-ip";
  }
  return "locate";
}

// Whether a job changes the unit: only those choose one unit, claim it and refuse to guess.
constexpr bool ChangesUnit(JobKind kind) {
  return kind != JobKind::Locate && kind != JobKind::Status && kind != JobKind::Scan;
}

// An image read once before any job starts: every unit of a batch gets exactly these bytes.
struct Image {
  std::string name;  // for the log
  std::shared_ptr<const std::vector<uint8_t>> bytes;
};

// Called once the unit is chosen and before anything changes it (before the capture): a
// refusal in words, or nothing to go on. The command line takes the unit's lock here.
using ClaimUnit = std::function<std::optional<std::string>(protocol::UvqId unit)>;

// What one job does on one unit.
struct JobPlan {
  JobKind kind = JobKind::Locate;
  std::string target;                   // the unit's address as messages name it ("10.1.2.3")
  std::optional<protocol::UvqId> unit;  // nullopt: the only unit that answers
  EraseKind eraseKind = EraseKind::Device;
  Image image;                                    // Program
  std::optional<protocol::Ipv4Bytes> newAddress;  // SetIp, checked by the front end
  std::optional<std::string> accessCode;          // a live reboot request before capturing
  int waitMs = 1000;                              // answers to locate, status, reset, set-ip
  bool autoReset = true;
  bool beep = false;
  bool strict = false;   // a record refused without aborting the run fails the job
  bool verify = true;    // after the reset, locate until the unit runs a valid program
  int verifyMs = 10000;  // how long the unit may take to come back out of loader mode
  // Locates sent while nobody answers before the job gives up; 0: the capture attempts. A
  // station that asks again later anyway looks only briefly.
  int findAttempts = 0;
  // How long a unit may take to be found and enter loader mode, from the job's start; past it
  // the job ends as no answer. 0: only the attempts bound it. A rollout bounds it so that a
  // silent unit frees its place in the group early.
  int searchMs = 0;
  Timing timing;
  ClaimUnit claim;
};

}  // namespace uvq::jobs
