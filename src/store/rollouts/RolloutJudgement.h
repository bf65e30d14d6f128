// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "store/rollouts/RolloutStore.h"

namespace uvq::rollouts {

// What a rollout's groups say about it: still running, stopped by a threshold (and why), or done.
struct RolloutJudgement {
  RolloutState state = RolloutState::Running;
  std::string reason;  // Stopped: names the group (1-based), its count and the threshold
};

// Judges the groups in order: a group whose failures reach the error threshold stops the rollout
// at once; a group whose units have all ended starts the next only if enough of it succeeded;
// when every group has ended and passed, the rollout is done. Skipped units and accepted failures
// count in neither share (a group of skipped units only passes). No failure never reaches a
// threshold, not even 0 %.
RolloutJudgement JudgeGroups(const std::vector<GroupCounts>& groups, int successThreshold,
                             int errorThreshold);

}  // namespace uvq::rollouts
