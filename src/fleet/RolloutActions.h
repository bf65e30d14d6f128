// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// An action a person takes on a rollout: pause, resume, cancel, approve, skip or retry.
struct RolloutActionOrder {
  std::string rollout;
  rollouts::RolloutAction action = rollouts::RolloutAction::Pause;
  std::string skipTarget;  // Skip: the address of the units left out, A.B.C.D
  rollouts::Actor actor;
};

struct RolloutActionDone {
  // NoSuchRollout; NotNow: not possible in the rollout's state; BadTarget: a skip without one
  // unit's address. `problem` says why.
  enum class Refusal { None, NoSuchRollout, NotNow, BadTarget };
  Refusal refusal = Refusal::None;
  std::string problem;
  rollouts::ActionResult result;  // applied: the state now, and what it changed
};

// The action a front end's word names ("resume" with `acceptFailures`: its failures accepted);
// nullopt for a word that names none.
std::optional<rollouts::RolloutAction> RolloutActionOf(const std::string& word,
                                                       bool acceptFailures = false);

// Who acts: `name`, or the OS user when empty, from this host.
rollouts::Actor ActorOf(const std::string& name);

// Takes the action in the store, now, recorded under the order's actor.
RolloutActionDone ActOnRollout(rollouts::RolloutStore& store, const RolloutActionOrder& order);

}  // namespace uvq::fleet
