// SPDX-License-Identifier: Apache-2.0
#include "fleet/RolloutStation.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "fleet/ClaimToken.h"
#include "fleet/ImageCheck.h"
#include "fleet/Refused.h"
#include "fleet/RolloutAlerts.h"
#include "fleet/RunLog.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "recording/StationFacts.h"
#include "store/db/HistoryPaths.h"
#include "store/db/RedactedUrl.h"
#include "store/db/SqlConnection.h"
#include "store/db/StoreError.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::fleet {

namespace {

using rollouts::RolloutState;

std::string ProcessOf(const std::string& token) {
  const size_t last = token.rfind(':');
  const size_t middle = last == std::string::npos ? last : token.rfind(':', last - 1);
  return middle == std::string::npos ? token : token.substr(middle + 1, last - middle - 1);
}

RolloutRunResult Refused(RolloutRunResult::Refusal refusal, std::string problem) {
  RolloutRunResult result = RefusedResult<RolloutRunResult>(refusal, std::move(problem));
  result.outcome = refusal == RolloutRunResult::Refusal::Image ? jobs::JobOutcome::FileError
                                                               : jobs::JobOutcome::Refused;
  return result;
}

}  // namespace

StationHistory OpenStationHistory(bool record, const std::string& db) {
  StationHistory opened;
  if (!record) return opened;
  try {
    opened.store = history::OpenSpoolingHistoryStore(db);
    history::MoveSpooledRows(*opened.store);  // still refused: they stay for a later run
  } catch (const std::exception& error) {
    opened.store.reset();
    opened.problem = history::WithoutPassword(error.what(), db);
  }
  return opened;
}

rollouts::ClaimHolder StationClaimHolder(const std::string& station) {
  rollouts::ClaimHolder holder;
  holder.station = station.empty() ? recording::HostName() : station;
  holder.token = NewClaimToken();
  return holder;
}

// Every station sends exactly the bytes the rollout was created with. A file at the recorded
// path that holds something else is refused: whoever changed it meant another image, which
// needs a rollout of its own. A file that is gone is no such sign: the stored copy is sent.
std::optional<std::string> RolloutImageRefusal(const rollouts::RolloutDefinition& definition,
                                               RolloutEvents& events) {
  if (!definition.image || Sha256Of(*definition.image) != definition.imageSha256)
    return "the image stored with rollout '" + definition.name +
           "' does not match its SHA-256: the database copy is damaged";
  struct stat info {};
  if (::stat(definition.imagePath.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      events.notice("image file " + definition.imagePath +
                    " is gone: sending the copy stored with the rollout (SHA-256 " +
                    definition.imageSha256 + ")");
      return std::nullopt;
    }
  }
  // The file is hashed as it is read, a buffer at a time: the rollout's copy stays the only one
  // held (read whole beside it, the image counted twice in the run's peak memory).
  constexpr const char* kUncompared = "; it cannot be compared with the rollout's image";
  int64_t size = 0;
  if (const auto problem = CheckImage(definition.imagePath, true, &size))
    return problem->message + kUncompared;
  if (size > kMaxImageBytes)
    return "image '" + definition.imagePath + "' is " + std::to_string(size) +
           " bytes, more than any image (" + std::to_string(kMaxImageBytes >> 20) + " MiB)" +
           kUncompared;
  platform::PosixFileSystem files;
  const recording::ImageDigest digest = recording::DigestOfImage(files, definition.imagePath);
  if (!digest.problem.empty()) return digest.problem + kUncompared;
  const std::string& now = digest.sha256;
  if (now != definition.imageSha256)
    return "image file " + definition.imagePath + " changed since rollout '" + definition.name +
           "' was created (SHA-256 " + now + ", the rollout's " + definition.imageSha256 +
           "): nothing was sent; a new image needs a new rollout";
  return std::nullopt;
}

std::optional<rollouts::EndSpool> OpenEndSpool(const history::SpoolingHistoryStore* history,
                                               std::string& problem) {
  try {
    if (history) return rollouts::EndSpool(store::EndSpoolPathBeside(history->spoolPath()));
    store::EnsurePrivateFolder(store::DefaultHistoryFolder());
    return rollouts::EndSpool(store::EndSpoolPathBeside(store::DefaultSpoolPath()));
  } catch (const store::StoreError& error) {
    problem = std::string(error.what()) +
              ": unit ends are kept in memory only while the rollout store is away";
    return std::nullopt;
  }
}

// Their units count as ended, not as claims of a gone process to redo.
void WriteKeptEnds(rollouts::RolloutStore& store, const rollouts::EndSpool* spool,
                   const std::string& rollout, const rollouts::ClaimHolder& holder,
                   RolloutEvents& events) {
  if (!spool) return;
  try {
    const KeptEndsReplayed replayed = ReplayKeptEnds(store, *spool, rollout, holder.token);
    if (const int count = replayed.written + replayed.refused; count > 0)
      events.notice(std::to_string(count) + " unit end" + (count == 1 ? "" : "s") +
                    " kept by a stopped station process " + (count == 1 ? "was" : "were") +
                    " written (" + std::to_string(replayed.refused) + " counted before)");
  } catch (const std::exception& error) {
    events.notice(std::string("unit ends kept by a stopped station process are not written yet: ") +
                  error.what());
  }
}

void SayStationEnded(rollouts::RolloutStore& store, const std::string& rollout,
                     const rollouts::ClaimHolder& holder) {
  try {
    store.stationEnded(rollout, holder, recording::NowUtcMillis());
  } catch (const store::StoreError&) {
    // The store is away: the station is shown as gone once its lease has passed.
  }
}

