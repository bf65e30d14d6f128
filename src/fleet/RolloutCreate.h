// SPDX-License-Identifier: Apache-2.0
#pragma once

// A new rollout from what its creator asked: the targets resolved to addresses once (every
// station sends to the same ones), the image read once and kept with its SHA-256, the groups
// made in the order given (PlanRollout), and the store's answer, typed.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fleet/TargetList.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// A rollout's name: 1 to kMaxRolloutNameBytes printable characters without blanks, not
// starting with '-'. The reason in words when it is not.
inline constexpr size_t kMaxRolloutNameBytes = 64;
std::optional<std::string> RolloutNameProblem(const std::string& name);

struct RolloutOrder {
  std::string name;
  std::string image;                 // the image file, as given
  bool allowPartialRecord = false;   // an image whose size is not a multiple of 24 bytes
  std::string range;                 // "A-B": every address from A to B, before `targets`
  std::vector<TargetEntry> targets;  // in the order given
  int groups = 0;
  int groupSize = 0;
  int successThreshold = 95;
  int errorThreshold = 10;
  int retries = 0;
  bool approveGroups = false;
  std::string notifyUrl;
  std::optional<int> searchSeconds;  // stored with the rollout; unset: the definition's default
  std::string createdBy;             // the station; empty: the host's name
  rollouts::Actor actor;
};

struct CreatedRollout {
  enum class Refusal {
    None,
    BadName,   // RolloutNameProblem
    BadRange,  // the range is no range of unit addresses
    NoUnits,
    Usage,    // a bad address, a unit named twice
    Network,  // a target's host name cannot be resolved
    Image,    // the image cannot be used
    NameInUse,
    Conflict,  // an unfinished rollout sends another image to some of these units
  };
  Refusal refusal = Refusal::None;
  std::string problem;                     // the refusal in words (NoUnits: none)
  std::string conflict;                    // Conflict: the other rollout's name
  rollouts::RolloutDefinition definition;  // as stored
  size_t imageBytes = 0;
  int groups = 0;
};

CreatedRollout CreateRollout(const RolloutOrder& order, rollouts::RolloutStore& store);

}  // namespace uvq::fleet
