// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/RolloutJudgement.h"

namespace uvq::rollouts {

namespace {

std::string Share(int part, int size) {
  return std::to_string(size > 0 ? part * 100 / size : 0) + " %";
}

}  // namespace

RolloutJudgement JudgeGroups(const std::vector<GroupCounts>& groups, int successThreshold,
                             int errorThreshold) {
  int ok = 0;
  int size = 0;
  for (const GroupCounts& given : groups) {
    // Skipped units and accepted failures are in no share: the group is judged on the rest.
    GroupCounts group = given;
    group.size -= group.skipped + group.accepted;
    group.failed -= group.accepted;
    const std::string named = "group " + std::to_string(group.group + 1) + " stopped the rollout: ";
    const std::string counted = " of " + std::to_string(group.size) + " units ";
    if (group.failed > 0 && group.failed * 100 >= errorThreshold * group.size)
      return {RolloutState::Stopped, named + std::to_string(group.failed) + counted + "failed (" +
                                         Share(group.failed, group.size) + "), error threshold " +
                                         std::to_string(errorThreshold) + " %"};
    if (group.pending + group.running > 0) return {};
    if (group.ok * 100 < successThreshold * group.size)
      return {RolloutState::Stopped, named + std::to_string(group.ok) + counted + "succeeded (" +
                                         Share(group.ok, group.size) + "), success threshold " +
                                         std::to_string(successThreshold) + " %"};
    ok += group.ok;
    size += group.size;
  }
  return {RolloutState::Done, "every group passed: " + std::to_string(ok) + " of " +
                                  std::to_string(size) + " units succeeded"};
}

GroupCounts TotalCounts(const RolloutSummary& summary) {
  GroupCounts all;
  for (const GroupCounts& g : summary.groups) {
    all.size += g.size;
    all.pending += g.pending;
    all.running += g.running;
    all.ok += g.ok;
    all.failed += g.failed;
    all.skipped += g.skipped;
    all.accepted += g.accepted;
  }
  return all;
}

std::string WaitingText(const RolloutSummary& summary) {
  if (!summary.waitingGroup) return {};
  return "waiting for approval of group " + std::to_string(*summary.waitingGroup + 1);
}

}  // namespace uvq::rollouts
