// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/db/SqlConnection.h"
#include "store/rollouts/RolloutJudgement.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::rollouts {

// The rollouts on any SQL database: the statements and the rules (claims, ends, thresholds,
// actions) written once over a store/db connection (shared with the history). Every call is one
// transaction; an end holds the database's write lock (SQLite) or its group's row of counts
// (PostgreSQL) while it judges, so the rules hold across stations; an action holds the
// rollout's row and its groups'. Safe to call from several threads (one at a time on the
// connection).
class SqlRolloutStore : public RolloutStore {
 public:
  explicit SqlRolloutStore(std::shared_ptr<store::SqlConnection> connection);

  CreateResult create(const RolloutDefinition& definition) override;
  std::optional<RolloutDefinition> load(const std::string& name) override;
  std::vector<RolloutSummary> list() override;
  std::optional<RolloutStatus> status(const std::string& name) override;
  std::vector<RolloutUnit> units(const std::string& name, int offset, int limit) override;
  std::vector<Claim> claim(const std::string& name, const ClaimRequest& request) override;
  Renewal renew(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                int leaseMs) override;
  Renewal renewWithPhases(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                          int leaseMs, const std::vector<UnitPhaseNote>& phases) override;
  AttemptVerdict end(const std::string& name, const ClaimHolder& holder,
                     const AttemptResult& result, UtcMillis now) override;
  // One transaction; the units' rows written a statement for many ends at a time.
  std::vector<AttemptVerdict> endAll(const std::string& name, const ClaimHolder& holder,
                                     const std::vector<AttemptResult>& results,
                                     UtcMillis now) override;
  void stationEnded(const std::string& name, const ClaimHolder& holder, UtcMillis now) override;
  int takeOver(const std::string& name, const std::string& station, const std::string& deadToken,
               const ClaimHolder& holder, UtcMillis now, int leaseMs) override;
  std::vector<std::string> holders(const std::string& name, const std::string& station) override;
  bool workLeft(const std::string& name,
                std::optional<std::pair<uint32_t, uint32_t>> range) override;
  std::vector<std::string> unfinished(std::optional<std::pair<uint32_t, uint32_t>> range,
                                      UtcMillis now) override;
  using RolloutStore::act;
  ActionResult act(const std::string& name, const ActionRequest& request) override;
  std::vector<ActionRecord> actions(const std::string& rollout, int limit) override;
  std::vector<RolloutEvent> claimEvents(const std::string& name, const std::string& station,
                                        UtcMillis now, int silenceMs) override;
  std::string location() const override { return connection_->description(); }
  void setLockWait(int ms) override { connection_->setLockWait(ms); }

 private:
  struct Rollout {
    int64_t id = 0;
    RolloutState state = RolloutState::Running;
    int successThreshold = 0;
    int errorThreshold = 0;
    int retries = 0;
    bool approveGroups = false;
    int64_t approvedGroup = 0;
  };
  template <typename Call>
  auto Transaction(store::Access access, Call call);
  store::SqlResult Run(const std::string& sql, const std::vector<store::SqlValue>& params);
  // The rollout's row; locked against other writers (PostgreSQL: FOR UPDATE, or FOR SHARE for
  // claims, which may run side by side).
  std::optional<Rollout> Find(const std::string& name, const char* lock);
  // Every group's counts, in order (the units not ended counted pending).
  std::vector<GroupCounts> Groups(int64_t rollout);
  // Judges a running rollout's thresholds (after an end left its group with `changed`, or
  // anything) and keeps what they say unless the rollout stopped running meanwhile; returns the
  // rollout's state.
  // `ending`: the counts of the groups that the ends being judged leave, as of the end judged
  // (their rows hold the counts after all of them).
  RolloutJudgement Judge(const Rollout& rollout, const std::optional<GroupCounts>& changed,
                         const std::map<int64_t, GroupCounts>* ending = nullptr);
  // Ends some of an endAll call's attempts (as many as one statement writes), in its
  // transaction; `rollout` is found by the first and carries the state from one to the next.
  void EndSome(const std::string& name, const ClaimHolder& holder,
               std::span<const AttemptResult> results, UtcMillis now,
               std::optional<Rollout>& rollout, std::span<AttemptVerdict> verdicts);
  // The holder's sign of life on its station's row, which names its process from then on;
  // leaseMs 0 keeps the lease known.
  void NoteStation(int64_t rollout, const ClaimHolder& holder, UtcMillis now, int leaseMs);
  // Keeps an action in the record, in the transaction that did it.
  void Record(const std::string& rollout, std::string_view action, const Actor& actor, UtcMillis at,
              const std::string& detail);

  std::shared_ptr<store::SqlConnection> connection_;
};

}  // namespace uvq::rollouts
