// SPDX-License-Identifier: Apache-2.0
#pragma once

// A rollout made and worked through the rollouts' store, as stations do: units claimed under a
// station's name and ended ok or failed, so a dashboard has something to show.

#include <memory>
#include <string>
#include <vector>

#include "store/rollouts/RolloutStore.h"

namespace rollout_fill {

using namespace uvq::rollouts;

inline const std::string kSha(64, 'c');

// `groups` groups of `perGroup` units at 127.30.G.U (never reached: no unit is ever sent to).
inline RolloutDefinition Definition(const std::string& name, int groups, int perGroup,
                                    int errorThreshold = 50) {
  RolloutDefinition definition;
  definition.name = name;
  definition.createdAt = 1'796'601'600'000;
  definition.createdBy = "tester";
  definition.imagePath = "/images/" + std::string("line.cry");
  definition.imageSha256 = kSha;
  definition.image = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>(48, 1));
  definition.successThreshold = 50;
  definition.errorThreshold = errorThreshold;
  definition.retries = 1;
  for (int g = 0; g < groups; ++g)
    for (int u = 0; u < perGroup; ++u) {
      const uint32_t address = (127u << 24) | (30u << 16) | (uint32_t(g) << 8) | uint32_t(u + 1);
      definition.targets.push_back(
          {"127.30." + std::to_string(g) + "." + std::to_string(u + 1), address, "", g});
    }
  return definition;
}

// A station working on a rollout through the store.
class Station {
 public:
  Station(RolloutStore& store, std::string rollout, std::string name)
      : store_(store), rollout_(std::move(rollout)), holder_{name, name + "-token"} {}

  std::vector<Claim> claim(int count, UtcMillis now) {
    return store_.claim(rollout_, {holder_, count, now, 60000, std::nullopt});
  }
  // The lease renewed, noting the phases of units in flight.
  Renewal renew(const std::vector<UnitPhaseNote>& phases, UtcMillis now) {
    return store_.renewWithPhases(rollout_, holder_, now, 60000, phases);
  }
  AttemptVerdict ok(const Claim& claim, UtcMillis now) {
    AttemptResult result;
    result.position = claim.position;
    result.end = AttemptEnd::Ok;
    result.outcome = "ok";
    result.status = 0x0018;
    result.unitId = Id(claim.position);
    return store_.end(rollout_, holder_, result, now);
  }
  AttemptVerdict unitError(const Claim& claim, UtcMillis now) {
    AttemptResult result;
    result.position = claim.position;
    result.end = AttemptEnd::UnitError;
    result.outcome = "unit_error";
    result.detail = "checksum error on record 12";
    result.status = 0x6042;
    result.unitId = Id(claim.position);
    return store_.end(rollout_, holder_, result, now);
  }

 private:
  static std::string Id(int position) {
    char id[8];
    std::snprintf(id, sizeof id, "%04X", 0x0100 + position);
    return id;
  }
  RolloutStore& store_;
  std::string rollout_;
  ClaimHolder holder_;
};

}  // namespace rollout_fill