void TakeBackDeadClaims(rollouts::RolloutStore& store, const std::string& rollout,
                        const rollouts::ClaimHolder& holder, int leaseMs, RolloutEvents& events) {
  for (const std::string& token : store.holders(rollout, holder.station)) {
    if (token == holder.token || !ClaimTokenHolderGone(token)) continue;
    const int taken =
        store.takeOver(rollout, holder.station, token, holder, recording::NowUtcMillis(), leaseMs);
    if (taken > 0)
      events.notice(std::to_string(taken) + " unit" + (taken == 1 ? " was" : "s were") +
                    " in flight when this station's process " + ProcessOf(token) +
                    " stopped: they are redone");
  }
}

int GroupOf(size_t position, size_t count, int groups, int groupSize) {
  if (groupSize > 0) return static_cast<int>(position / static_cast<size_t>(groupSize));
  if (groups <= 1 || count == 0) return 0;
  const size_t n = std::min(count, static_cast<size_t>(groups));
  const size_t base = count / n, larger = count % n;
  // The first `larger` groups hold base + 1 units.
  const size_t split = larger * (base + 1);
  if (position < split) return static_cast<int>(position / (base + 1));
  return static_cast<int>(larger + (position - split) / base);
}

rollouts::RolloutDefinition PlanRollout(const RolloutDraft& draft) {
  rollouts::RolloutDefinition definition;
  definition.name = draft.name;
  definition.createdAt = recording::NowUtcMillis();
  definition.createdBy = draft.createdBy;
  definition.imagePath = draft.imagePath;
  if (draft.image) definition.imageSha256 = Sha256Of(*draft.image);
  definition.image = draft.image;
  definition.successThreshold = draft.successThreshold;
  definition.errorThreshold = draft.errorThreshold;
  definition.retries = draft.retries;
  for (size_t i = 0; i < draft.targets.size(); ++i) {
    rollouts::RolloutTarget target;
    target.target = draft.targets[i].text;
    target.address = ntohl(draft.targets[i].address.s_addr);
    if (draft.targets[i].unitId) target.unitId = *draft.targets[i].unitId;
    target.group = GroupOf(i, draft.targets.size(), draft.groups, draft.groupSize);
    definition.targets.push_back(std::move(target));
  }
  return definition;
}

RolloutRunResult RunRolloutStation(rollouts::RolloutStore& store, const RolloutStationSetup& setup,
                                   RolloutEvents& events, SessionEvents& sessionEvents) {
  using Refusal = RolloutRunResult::Refusal;
  const platform::ParallelInLimit parallel = platform::PossibleParallel(setup.parallel);
  if (!parallel.note.empty()) events.notice(parallel.note);
  const std::optional<rollouts::RolloutDefinition> definition = store.load(setup.rollout);
  if (!definition)
    return Refused(Refusal::NoSuchRollout, "no rollout named '" + setup.rollout + "'");
  rollouts::ClaimHolder holder = StationClaimHolder(setup.station);
  const int leaseMs = setup.settings.leaseSeconds * 1000;
  // Its end is told even when this station finds it ended, or refuses it.
  RolloutAlerts alerts(store, holder.station, leaseMs, setup.alertProblem);
  alerts.watch(definition->name, definition->notifyUrl);
  if (const auto refusal = RolloutImageRefusal(*definition, events))
    return Refused(Refusal::Image, *refusal);

  RolloutRunResult result;
  if (const auto status = store.status(definition->name)) {
    result.state = status->summary.state;
    result.stopReason = status->summary.stopReason;
    if (result.state == RolloutState::Stopped) result.outcome = jobs::JobOutcome::UnitError;
    // A paused rollout is joined and waited for, unless the station is to end at a pause.
    const bool waits = result.state == RolloutState::Paused && !setup.settings.exitOnPause;
    if (result.state != RolloutState::Running && !waits) return result;
  }

  StationHistory opened = OpenStationHistory(setup.record, setup.historyDb);
  if (!opened.problem.empty()) return Refused(Refusal::History, opened.problem);
  const std::unique_ptr<history::SpoolingHistoryStore>& historyStore = opened.store;
  std::string spoolProblem;
  std::optional<rollouts::EndSpool> endSpool = OpenEndSpool(historyStore.get(), spoolProblem);
  if (!endSpool) events.notice(spoolProblem);
  WriteKeptEnds(store, endSpool ? &*endSpool : nullptr, definition->name, holder, events);
  // Claims this station's earlier processes held when they died come back at once.
  TakeBackDeadClaims(store, definition->name, holder, leaseMs, events);

  uvq::platform::SystemClock clock;
  uvq::platform::PosixFileSystem files;
  SilentTone tone;
  SessionPool pool(parallel.parallel, setup.stop);
  RolloutRunner runner({setup.settings, store, *definition, holder, historyStore.get(), setup.plan,
                        events, sessionEvents, SharedPorts{clock, tone, files}, parallel.parallel,
                        "cli", endSpool ? &*endSpool : nullptr});
  runner.setPool(&pool);
  runner.joinedAt(result.state);
  runner.refreshCounts();
  result.joined = true;
  result.stoppedBy = pool.run(runner);
  runner.settle();
  store.setLockWait(store::kDefaultLockWaitMs);
  if (historyStore) historyStore->setLockWait(store::kDefaultLockWaitMs);
  SayStationEnded(store, definition->name, holder);
  result.state = runner.state();
  result.stopReason = runner.stopReason();
  result.ok = runner.ok();
  result.failed = runner.failed();
  result.redone = runner.redone();
  if (result.stoppedBy != StopCause::None)
    result.outcome = jobs::JobOutcome::Interrupted;
  else if (result.state == RolloutState::Stopped || result.failed > 0)
    result.outcome = jobs::JobOutcome::UnitError;
  return result;
}

}  // namespace uvq::fleet
