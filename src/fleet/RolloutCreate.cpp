// SPDX-License-Identifier: Apache-2.0
#include "fleet/RolloutCreate.h"

#include <memory>

#include "fleet/ImageCheck.h"
#include "fleet/Refused.h"
#include "fleet/RolloutStation.h"
#include "fleet/RunRecorder.h"
#include "recording/StationFacts.h"

namespace uvq::fleet {

namespace {

CreatedRollout Refused(CreatedRollout::Refusal refusal, std::string problem) {
  return RefusedResult<CreatedRollout>(refusal, std::move(problem));
}

}  // namespace

std::optional<std::string> RolloutNameProblem(const std::string& name) {
  if (name.empty() || name.size() > kMaxRolloutNameBytes)
    return "a rollout's name has 1 to " + std::to_string(kMaxRolloutNameBytes) + " characters";
  if (name.front() == '-') return "a rollout's name does not start with '-'";
  for (unsigned char c : name)
    if (c <= 0x20 || c >= 0x7F)
      return "a rollout's name is made of printable characters without blanks: '" + name + "'";
  return std::nullopt;
}

CreatedRollout CreateRollout(const RolloutOrder& order, rollouts::RolloutStore& store) {
  using Refusal = CreatedRollout::Refusal;
  if (auto problem = RolloutNameProblem(order.name))
    return Refused(Refusal::BadName, std::move(*problem));
  std::vector<ResolvedTarget> targets;
  if (!order.range.empty()) {
    auto range = ExpandScanRange(order.range);
    if (const auto* error = std::get_if<TargetError>(&range))
      return Refused(Refusal::BadRange, error->message);
    targets = std::get<std::vector<ResolvedTarget>>(std::move(range));
  }
  for (const TargetEntry& entry : order.targets) {
    auto resolved = ResolveTarget(entry);
    if (const auto* error = std::get_if<TargetError>(&resolved))
      return Refused(
          error->kind == TargetError::Kind::BadAddress ? Refusal::Usage : Refusal::Network,
          error->message);
    targets.push_back(std::get<ResolvedTarget>(std::move(resolved)));
  }
  if (targets.empty()) return Refused(Refusal::NoUnits, "");
  if (const auto duplicate = FirstDuplicate(targets)) {
    const ResolvedTarget& t = targets[*duplicate];
    return Refused(Refusal::Usage, "target '" + t.text + "' (" + t.addressText +
                                       ") is given twice" +
                                       (t.unitId ? " for unit " + *t.unitId : std::string()));
  }

  auto bytes = std::make_shared<std::vector<uint8_t>>();
  if (const auto problem = LoadImage(order.image, order.allowPartialRecord, *bytes))
    return Refused(Refusal::Image, problem->message);

  RolloutDraft draft;
  draft.name = order.name;
  draft.createdBy = order.createdBy.empty() ? recording::HostName() : order.createdBy;
  draft.imagePath = AbsolutePath(order.image);
  draft.image = bytes;
  draft.targets = std::move(targets);
  draft.groups = order.groups;
  draft.groupSize = order.groupSize;
  draft.successThreshold = order.successThreshold;
  draft.errorThreshold = order.errorThreshold;
  draft.retries = order.retries;
  CreatedRollout created;
  created.definition = PlanRollout(draft);
  created.definition.approveGroups = order.approveGroups;
  created.definition.notifyUrl = order.notifyUrl;
  if (order.searchSeconds) created.definition.searchSeconds = *order.searchSeconds;
  created.definition.actor = order.actor;
  const rollouts::CreateResult stored = store.create(created.definition);
  if (!stored.conflict.empty()) {
    created.refusal = Refusal::Conflict;
    created.conflict = stored.conflict;
    created.problem = "rollout '" + stored.conflict +
                      "' sends another image to some of these units and has not finished: "
                      "cancel it, or wait until it is done, before this one is created";
    return created;
  }
  if (!stored) {
    created.refusal = Refusal::NameInUse;
    created.problem = "the name '" + order.name + "' is in use";
    return created;
  }
  created.imageBytes = bytes->size();
  created.groups = created.definition.targets.back().group + 1;
  return created;
}

}  // namespace uvq::fleet
