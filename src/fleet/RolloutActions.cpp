// SPDX-License-Identifier: Apache-2.0
#include "fleet/RolloutActions.h"

#include <arpa/inet.h>

#include "fleet/TargetList.h"
#include "recording/StationFacts.h"

namespace uvq::fleet {

std::optional<rollouts::RolloutAction> RolloutActionOf(const std::string& word,
                                                       bool acceptFailures) {
  using rollouts::RolloutAction;
  if (word == "pause") return RolloutAction::Pause;
  if (word == "resume")
    return acceptFailures ? RolloutAction::AcceptFailures : RolloutAction::Resume;
  if (word == "cancel") return RolloutAction::Cancel;
  if (word == "retry") return RolloutAction::RetryFailed;
  if (word == "approve") return RolloutAction::Approve;
  if (word == "skip") return RolloutAction::Skip;
  return std::nullopt;
}

rollouts::Actor ActorOf(const std::string& name) {
  return {name.empty() ? recording::OsUser() : name, recording::HostName()};
}

RolloutActionDone ActOnRollout(rollouts::RolloutStore& store, const RolloutActionOrder& order) {
  using Refusal = RolloutActionDone::Refusal;
  RolloutActionDone done;
  rollouts::ActionRequest asked;
  asked.action = order.action;
  if (order.action == rollouts::RolloutAction::Skip) {
    const auto address = ParseDecimalAddress(order.skipTarget);
    if (!address) {
      done.refusal = Refusal::BadTarget;
      done.problem = "skip takes one unit's address, not '" + order.skipTarget + "'";
      return done;
    }
    asked.target = order.skipTarget;
    asked.address = ntohl(address->s_addr);
  }
  asked.now = recording::NowUtcMillis();
  asked.actor = order.actor;
  done.result = store.act(order.rollout, asked);
  if (!done.result.found) {
    done.refusal = Refusal::NoSuchRollout;
    done.problem = "no rollout named '" + order.rollout + "'";
  } else if (!done.result.applied) {
    done.refusal = Refusal::NotNow;
    done.problem = "'" + order.rollout + "': " + done.result.refusal;
  }
  return done;
}

}  // namespace uvq::fleet
