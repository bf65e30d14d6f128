// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CliOptions.h"
#include "fleet/RolloutCreate.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::cli {

// What `uvq rollout ...` was asked, the options before and after `rollout` together.
struct RolloutRequest {
  std::string action;  // create, run, status, list, pause, resume, cancel, approve, skip, retry
  std::string name;
  // create: the image, the units in the order given and how they are grouped (its name, creator
  // and actor are filled in at create). skip: its one target.
  fleet::RolloutOrder create;
  // skip: the unit's address as given
  std::string skipTarget;
  bool acceptFailures = false;  // resume
  std::string actor;            // recorded with the action; empty: the OS user
  // run
  int parallel = 32;
  int leaseSeconds = 60;
  std::optional<std::pair<uint32_t, uint32_t>> onlyRange;  // host order
  bool failed = false;                                     // retry --failed
  // run --watch: a unit that does not answer is asked again every askEveryMs until it does.
  bool watch = false;
  int askEveryMs = 2000;
  // run --exit-on-pause: a pause ends the run (exit 8) instead of being waited for.
  bool exitOnPause = false;
  // create: stored with the rollout (unset: 20 s); run: instead of the rollout's (unset: its).
  std::optional<int> searchSeconds;
  // shared with every run
  CliOptions options;
};

inline constexpr int kMaxParallel = 1024;

int CreateRollout(const RolloutRequest& request, rollouts::RolloutStore& store);
int RunRollout(const RolloutRequest& request, rollouts::RolloutStore& store);
int ShowRolloutStatus(const RolloutRequest& request, rollouts::RolloutStore& store);
int ListRollouts(const RolloutRequest& request, rollouts::RolloutStore& store);

// "uvq: rollout: MESSAGE" on standard error; returns the code.
int RolloutFail(ExitCode code, const std::string& message);

}  // namespace uvq::cli
