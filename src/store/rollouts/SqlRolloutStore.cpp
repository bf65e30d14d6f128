// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/SqlRolloutStore.h"

#include <algorithm>
#include <limits>

#include "store/rollouts/RolloutJudgement.h"

namespace uvq::rollouts {

namespace {

using store::Access;
using store::Dialect;
using store::SqlResult;
using store::SqlRow;
using store::SqlValue;
using store::StoreErrorKind;

constexpr const char* kSummaryColumns =
    "id, name, created_at, image_path, image_sha256, image_bytes, success_threshold, "
    "error_threshold, retries, state, stop_reason, approve_groups, approved_group, notify_url";
constexpr const char* kUnitColumns =
    "position, rollout_group, target, unit_id, answered_unit_id, progress, attempts, outcome, "
    "detail, status, station, lease_until, redo";
constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max() / 2;

RolloutState StateOf(const SqlValue& value) {
  return RolloutStateNamed(value.asText()).value_or(RolloutState::Cancelled);
}

UnitProgress ProgressOf(const std::string& name) {
  for (size_t i = 0; i < std::size(kUnitProgressNames); ++i)
    if (kUnitProgressNames[i] == name) return static_cast<UnitProgress>(i);
  return UnitProgress::Pending;
}

std::string Text(UnitProgress progress) {
  return std::string(UnitProgressName(progress));
}
std::string Text(RolloutState state) {
  return std::string(RolloutStateName(state));
}

RolloutSummary ReadSummary(const SqlRow& row) {
  RolloutSummary summary;
  summary.name = row[1].asText();
  summary.createdAt = row[2].asNumber();
  summary.imagePath = row[3].asText();
  summary.imageSha256 = row[4].asText();
  summary.imageBytes = row[5].asNumber();
  summary.successThreshold = static_cast<int>(row[6].asNumber());
  summary.errorThreshold = static_cast<int>(row[7].asNumber());
  summary.retries = static_cast<int>(row[8].asNumber());
  summary.state = StateOf(row[9]);
  summary.stopReason = row[10].asText();
  summary.approveGroups = row[11].asNumber() != 0;
  summary.notifyUrl = row[13].asText();
  return summary;
}

// A running rollout whose groups wait for approvals waits when its current group (the first not
// ended) is beyond the last one approved.
void NoteWaiting(RolloutSummary& summary, int64_t approvedGroup) {
  if (!summary.approveGroups || summary.state != RolloutState::Running) return;
  for (const GroupCounts& group : summary.groups)
    if (group.pending + group.running > 0) {
      if (group.group > approvedGroup) summary.waitingGroup = group.group;
      return;
    }
}

RolloutUnit ReadUnit(const SqlRow& row) {
  RolloutUnit unit;
  unit.position = static_cast<int>(row[0].asNumber());
  unit.group = static_cast<int>(row[1].asNumber());
  unit.target = row[2].asText();
  unit.unitId = row[3].asText().empty() ? row[4].asText() : row[3].asText();
  unit.progress = ProgressOf(row[5].asText());
  unit.attempts = static_cast<int>(row[6].asNumber());
  unit.outcome = row[7].asText();
  unit.detail = row[8].asText();
  if (!row[9].null()) unit.status = static_cast<uint16_t>(row[9].asNumber());
  unit.station = row[10].asText();
  if (!row[11].null()) unit.leaseUntil = row[11].asNumber();
  unit.redo = row[12].asNumber() != 0;
  return unit;
}

GroupCounts ReadCounts(const SqlRow& row, size_t at) {
  GroupCounts counts;
  counts.group = static_cast<int>(row[at].asNumber());
  counts.size = static_cast<int>(row[at + 1].asNumber());
  counts.pending = static_cast<int>(row[at + 2].asNumber());
  counts.running = static_cast<int>(row[at + 3].asNumber());
  counts.ok = static_cast<int>(row[at + 4].asNumber());
  counts.failed = static_cast<int>(row[at + 5].asNumber());
  counts.skipped = static_cast<int>(row[at + 6].asNumber());
  counts.accepted = static_cast<int>(row[at + 7].asNumber());
  return counts;
}

constexpr const char* kCountColumns =
    "rollout_group, count(*), "
    "sum(CASE WHEN progress = 'pending' THEN 1 ELSE 0 END), "
    "sum(CASE WHEN progress = 'running' THEN 1 ELSE 0 END), "
    "sum(CASE WHEN progress = 'ok' THEN 1 ELSE 0 END), "
    "sum(CASE WHEN progress = 'failed' THEN 1 ELSE 0 END), "
    "sum(CASE WHEN progress = 'skipped' THEN 1 ELSE 0 END), "
    "sum(CASE WHEN progress = 'failed' AND accepted = 1 THEN 1 ELSE 0 END)";

std::string Plural(int count, const std::string& word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

}  // namespace

std::optional<RolloutState> RolloutStateNamed(std::string_view name) {
  for (size_t i = 0; i < std::size(kRolloutStateNames); ++i)
    if (kRolloutStateNames[i] == name) return static_cast<RolloutState>(i);
  return std::nullopt;
}

SqlRolloutStore::SqlRolloutStore(std::shared_ptr<store::SqlConnection> connection)
    : connection_(std::move(connection)) {}

// Every call is one transaction on the shared connection, tried again by its rule (a lost
// connection, a transaction the server broke): a transaction that failed changed nothing.
template <typename Call>
auto SqlRolloutStore::Transaction(Access access, Call call) {
  return connection_->transaction(
      "rollouts", access,
      access == Access::Read ? StoreErrorKind::ReadFailed : StoreErrorKind::WriteFailed, call);
}

SqlResult SqlRolloutStore::Run(const std::string& sql, const std::vector<SqlValue>& params) {
  return connection_->run(sql, params);
}

std::optional<SqlRolloutStore::Rollout> SqlRolloutStore::Find(const std::string& name,
                                                              const char* lock) {
  std::string sql =
      "SELECT id, state, success_threshold, error_threshold, retries, approve_groups, "
      "approved_group FROM rollouts WHERE name = $1";
  if (connection_->dialect() == Dialect::Postgres && lock) sql += std::string(" ") + lock;
  const SqlResult found = Run(sql, {name});
  if (found.rows.empty()) return std::nullopt;
  const SqlRow& row = found.rows.front();
  return Rollout{row[0].asNumber(),
                 StateOf(row[1]),
                 static_cast<int>(row[2].asNumber()),
                 static_cast<int>(row[3].asNumber()),
                 static_cast<int>(row[4].asNumber()),
                 row[5].asNumber() != 0,
                 row[6].asNumber()};
}

std::vector<GroupCounts> SqlRolloutStore::Groups(int64_t rollout, std::optional<int> only) {
  const SqlResult result =
      only ? Run(std::string("SELECT ") + kCountColumns +
                     " FROM rollout_units WHERE rollout = $1 AND rollout_group = $2 "
                     "GROUP BY rollout_group",
                 {rollout, *only})
           : Run(std::string("SELECT ") + kCountColumns +
                     " FROM rollout_units WHERE rollout = $1 GROUP BY rollout_group "
                     "ORDER BY rollout_group",
                 {rollout});
  std::vector<GroupCounts> groups;
  for (const SqlRow& row : result.rows) groups.push_back(ReadCounts(row, 0));
  return groups;
}

RolloutJudgement SqlRolloutStore::Judge(const Rollout& rollout, std::optional<int> changed) {
  if (rollout.state != RolloutState::Running) return {rollout.state, {}};
  const int success = rollout.successThreshold;
  const int error = rollout.errorThreshold;
  // An end changes only its own group: that group alone says whether the rollout stops or goes
  // on as it is; every group is counted only when it has ended (a few times per rollout).
  RolloutJudgement judged;
  if (changed) judged = JudgeGroups(Groups(rollout.id, changed), success, error);
  if (!changed || judged.state == RolloutState::Done)
    judged = JudgeGroups(Groups(rollout.id, std::nullopt), success, error);
  if (judged.state != RolloutState::Running)
    Run("UPDATE rollouts SET state = $1, stop_reason = $2 WHERE id = $3",
        {Text(judged.state), judged.reason, rollout.id});
  return judged;
}

void SqlRolloutStore::NoteStation(int64_t rollout, const std::string& station, UtcMillis now) {
  Run("INSERT INTO rollout_stations(rollout, station, last_seen) VALUES ($1, $2, $3) "
      "ON CONFLICT(rollout, station) DO UPDATE SET last_seen = CASE WHEN excluded.last_seen > "
      "rollout_stations.last_seen THEN excluded.last_seen ELSE rollout_stations.last_seen END",
      {rollout, station, now});
}

void SqlRolloutStore::Record(const std::string& rollout, std::string_view action,
                             const Actor& actor, UtcMillis at, const std::string& detail) {
  Run("INSERT INTO rollout_actions(rollout, action, actor, origin, at, detail) "
      "VALUES ($1, $2, $3, $4, $5, $6)",
      {rollout, std::string(action), actor.name, actor.origin, at, detail});
}

CreateResult SqlRolloutStore::create(const RolloutDefinition& definition) {
  return Transaction(Access::Write, [&] {
    CreateResult result;
    // One create at a time checks the other rollouts' units (SQLite's write lock does it there).
    if (connection_->dialect() == Dialect::Postgres)
      Run("SELECT pg_advisory_xact_lock(7305182)", {});
    const std::string image = definition.image
                                  ? std::string(definition.image->begin(), definition.image->end())
                                  : std::string();
    const SqlResult made =
        Run("INSERT INTO rollouts(name, created_at, created_by, image_path, image_sha256, image, "
            "image_bytes, success_threshold, error_threshold, retries, state, approve_groups, "
            "notify_url) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) "
            "ON CONFLICT(name) DO NOTHING RETURNING id",
            {definition.name, definition.createdAt, definition.createdBy, definition.imagePath,
             definition.imageSha256, SqlValue::Bytes(image), static_cast<int64_t>(image.size()),
             definition.successThreshold, definition.errorThreshold, definition.retries,
             Text(RolloutState::Running), definition.approveGroups ? 1 : 0, definition.notifyUrl});
    if (made.rows.empty()) return result;
    const int64_t id = made.rows.front()[0].asNumber();
    // One prepared statement for every unit, in the one transaction.
    const std::string insert =
        "INSERT INTO rollout_units(rollout, position, rollout_group, target, address, unit_id) "
        "VALUES ($1, $2, $3, $4, $5, $6)";
    for (size_t i = 0; i < definition.targets.size(); ++i) {
      const RolloutTarget& target = definition.targets[i];
      Run(insert, {id, static_cast<int64_t>(i), target.group, target.target,
                   static_cast<int64_t>(target.address), target.unitId});
    }
    // Two images at once for the same unit: whichever station comes last would win. Refused
    // while the other rollout may still send (its units are in the table once it is made).
    const SqlResult clash = Run(
        "SELECT r.name, mine.target FROM rollout_units mine JOIN rollout_units other ON "
        "other.address = mine.address AND other.rollout <> mine.rollout JOIN rollouts r ON "
        "r.id = other.rollout WHERE mine.rollout = $1 AND r.state IN ('running', 'paused', "
        "'stopped') AND r.image_sha256 <> $2 ORDER BY r.created_at, r.id, mine.position LIMIT 1",
        {id, definition.imageSha256});
    if (!clash.rows.empty()) {
      Run("DELETE FROM rollout_units WHERE rollout = $1", {id});
      Run("DELETE FROM rollouts WHERE id = $1", {id});
      result.conflict = clash.rows.front()[0].asText();
      return result;
    }
    Record(definition.name, "create", definition.actor, definition.createdAt,
           Plural(static_cast<int>(definition.targets.size()), "unit") +
               (definition.approveGroups ? ", groups approved one by one" : ""));
    result.created = true;
    return result;
  });
}

std::optional<RolloutDefinition> SqlRolloutStore::load(const std::string& name) {
  return Transaction(Access::Read, [&]() -> std::optional<RolloutDefinition> {
    const SqlResult found = Run(
        "SELECT id, created_at, created_by, image_path, image_sha256, image, success_threshold, "
        "error_threshold, retries, approve_groups, notify_url FROM rollouts WHERE name = $1",
        {name});
    if (found.rows.empty()) return std::nullopt;
    const SqlRow& row = found.rows.front();
    RolloutDefinition definition;
    definition.name = name;
    definition.createdAt = row[1].asNumber();
    definition.createdBy = row[2].asText();
    definition.imagePath = row[3].asText();
    definition.imageSha256 = row[4].asText();
    const std::string& bytes = row[5].text;
    definition.image = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
    definition.successThreshold = static_cast<int>(row[6].asNumber());
    definition.errorThreshold = static_cast<int>(row[7].asNumber());
    definition.retries = static_cast<int>(row[8].asNumber());
    definition.approveGroups = row[9].asNumber() != 0;
    definition.notifyUrl = row[10].asText();
    const SqlResult units =
        Run("SELECT target, address, unit_id, rollout_group FROM rollout_units WHERE rollout = $1 "
            "ORDER BY position",
            {row[0].asNumber()});
    definition.targets.reserve(units.rows.size());
    for (const SqlRow& unit : units.rows)
      definition.targets.push_back({unit[0].asText(), static_cast<uint32_t>(unit[1].asNumber()),
                                    unit[2].asText(), static_cast<int>(unit[3].asNumber())});
    return definition;
  });
}

std::vector<RolloutSummary> SqlRolloutStore::list() {
  return Transaction(Access::Read, [&] {
    const SqlResult rollouts = Run(
        std::string("SELECT ") + kSummaryColumns + " FROM rollouts ORDER BY created_at, id", {});
    const SqlResult counts =
        Run(std::string("SELECT rollout, ") + kCountColumns +
                " FROM rollout_units GROUP BY rollout, rollout_group ORDER BY rollout, "
                "rollout_group",
            {});
    std::vector<RolloutSummary> summaries;
    for (const SqlRow& row : rollouts.rows) {
      summaries.push_back(ReadSummary(row));
      const int64_t id = row[0].asNumber();
      for (const SqlRow& count : counts.rows)
        if (count[0].asNumber() == id) summaries.back().groups.push_back(ReadCounts(count, 1));
      NoteWaiting(summaries.back(), row[12].asNumber());
    }
    return summaries;
  });
}

std::optional<RolloutStatus> SqlRolloutStore::status(const std::string& name) {
  return Transaction(Access::Read, [&]() -> std::optional<RolloutStatus> {
    const SqlResult found =
        Run(std::string("SELECT ") + kSummaryColumns + " FROM rollouts WHERE name = $1", {name});
    if (found.rows.empty()) return std::nullopt;
    RolloutStatus status;
    status.summary = ReadSummary(found.rows.front());
    const int64_t id = found.rows.front()[0].asNumber();
    status.summary.groups = Groups(id, std::nullopt);
    NoteWaiting(status.summary, found.rows.front()[12].asNumber());
    const std::string units = std::string("SELECT ") + kUnitColumns +
                              " FROM rollout_units WHERE rollout = $1 AND progress = $2 "
                              "ORDER BY position";
    for (const SqlRow& row : Run(units, {id, Text(UnitProgress::Failed)}).rows)
      status.failed.push_back(ReadUnit(row));
    for (const SqlRow& row : Run(units, {id, Text(UnitProgress::Running)}).rows)
      status.running.push_back(ReadUnit(row));
    const SqlResult stations =
        Run("SELECT s.station, s.last_seen, (SELECT count(*) FROM rollout_units u WHERE "
            "u.rollout = s.rollout AND u.progress = 'running' AND u.station = s.station) "
            "FROM rollout_stations s WHERE s.rollout = $1 ORDER BY s.station",
            {id});
    for (const SqlRow& row : stations.rows)
      status.stations.push_back(
          {row[0].asText(), row[1].asNumber(), static_cast<int>(row[2].asNumber())});
    return status;
  });
}

std::vector<RolloutUnit> SqlRolloutStore::units(const std::string& name, int offset, int limit) {
  return Transaction(Access::Read, [&] {
    const SqlResult rows =
        Run(std::string("SELECT ") + kUnitColumns +
                " FROM rollout_units WHERE rollout = (SELECT id FROM rollouts "
                "WHERE name = $1) ORDER BY position LIMIT $2 OFFSET $3",
            {name, limit > 0 ? int64_t{limit} : kNoLimit, int64_t{std::max(offset, 0)}});
    std::vector<RolloutUnit> units;
    units.reserve(rows.rows.size());
    for (const SqlRow& row : rows.rows) units.push_back(ReadUnit(row));
    return units;
  });
}

std::vector<Claim> SqlRolloutStore::claim(const std::string& name, const ClaimRequest& request) {
  return Transaction(Access::Write, [&] {
    std::vector<Claim> claims;
    // Shared: claims run side by side, while an end judging the thresholds waits for them (and
    // they for it).
    const auto rollout = Find(name, "FOR SHARE");
    if (!rollout || request.count <= 0) return claims;
    NoteStation(rollout->id, request.holder.station, request.now);
    if (rollout->state != RolloutState::Running) return claims;
    const SqlResult current =
        Run("SELECT min(rollout_group) FROM rollout_units WHERE rollout = $1 AND "
            "progress IN ('pending', 'running')",
            {rollout->id});
    if (current.rows.empty() || current.rows.front()[0].null()) return claims;
    // A group waiting for its approval: none of its units is handed out, to any station.
    if (rollout->approveGroups && current.rows.front()[0].asNumber() > rollout->approvedGroup)
      return claims;
    const auto [first, last] =
        request.range.value_or(std::pair<uint32_t, uint32_t>{0, 0xffffffffu});
    const bool lite = connection_->dialect() == Dialect::Sqlite;
    // The units are chosen under row locks that other stations skip, then taken in the same
    // statement: a unit goes to one station only.
    const SqlResult taken =
        Run(std::string("WITH picked AS MATERIALIZED (SELECT position FROM rollout_units "
                        "WHERE rollout = $1 AND rollout_group = $2 AND ((progress = 'pending' AND "
                        "not_before <= $3) OR (progress = 'running' AND lease_until < $3)) AND "
                        "address >= $4 AND address <= $5 ORDER BY position LIMIT $6") +
                (lite ? "" : " FOR UPDATE SKIP LOCKED") +
                ") UPDATE rollout_units SET "
                "redo = CASE WHEN progress = 'running' THEN 1 ELSE redo END, "
                "previous_holder = CASE WHEN progress = 'running' THEN station "
                "ELSE previous_holder END, "
                "progress = 'running', station = $7, holder_token = $8, lease_until = $9 "
                "WHERE rollout = $1 AND position IN (SELECT position FROM picked) "
                "RETURNING position, rollout_group, target, address, unit_id, attempts, redo, "
                "previous_holder",
            {rollout->id, current.rows.front()[0].asNumber(), request.now, int64_t{first},
             int64_t{last}, int64_t{request.count}, request.holder.station, request.holder.token,
             request.now + request.leaseMs});
    for (const SqlRow& row : taken.rows) {
      Claim claim;
      claim.position = static_cast<int>(row[0].asNumber());
      claim.group = static_cast<int>(row[1].asNumber());
      claim.target = row[2].asText();
      claim.address = static_cast<uint32_t>(row[3].asNumber());
      claim.unitId = row[4].asText();
      claim.attempts = static_cast<int>(row[5].asNumber());
      claim.redo = row[6].asNumber() != 0;
      if (claim.redo) claim.previousHolder = row[7].asText();
      claims.push_back(std::move(claim));
    }
    std::sort(claims.begin(), claims.end(),
              [](const Claim& a, const Claim& b) { return a.position < b.position; });
    return claims;
  });
}

Renewal SqlRolloutStore::renew(const std::string& name, const ClaimHolder& holder, UtcMillis now,
                               int leaseMs) {
  return Transaction(Access::Write, [&] {
    Renewal renewal;
    const auto rollout = Find(name, nullptr);
    if (!rollout) {
      renewal.state = RolloutState::Cancelled;
      return renewal;
    }
    // The station's row before the units' rows, as every write takes them (no deadlock with an
    // end on another connection).
    NoteStation(rollout->id, holder.station, now);
    const SqlResult held =
        Run("UPDATE rollout_units SET lease_until = $1 WHERE rollout = $2 AND holder_token = $3 "
            "AND progress = 'running' RETURNING position",
            {now + leaseMs, rollout->id, holder.token});
    renewal.state = rollout->state;
    for (const SqlRow& row : held.rows) renewal.held.push_back(static_cast<int>(row[0].asNumber()));
    std::sort(renewal.held.begin(), renewal.held.end());
    return renewal;
  });
}

AttemptVerdict SqlRolloutStore::end(const std::string& name, const ClaimHolder& holder,
                                    const AttemptResult& result, UtcMillis now) {
  return Transaction(Access::Write, [&] {
    AttemptVerdict verdict;
    // Locked for the whole judgement: the ends of all stations are judged one after another.
    const auto rollout = Find(name, "FOR UPDATE");
    if (!rollout) {
      verdict.held = false;
      verdict.state = RolloutState::Cancelled;
      return verdict;
    }
    verdict.state = rollout->state;
    NoteStation(rollout->id, holder.station, now);
    const SqlResult found =
        Run(std::string("SELECT progress, holder_token, attempts, rollout_group FROM rollout_units "
                        "WHERE rollout = $1 AND position = $2") +
                (connection_->dialect() == Dialect::Postgres ? " FOR UPDATE" : ""),
            {rollout->id, int64_t{result.position}});
    if (found.rows.empty() || found.rows.front()[0].asText() != Text(UnitProgress::Running) ||
        found.rows.front()[1].asText() != holder.token || holder.token.empty()) {
      verdict.held = false;
      if (!found.rows.empty()) verdict.progress = ProgressOf(found.rows.front()[0].asText());
      return verdict;
    }
    int attempts = static_cast<int>(found.rows.front()[2].asNumber());
    UnitProgress progress = UnitProgress::Pending;
    int64_t notBefore = now;
    bool redo = false;
    switch (result.end) {
      case AttemptEnd::Ok:
        ++attempts;
        progress = UnitProgress::Ok;
        break;
      case AttemptEnd::UnitError:
        ++attempts;
        progress = UnitProgress::Failed;
        break;
      case AttemptEnd::Retryable:
        ++attempts;
        progress = attempts > rollout->retries ? UnitProgress::Failed : UnitProgress::Pending;
        notBefore = now + result.retryAfterMs;
        break;
      case AttemptEnd::Missing:
        notBefore = now + result.retryAfterMs;
        break;
      case AttemptEnd::Interrupted:
        redo = true;
        break;
    }
    Run("UPDATE rollout_units SET progress = $3, attempts = $4, outcome = $5, detail = $6, "
        "status = $7, answered_unit_id = CASE WHEN CAST($8 AS TEXT) = '' THEN answered_unit_id "
        "ELSE CAST($8 AS TEXT) END, "
        "station = $9, holder_token = '', lease_until = NULL, not_before = $10, redo = $11, "
        "previous_holder = $12 WHERE rollout = $1 AND position = $2",
        {rollout->id, int64_t{result.position}, Text(progress), attempts, result.outcome,
         result.detail, result.status ? SqlValue(int64_t{*result.status}) : SqlValue(),
         result.unitId, holder.station, notBefore, redo ? 1 : 0,
         redo ? holder.station : std::string()});
    verdict.progress = progress;
    const RolloutJudgement judged =
        Judge(*rollout, static_cast<int>(found.rows.front()[3].asNumber()));
    verdict.state = judged.state;
    verdict.stopReason = judged.reason;
    return verdict;
  });
}

int SqlRolloutStore::takeOver(const std::string& name, const std::string& station,
                              const std::string& deadToken, const ClaimHolder& holder,
                              UtcMillis now, int /*leaseMs*/) {
  return Transaction(Access::Write, [&] {
    const auto rollout = Find(name, nullptr);
    if (!rollout || deadToken.empty()) return 0;
    NoteStation(rollout->id, holder.station, now);
    // Put back at once, redone by whoever claims them next (first in its group's order): held
    // here instead, they would wait for a lease that this process's renewals keep alive.
    const SqlResult moved =
        Run("UPDATE rollout_units SET progress = 'pending', redo = 1, previous_holder = station, "
            "holder_token = '', lease_until = NULL, not_before = $4 WHERE rollout = $1 AND "
            "progress = 'running' AND station = $2 AND holder_token = $3",
            {rollout->id, station, deadToken, now});
    return static_cast<int>(moved.changed);
  });
}

std::vector<std::string> SqlRolloutStore::holders(const std::string& name,
                                                  const std::string& station) {
  return Transaction(Access::Read, [&] {
    std::vector<std::string> tokens;
    for (const SqlRow& row :
         Run("SELECT DISTINCT holder_token FROM rollout_units WHERE rollout = (SELECT id FROM "
             "rollouts WHERE name = $1) AND progress = 'running' AND station = $2 "
             "ORDER BY holder_token",
             {name, station})
             .rows)
      tokens.push_back(row[0].asText());
    return tokens;
  });
}

bool SqlRolloutStore::workLeft(const std::string& name,
                               std::optional<std::pair<uint32_t, uint32_t>> range) {
  return Transaction(Access::Read, [&] {
    const auto [first, last] = range.value_or(std::pair<uint32_t, uint32_t>{0, 0xffffffffu});
    return !Run("SELECT 1 FROM rollout_units WHERE rollout = (SELECT id FROM rollouts WHERE "
                "name = $1) AND progress IN ('pending', 'running') AND address >= $2 AND "
                "address <= $3 LIMIT 1",
                {name, int64_t{first}, int64_t{last}})
                .rows.empty();
  });
}

ActionResult SqlRolloutStore::act(const std::string& name, const ActionRequest& request) {
  return Transaction(Access::Write, [&] {
    ActionResult result;
    auto rollout = Find(name, "FOR UPDATE");
    if (!rollout) {
      result.refusal = "no rollout named " + name;
      return result;
    }
    result.found = true;
    result.state = rollout->state;
    const std::string is = "rollout " + name + " is " + Text(rollout->state);
    auto refuse = [&](const std::string& why) {
      result.refusal = is + ": " + why;
      return result;
    };
    auto become = [&](RolloutState state, bool clearReason) {
      Run(clearReason ? "UPDATE rollouts SET state = $1, stop_reason = '' WHERE id = $2"
                      : "UPDATE rollouts SET state = $1 WHERE id = $2",
          {Text(state), rollout->id});
      rollout->state = state;
      result.state = state;
      result.applied = true;
    };
    const bool ended =
        rollout->state == RolloutState::Cancelled || rollout->state == RolloutState::Done;
    std::string detail;
    switch (request.action) {
      case RolloutAction::Pause:
        if (rollout->state != RolloutState::Running)
          return refuse("only a running rollout can be paused");
        become(RolloutState::Paused, false);
        break;
      case RolloutAction::Resume:
        if (rollout->state != RolloutState::Paused)
          return refuse(rollout->state == RolloutState::Stopped
                            ? "retry its failed units, or accept its failures, to go on"
                            : "only a paused rollout can be resumed");
        become(RolloutState::Running, false);
        // What ended while it was paused counts now.
        result.state = Judge(*rollout, std::nullopt).state;
        break;
      case RolloutAction::Cancel:
        if (ended) return refuse("it cannot be cancelled any more");
        become(RolloutState::Cancelled, false);
        break;
      case RolloutAction::RetryFailed: {
        if (rollout->state == RolloutState::Cancelled)
          return refuse("a cancelled rollout is not taken up again");
        result.unitsReset = static_cast<int>(
            Run("UPDATE rollout_units SET progress = 'pending', attempts = 0, redo = 0, "
                "previous_holder = '', not_before = 0, holder_token = '', lease_until = NULL, "
                "accepted = 0 WHERE rollout = $1 AND progress = 'failed'",
                {rollout->id})
                .changed);
        result.applied = true;
        detail = Plural(result.unitsReset, "failed unit") + " pending again";
        if (rollout->state == RolloutState::Stopped || rollout->state == RolloutState::Done) {
          become(RolloutState::Running, true);
          result.state = Judge(*rollout, std::nullopt).state;
        }
        break;
      }
      case RolloutAction::Approve: {
        if (!rollout->approveGroups)
          return refuse("its groups start without approval (create --approve-groups)");
        if (ended) return refuse("no group is left to approve");
        const SqlResult current =
            Run("SELECT min(rollout_group) FROM rollout_units WHERE rollout = $1 AND "
                "progress IN ('pending', 'running')",
                {rollout->id});
        const int64_t group = current.rows.empty() || current.rows.front()[0].null()
                                  ? -1
                                  : current.rows.front()[0].asNumber();
        if (group <= rollout->approvedGroup)
          return refuse("no group waits for approval (group " +
                        std::to_string(rollout->approvedGroup + 1) + " may run)");
        Run("UPDATE rollouts SET approved_group = $1 WHERE id = $2", {group, rollout->id});
        result.applied = true;
        result.group = static_cast<int>(group);
        detail = "group " + std::to_string(group + 1);
        break;
      }
      case RolloutAction::Skip: {
        if (ended) return refuse("its units are not sent to any more");
        // Pending and failed units are left out; one in flight is not taken from its station.
        const SqlResult at =
            Run("SELECT progress, count(*) FROM rollout_units WHERE rollout = $1 AND "
                "address = $2 GROUP BY progress ORDER BY progress",
                {rollout->id, int64_t{request.address}});
        if (at.rows.empty()) return refuse("no unit of it is at " + request.target);
        result.unitsReset = static_cast<int>(
            Run("UPDATE rollout_units SET progress = 'skipped', holder_token = '', "
                "lease_until = NULL, redo = 0, accepted = 0 WHERE rollout = $1 AND address = $2 "
                "AND progress IN ('pending', 'failed')",
                {rollout->id, int64_t{request.address}})
                .changed);
        if (result.unitsReset == 0) {
          std::string found;
          for (const SqlRow& row : at.rows) found += (found.empty() ? "" : ", ") + row[0].asText();
          return refuse("the unit at " + request.target + " is " + found +
                        ": only a pending or failed unit can be skipped");
        }
        result.applied = true;
        detail = request.target + ": " + Plural(result.unitsReset, "unit") + " skipped";
        // Its group may have ended with it.
        result.state = Judge(*rollout, std::nullopt).state;
        break;
      }
      case RolloutAction::AcceptFailures: {
        if (rollout->state != RolloutState::Stopped)
          return refuse("only a rollout stopped by a threshold goes on with its failures");
        result.unitsReset = static_cast<int>(
            Run("UPDATE rollout_units SET accepted = 1 WHERE rollout = $1 AND progress = "
                "'failed' AND accepted = 0",
                {rollout->id})
                .changed);
        detail = Plural(result.unitsReset, "failure") + " accepted";
        become(RolloutState::Running, true);
        result.state = Judge(*rollout, std::nullopt).state;
        break;
      }
    }
    if (result.applied)
      Record(name, RolloutActionName(request.action), request.actor, request.now, detail);
    return result;
  });
}

std::vector<ActionRecord> SqlRolloutStore::actions(const std::string& rollout, int limit) {
  return Transaction(Access::Read, [&] {
    const std::string columns = "SELECT id, rollout, action, actor, origin, at, detail FROM ";
    const int64_t bound = limit > 0 ? int64_t{limit} : kNoLimit;
    // The newest `limit`, shown oldest first.
    const SqlResult rows =
        rollout.empty()
            ? Run(columns + "rollout_actions ORDER BY id DESC LIMIT $1", {bound})
            : Run(columns + "rollout_actions WHERE rollout = $1 ORDER BY id DESC LIMIT $2",
                  {rollout, bound});
    std::vector<ActionRecord> records;
    for (auto row = rows.rows.rbegin(); row != rows.rows.rend(); ++row)
      records.push_back({(*row)[0].asNumber(), (*row)[1].asText(), (*row)[2].asText(),
                         (*row)[3].asText(), (*row)[4].asText(), (*row)[5].asNumber(),
                         (*row)[6].asText()});
    return records;
  });
}

std::vector<RolloutEvent> SqlRolloutStore::claimEvents(const std::string& name,
                                                       const std::string& station, UtcMillis now,
                                                       int silenceMs) {
  return Transaction(Access::Write, [&] {
    std::vector<RolloutEvent> events;
    const SqlResult found =
        Run("SELECT id, state, stop_reason, notify_url FROM rollouts WHERE name = $1", {name});
    if (found.rows.empty() || found.rows.front()[3].asText().empty()) return events;
    const int64_t id = found.rows.front()[0].asNumber();
    const std::string url = found.rows.front()[3].asText();
    // Whoever inserts an event's row first tells it; the others find it there.
    const auto claimOne = [&](const std::string& key, const std::string& state,
                              const std::string& reason) {
      if (!Run("INSERT INTO rollout_events(rollout, event, at, station) VALUES ($1, $2, $3, $4) "
               "ON CONFLICT(rollout, event) DO NOTHING RETURNING rollout",
               {id, key, now, station})
               .rows.empty())
        events.push_back({name, url, state, reason, now});
    };
    const RolloutState state = StateOf(found.rows.front()[1]);
    if (state == RolloutState::Stopped || state == RolloutState::Done) {
      // Each time the rollout is taken up again, its next stop or end is another event.
      const SqlResult takenUp =
          Run("SELECT count(*) FROM rollout_actions WHERE rollout = $1 AND action IN ('resume', "
              "'retry', 'accept')",
              {name});
      claimOne(Text(state) + "#" + std::to_string(takenUp.rows.front()[0].asNumber()), Text(state),
               found.rows.front()[2].asText());
    }
    const SqlResult silent =
        Run("SELECT s.station, s.last_seen FROM rollout_stations s WHERE s.rollout = $1 AND "
            "s.station <> $2 AND s.last_seen < $3 AND EXISTS (SELECT 1 FROM rollout_units u "
            "WHERE u.rollout = s.rollout AND ((u.progress = 'running' AND u.station = s.station) "
            "OR (u.redo = 1 AND u.previous_holder = s.station AND u.progress IN ('pending', "
            "'running')))) ORDER BY s.station",
            {id, station, now - silenceMs});
    for (const SqlRow& row : silent.rows) {
      const std::string silentStation = row[0].asText();
      const int64_t lastSeen = row[1].asNumber();
      claimOne("silent:" + silentStation + "@" + std::to_string(lastSeen), "station_silent",
               "station " + silentStation + " holds units and has not been heard from for " +
                   std::to_string((now - lastSeen) / 1000) + " s");
    }
    return events;
  });
}

}  // namespace uvq::rollouts
