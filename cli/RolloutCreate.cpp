// SPDX-License-Identifier: Apache-2.0
// `uvq rollout create NAME IMAGE`: the image read once and kept with its SHA-256, the targets
// resolved to addresses, the groups made in the order given.
#include <arpa/inet.h>

#include <cstdio>

#include "Escaped.h"
#include "Fleet.h"
#include "RolloutRequest.h"
#include "recording/StationFacts.h"

namespace uvq::cli {

namespace {

// Group of the unit at `position` of `count`: `groups` groups of nearly equal size (the first
// ones one larger), or groups of `groupSize`, or one group.
int GroupOf(size_t position, size_t count, int groups, int groupSize) {
  if (groupSize > 0) return static_cast<int>(position / static_cast<size_t>(groupSize));
  if (groups <= 1) return 0;
  const size_t n = std::min(count, static_cast<size_t>(groups));
  const size_t base = count / n, larger = count % n;
  // The first `larger` groups hold base + 1 units.
  const size_t split = larger * (base + 1);
  if (position < split) return static_cast<int>(position / (base + 1));
  return static_cast<int>(larger + (position - split) / base);
}

}  // namespace

int CreateRollout(const RolloutRequest& request, history::RolloutStore& store) {
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
          LoadImage(request.image, request.options.plan.allowPartialRecord, *bytes))
    return RolloutFail(ExitCode::File, problem->message);

  history::RolloutDefinition definition;
  definition.name = request.name;
  definition.createdAt = recording::NowUtcMillis();
  definition.createdBy = request.options.history.station.empty() ? recording::HostName()
                                                                 : request.options.history.station;
  definition.imagePath = AbsolutePath(request.image);
  definition.imageSha256 = Sha256Of(*bytes);
  definition.image = bytes;
  definition.successThreshold = request.successThreshold;
  definition.errorThreshold = request.errorThreshold;
  definition.retries = request.retries;
  definition.approveGroups = request.approveGroups;
  definition.notifyUrl = request.notifyUrl;
  definition.actor = CommandLineActor(request);
  for (size_t i = 0; i < targets.size(); ++i) {
    history::RolloutTarget target;
    target.target = targets[i].text;
    target.address = ntohl(targets[i].address.s_addr);
    if (targets[i].unitId) target.unitId = *targets[i].unitId;
    target.group = GroupOf(i, targets.size(), request.groups, request.groupSize);
    definition.targets.push_back(std::move(target));
  }
  const history::CreateResult created = store.create(definition);
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
              Escaped(definition.name).c_str(), definition.targets.size(),
              definition.targets.size() == 1 ? "" : "s", groups, groups == 1 ? "" : "s",
              Escaped(definition.imagePath).c_str(), bytes->size(), definition.imageSha256.c_str());
  if (definition.approveGroups && groups > 1)
    std::printf("each group after the first waits for: uvq rollout approve %s\n",
                Escaped(definition.name).c_str());
  return ToInt(ExitCode::Ok);
}

}  // namespace uvq::cli
