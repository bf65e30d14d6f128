// SPDX-License-Identifier: Apache-2.0
// `uvq rollout create NAME IMAGE`: the image read once and kept with its SHA-256, the targets
// resolved to addresses, the groups made in the order given (fleet::PlanRollout).
#include <cstdio>

#include "Fleet.h"
#include "RolloutRequest.h"
#include "recording/StationFacts.h"
#include "reports/TerminalText.h"

namespace uvq::cli {

int CreateRollout(const RolloutRequest& request, rollouts::RolloutStore& store) {
  // Every target resolved once, here: each station sends to the same addresses.
  std::vector<ResolvedTarget> targets;
  if (!request.range.empty()) {
    auto range = ExpandScanRange(request.range);
    if (const auto* error = std::get_if<TargetError>(&range))
      return RolloutFail(ExitCode::Usage, "--range: " + error->message);
    targets = std::get<std::vector<ResolvedTarget>>(std::move(range));
  }
  for (const TargetEntry& entry : request.targets) {
    auto resolved = ResolveTarget(entry);
    if (const auto* error = std::get_if<TargetError>(&resolved))
      return RolloutFail(
          error->kind == TargetError::Kind::BadAddress ? ExitCode::Usage : ExitCode::Network,
          error->message);
    targets.push_back(std::get<ResolvedTarget>(std::move(resolved)));
  }
  if (targets.empty())
    return RolloutFail(ExitCode::Usage,
                       "create needs its units: --target, --targets-file or --range A-B");
  if (const auto duplicate = FirstDuplicate(targets)) {
    const ResolvedTarget& t = targets[*duplicate];
    return RolloutFail(ExitCode::Usage, "target '" + t.text + "' (" + t.addressText +
                                            ") is given twice" +
                                            (t.unitId ? " for unit " + *t.unitId : std::string()));
  }

  auto bytes = std::make_shared<std::vector<uint8_t>>();
  if (const auto problem =
          LoadImage(request.image, request.options.allowPartialRecord, *bytes))
    return RolloutFail(ExitCode::File, problem->message);

  fleet::RolloutDraft draft;
  draft.name = request.name;
  draft.createdBy = request.options.history.station.empty() ? recording::HostName()
                                                            : request.options.history.station;
  draft.imagePath = AbsolutePath(request.image);
  draft.image = bytes;
  draft.targets = std::move(targets);
  draft.groups = request.groups;
  draft.groupSize = request.groupSize;
  draft.successThreshold = request.successThreshold;
  draft.errorThreshold = request.errorThreshold;
  draft.retries = request.retries;
  rollouts::RolloutDefinition definition = fleet::PlanRollout(draft);
  definition.approveGroups = request.approveGroups;
  definition.notifyUrl = request.notifyUrl;
  if (request.searchSeconds) definition.searchSeconds = *request.searchSeconds;
  definition.actor = CommandLineActor(request);
  const rollouts::CreateResult created = store.create(definition);
  if (!created.conflict.empty())
    return RolloutFail(ExitCode::Usage,
                       "rollout '" + created.conflict +
                           "' sends another image to some of these units and has not finished: "
                           "cancel it, or wait until it is done, before this one is created");
  if (!created)
    return RolloutFail(ExitCode::Usage, "the name '" + request.name +
                                            "' is in use; choose another (uvq rollout list)");
  const int groups = definition.targets.back().group + 1;
  std::printf("rollout '%s' created: %zu unit%s in %d group%s, image %s (%zu bytes, SHA-256 %s)\n",
              reports::Escaped(definition.name).c_str(), definition.targets.size(),
              definition.targets.size() == 1 ? "" : "s", groups, groups == 1 ? "" : "s",
              reports::Escaped(definition.imagePath).c_str(), bytes->size(),
              definition.imageSha256.c_str());
  if (definition.approveGroups && groups > 1)
    std::printf("each group after the first waits for: uvq rollout approve %s\n",
                reports::Escaped(definition.name).c_str());
  return ToInt(ExitCode::Ok);
}

}  // namespace uvq::cli
