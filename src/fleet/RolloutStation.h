// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fleet/RolloutEvents.h"
#include "fleet/RolloutRunner.h"
#include "fleet/StopSource.h"
#include "fleet/TargetList.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::fleet {

// What a new rollout is made of: its units in the order given and how they are grouped.
struct RolloutDraft {
  std::string name;
  std::string createdBy;  // the station
  std::string imagePath;  // absolute
  std::shared_ptr<const std::vector<uint8_t>> image;
  std::vector<ResolvedTarget> targets;
  int groups = 0;     // that many groups of nearly equal size (the first ones one larger)
  int groupSize = 0;  // or groups of this size; neither: one group
  int successThreshold = 95;
  int errorThreshold = 10;
  int retries = 0;
};

// The group of the unit at `position` of `count`.
int GroupOf(size_t position, size_t count, int groups, int groupSize);
// The rollout as the store keeps it: the image with its SHA-256, each unit with its group.
rollouts::RolloutDefinition PlanRollout(const RolloutDraft& draft);

// One station's run of a rollout.
struct RolloutStationSetup {
  std::string rollout;
  RolloutRunSettings settings;
  jobs::JobPlan plan;   // how each unit is programmed; the image and the unit come from the rollout
  std::string station;  // empty: the host's name
  bool record = true;   // attempts recorded in the history of `historyDb`
  std::string historyDb;
  size_t parallel = 32;  // units at once; fewer when the open-file limit leaves fewer (said)
  const StopSource* stop = nullptr;
  // A rollout with a notify URL is watched while the station runs it; an alert given up is said
  // here, from the sender's thread.
  std::function<void(const std::string&)> alertProblem;
};

struct RolloutRunResult {
  // Refused before anything was claimed; `problem` says why.
  enum class Refusal { None, NoSuchRollout, Image, History };
  Refusal refusal = Refusal::None;
  std::string problem;
  // Whether the station took part at all: a rollout found done, stopped or cancelled at the
  // start is not joined, nor a paused one with `settings.exitOnPause`.
  bool joined = false;
  rollouts::RolloutState state = rollouts::RolloutState::Running;
  std::string stopReason;  // Stopped: the group's threshold that stopped it
  StopCause stoppedBy = StopCause::None;
  // Ok: every unit this station ran got the image, and the rollout is done (or nothing is left
  // for this station); UnitError: the rollout stopped by a threshold, or a unit failed here;
  // Interrupted: stopped by `stop`; FileError, Refused: refused (Refusal::Image, NoSuchRollout).
  jobs::JobOutcome outcome = jobs::JobOutcome::Ok;
  int ok = 0, failed = 0, redone = 0;
};

// The history a station records its attempts of rollouts in (the same database's, through the
// spool), with what earlier runs spooled moved in (rows still refused stay for a later run).
// No store when not recording, or when it cannot be opened: then `problem` says why (no
// password in it).
struct StationHistory {
  std::unique_ptr<history::SpoolingHistoryStore> store;
  std::string problem;
};
StationHistory OpenStationHistory(bool record, const std::string& db);
// The claims of this station's process: held under its name (empty: the host's) with a token of
// this process.
rollouts::ClaimHolder StationClaimHolder(const std::string& station);

// Why a station must not send the rollout's image: the copy stored with it is damaged, or the
// file at its path now holds other bytes (a file that is gone is said, and the copy is sent).
std::optional<std::string> RolloutImageRefusal(const rollouts::RolloutDefinition& definition,
                                               RolloutEvents& events);
// The units this station's earlier processes held when they died (same station name, a token
// whose process is gone) are taken back under `holder` at once, and said.
void TakeBackDeadClaims(rollouts::RolloutStore& store, const std::string& rollout,
                        const rollouts::ClaimHolder& holder, int leaseMs, RolloutEvents& events);

// The file the ends kept while the store is away go to: beside the history's spool, or beside
// the default one (its folder made). nullopt, with `problem` set, when that folder cannot be
// made: the ends are kept in memory only.
std::optional<rollouts::EndSpool> OpenEndSpool(const history::SpoolingHistoryStore* history,
                                               std::string& problem);
// The ends this host's stopped station processes kept on disk for the rollout are written
// before anything is taken back or claimed (said; a store that fails leaves them kept).
void WriteKeptEnds(rollouts::RolloutStore& store, const rollouts::EndSpool* spool,
                   const std::string& rollout, const rollouts::ClaimHolder& holder,
                   RolloutEvents& events);
// The station's process is done with the rollout: said in the store (an error is left: the
// station then shows as gone once its lease has passed).
void SayStationEnded(rollouts::RolloutStore& store, const std::string& rollout,
                     const rollouts::ClaimHolder& holder);

// Loads the rollout, watches its alerts when it has a notify URL, checks its image (the file at its
// path, when still there, must hold the same bytes), opens the history, takes back the claims this
// station's processes held when they died, and runs the station's part through a session pool of
// `parallel` slots until the rollout ends for it or `stop` is requested. A pause is waited for (no
// new unit meanwhile) unless `settings.exitOnPause`.
RolloutRunResult RunRolloutStation(rollouts::RolloutStore& store, const RolloutStationSetup& setup,
                                   RolloutEvents& events, SessionEvents& sessionEvents);

}  // namespace uvq::fleet
