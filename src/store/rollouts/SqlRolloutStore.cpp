// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/SqlRolloutStore.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>
#include <map>

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
    "error_threshold, retries, state, stop_reason, approve_groups, approved_group, notify_url, "
    "search_s";
constexpr const char* kUnitColumns =
    "position, rollout_group, target, unit_id, answered_unit_id, progress, attempts, outcome, "
    "detail, status, station, lease_until, redo, phase, phase_done, phase_total, phase_started, "
    "phase_at";
constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max() / 2;
// Units written by one statement at create (5 parameters each): PostgreSQL's round trips are
// what counts; SQLite finds a parameter's name by a walk through all of them, so its statements
// stay short.
constexpr size_t kUnitsPerInsert = 1000;
constexpr size_t kSqliteUnitsPerInsert = 20;
// Ends written by one statement (10 parameters each), for the same reasons.
constexpr size_t kEndsPerStatement = 100;
constexpr size_t kSqliteEndsPerStatement = 10;

// INSERT of `rows` units: their positions, groups, targets, addresses and unit IDs, then the
// rollout's ID as the last parameter.
std::string UnitsInsert(size_t rows) {
  std::string sql =
      "INSERT INTO rollout_units(rollout, position, rollout_group, target, address, unit_id) "
      "VALUES ";
  const std::string rollout = "$" + std::to_string(rows * 5 + 1);
  for (size_t row = 0; row < rows; ++row) {
    sql += row ? ", (" : "(";
    sql += rollout;
    for (size_t column = 1; column <= 5; ++column) sql += ", $" + std::to_string(row * 5 + column);
    sql += ")";
  }
  return sql;
}

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
  summary.searchSeconds = static_cast<int>(row[14].asNumber());
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
  unit.phase = row[13].asText();
  unit.phaseDone = row[14].asNumber();
  unit.phaseTotal = row[15].asNumber();
  if (!row[16].null()) unit.phaseStarted = row[16].asNumber();
  if (!row[17].null()) unit.phaseAt = row[17].asNumber();
  return unit;
}

// A group's row of counts (rollout_group, units, ok, failed from column `at` on); the units not
// ended are all counted pending until the running ones are known (CountRunning).
GroupCounts ReadCounts(const SqlRow& row, size_t at) {
  GroupCounts counts;
  counts.group = static_cast<int>(row[at].asNumber());
  counts.size = static_cast<int>(row[at + 1].asNumber());
  counts.ok = static_cast<int>(row[at + 2].asNumber());
  counts.failed = static_cast<int>(row[at + 3].asNumber());
  counts.skipped = static_cast<int>(row[at + 4].asNumber());
  counts.accepted = static_cast<int>(row[at + 5].asNumber());
  counts.pending = counts.size - counts.ok - counts.failed - counts.skipped;
  return counts;
}

// Moves `running` units of group `group` from pending to running.
void CountRunning(std::vector<GroupCounts>& groups, int group, int running) {
  for (GroupCounts& counts : groups)
    if (counts.group == group) {
      counts.running += running;
      counts.pending -= running;
    }
}

constexpr const char* kCountColumns = "rollout_group, units, ok, failed, skipped, accepted";

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

std::vector<GroupCounts> SqlRolloutStore::Groups(int64_t rollout) {
  const SqlResult result = Run(std::string("SELECT ") + kCountColumns +
                                   " FROM rollout_groups WHERE rollout = $1 ORDER BY rollout_group",
                               {rollout});
  std::vector<GroupCounts> groups;
  for (const SqlRow& row : result.rows) groups.push_back(ReadCounts(row, 0));
  return groups;
}

RolloutJudgement SqlRolloutStore::Judge(const Rollout& rollout,
                                        const std::optional<GroupCounts>& changed,
                                        const std::map<int64_t, GroupCounts>* ending) {
  if (rollout.state != RolloutState::Running) return {rollout.state, {}};
  const int success = rollout.successThreshold;
  const int error = rollout.errorThreshold;
  // An end changes only its own group: that group alone says whether the rollout stops or goes
  // on as it is; every group is read only when it has ended (a few times per rollout).
  RolloutJudgement judged;
  if (changed) judged = JudgeGroups({*changed}, success, error);
  if (!changed || judged.state == RolloutState::Done) {
    std::vector<GroupCounts> groups = Groups(rollout.id);
    if (ending)
      for (GroupCounts& group : groups)
        if (const auto now = ending->find(group.group); now != ending->end()) group = now->second;
    judged = JudgeGroups(groups, success, error);
  }
  if (judged.state != RolloutState::Running) {
    // Only a running rollout changes: a pause, a cancel or another group's verdict that was
    // kept first (the end does not hold the rollout's row while it judges) stays.
    const SqlResult kept =
        Run("UPDATE rollouts SET state = $1, stop_reason = $2 WHERE id = $3 AND state = $4 "
            "RETURNING id",
            {Text(judged.state), judged.reason, rollout.id, Text(RolloutState::Running)});
    if (kept.rows.empty()) {
      const SqlResult now = Run("SELECT state FROM rollouts WHERE id = $1", {rollout.id});
      return {now.rows.empty() ? RolloutState::Cancelled : StateOf(now.rows.front()[0]), {}};
    }
  }
  return judged;
}

namespace {

// A claim token is "HOST:PID:RANDOM"; anything else names no process.
std::pair<std::string, int64_t> ProcessOfToken(const std::string& token) {
  const size_t last = token.rfind(':');
  if (last == std::string::npos || last == 0) return {};
  const size_t middle = token.rfind(':', last - 1);
  if (middle == std::string::npos) return {};
  int64_t pid = 0;
  const char* begin = token.data() + middle + 1;
  const char* end = token.data() + last;
  const auto [stop, error] = std::from_chars(begin, end, pid);
  if (error != std::errc{} || stop != end) return {};
  return {token.substr(0, middle), pid};
}

}  // namespace

void SqlRolloutStore::NoteStation(int64_t rollout, const ClaimHolder& holder, UtcMillis now,
                                  int leaseMs) {
  const auto [host, pid] = ProcessOfToken(holder.token);
  Run("INSERT INTO rollout_stations(rollout, station, last_seen, token, host, pid, lease_ms, "
      "ended_at) VALUES ($1, $2, $3, $4, $5, $6, $7, NULL) "
      "ON CONFLICT(rollout, station) DO UPDATE SET last_seen = CASE WHEN excluded.last_seen > "
      "rollout_stations.last_seen THEN excluded.last_seen ELSE rollout_stations.last_seen END, "
      "token = excluded.token, host = excluded.host, pid = excluded.pid, lease_ms = CASE WHEN "
      "excluded.lease_ms > 0 THEN excluded.lease_ms ELSE rollout_stations.lease_ms END, "
      "ended_at = NULL",
      {rollout, holder.station, now, holder.token, host, pid, int64_t{leaseMs}});
}

void SqlRolloutStore::stationEnded(const std::string& name, const ClaimHolder& holder,
                                   UtcMillis now) {
  Transaction(Access::Write, [&] {
    Run("UPDATE rollout_stations SET ended_at = $1, last_seen = CASE WHEN $1 > last_seen THEN $1 "
        "ELSE last_seen END WHERE rollout = (SELECT id FROM rollouts WHERE name = $2) AND "
        "station = $3 AND token = $4",
        {now, name, holder.station, holder.token});
    return 0;
  });
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
            "notify_url, search_s) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, "
            "$13, $14) "
            "ON CONFLICT(name) DO NOTHING RETURNING id",
            {definition.name, definition.createdAt, definition.createdBy, definition.imagePath,
             definition.imageSha256, SqlValue::Bytes(image), static_cast<int64_t>(image.size()),
             definition.successThreshold, definition.errorThreshold, definition.retries,
             Text(RolloutState::Running), definition.approveGroups ? 1 : 0, definition.notifyUrl,
             std::max(definition.searchSeconds, 0)});
    if (made.rows.empty()) return result;
    const int64_t id = made.rows.front()[0].asNumber();
    // Many units per statement (one round trip each), in the one transaction.
    const size_t count = definition.targets.size();
    std::vector<SqlValue> params;
    std::map<int, int64_t> sizes;
    const size_t chunk =
        connection_->dialect() == Dialect::Sqlite ? kSqliteUnitsPerInsert : kUnitsPerInsert;
    for (size_t first = 0; first < count; first += chunk) {
      const size_t rows = std::min(chunk, count - first);
      params.clear();
      for (size_t i = first; i < first + rows; ++i) {
        const RolloutTarget& target = definition.targets[i];
        params.insert(params.end(), {static_cast<int64_t>(i), target.group, target.target,
                                     static_cast<int64_t>(target.address), target.unitId});
        ++sizes[target.group];
      }
      params.emplace_back(id);
      Run(UnitsInsert(rows), params);
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
    for (const auto& [group, size] : sizes)
      Run("INSERT INTO rollout_groups(rollout, rollout_group, units) VALUES ($1, $2, $3)",
          {id, group, size});
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
        "error_threshold, retries, approve_groups, notify_url, search_s FROM rollouts WHERE name = "
        "$1",
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
    definition.searchSeconds = static_cast<int>(row[11].asNumber());
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
    const SqlResult counts = Run(std::string("SELECT rollout, ") + kCountColumns +
                                     " FROM rollout_groups ORDER BY rollout, rollout_group",
                                 {});
    std::map<int64_t, std::vector<GroupCounts>> groups;
    for (const SqlRow& count : counts.rows)
      groups[count[0].asNumber()].push_back(ReadCounts(count, 1));
    std::vector<RolloutSummary> summaries;
    for (const SqlRow& row : rollouts.rows) {
      summaries.push_back(ReadSummary(row));
      const int64_t id = row[0].asNumber();
      summaries.back().groups = std::move(groups[id]);
      // The running units, rollout by rollout: each an index range as long as the units in
      // flight.
      for (const SqlRow& running :
           Run("SELECT rollout_group, count(*) FROM rollout_units WHERE rollout = $1 AND "
               "progress = 'running' GROUP BY rollout_group",
               {id})
               .rows)
        CountRunning(summaries.back().groups, static_cast<int>(running[0].asNumber()),
                     static_cast<int>(running[1].asNumber()));
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
    // One snapshot: the groups' counts agree with the units read.
    status.summary.groups = Groups(id);
    NoteWaiting(status.summary, found.rows.front()[12].asNumber());
    // The progress written out (not a parameter), so that each reads its own partial index.
    const std::string units =
        std::string("SELECT ") + kUnitColumns + " FROM rollout_units WHERE rollout = $1 AND ";
    for (const SqlRow& row : Run(units + "progress = 'failed' ORDER BY position", {id}).rows)
      status.failed.push_back(ReadUnit(row));
    for (const SqlRow& row : Run(units + "progress = 'running' ORDER BY position", {id}).rows)
      status.running.push_back(ReadUnit(row));
    std::map<std::string, int> held;
    for (const RolloutUnit& unit : status.running) {
      CountRunning(status.summary.groups, unit.group, 1);
      ++held[unit.station];
    }
    const SqlResult stations =
        Run("SELECT station, last_seen, host, pid, lease_ms, ended_at FROM rollout_stations "
            "WHERE rollout = $1 ORDER BY station",
            {id});
    const UtcMillis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    for (const SqlRow& row : stations.rows) {
      RolloutStation station;
      station.station = row[0].asText();
      station.lastSeen = row[1].asNumber();
      station.host = row[2].asText();
      station.pid = row[3].asNumber();
      station.leaseMs = static_cast<int>(row[4].asNumber());
      if (!row[5].null()) station.endedAt = row[5].asNumber();
      station.life = StationLifeAt(station, now);
      const auto holding = held.find(station.station);
      if (holding != held.end()) station.running = holding->second;
      status.stations.push_back(std::move(station));
    }
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
    // Claims run side by side, and beside the ends; a pause or a cancel waits for them. An end
    // that stops the rollout does not: the statement that takes the units sees the state again.
    const auto rollout = Find(name, "FOR KEY SHARE");
    if (!rollout || request.count <= 0) return claims;
    NoteStation(rollout->id, request.holder, request.now, request.leaseMs);
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
                        "WHERE rollout = $1 AND rollout_group = $2 AND progress IN ('pending', "
                        "'running') AND ((progress = 'pending' AND not_before <= $3) OR "
                        "(progress = 'running' AND lease_until < $3)) AND address >= $4 AND "
                        "address <= $5 AND EXISTS (SELECT 1 FROM rollouts WHERE id = $1 AND "
                        "state = 'running') ORDER BY position LIMIT $6") +
                (lite ? "" : " FOR UPDATE SKIP LOCKED") +
                ") UPDATE rollout_units SET "
                "redo = CASE WHEN progress = 'running' THEN 1 ELSE redo END, "
                "previous_holder = CASE WHEN progress = 'running' THEN station "
                "ELSE previous_holder END, "
                "progress = 'running', station = $7, holder_token = $8, lease_until = $9, "
                "phase = '', phase_done = 0, phase_total = 0, phase_started = NULL, "
                "phase_at = NULL "
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
  return renewWithPhases(name, holder, now, leaseMs, {});
}

// The phases go into the renewal's own statement: one per renewal, however many units.
Renewal SqlRolloutStore::renewWithPhases(const std::string& name, const ClaimHolder& holder,
                                         UtcMillis now, int leaseMs,
                                         const std::vector<UnitPhaseNote>& phases) {
  std::string set = "lease_until = $1";
  std::vector<SqlValue> params{now + leaseMs, int64_t{0}, holder.token};
  if (!phases.empty()) {
    std::string phase, done, total, started;
    for (const UnitPhaseNote& note : phases) {
      const size_t at = params.size() + 1;
      const std::string when = " WHEN $" + std::to_string(at) + " THEN $";
      phase += when + std::to_string(at + 1);
      done += when + std::to_string(at + 2);
      total += when + std::to_string(at + 3);
      started += when + std::to_string(at + 4);
      params.insert(params.end(),
                    {int64_t{note.position}, note.phase, note.done, note.total, note.phaseStarted});
    }
    params.emplace_back(now);
    set += ", phase = CASE position" + phase + " ELSE phase END, phase_done = CASE position" +
           done + " ELSE phase_done END, phase_total = CASE position" + total +
           " ELSE phase_total END, phase_started = CASE position" + started +
           " ELSE phase_started END, phase_at = $" + std::to_string(params.size());
  }
  const std::string sql = "UPDATE rollout_units SET " + set +
                          " WHERE rollout = $2 AND holder_token = $3 AND progress = 'running' "
                          "RETURNING position";
  return Transaction(Access::Write, [&] {
    Renewal renewal;
    const auto rollout = Find(name, nullptr);
    if (!rollout) {
      renewal.state = RolloutState::Cancelled;
      return renewal;
    }
    // The station's row before the units' rows, as every write takes them (no deadlock with an
    // end on another connection).
    NoteStation(rollout->id, holder, now, leaseMs);
    params[1] = rollout->id;
    const SqlResult held = Run(sql, params);
    renewal.state = rollout->state;
    for (const SqlRow& row : held.rows) renewal.held.push_back(static_cast<int>(row[0].asNumber()));
    std::sort(renewal.held.begin(), renewal.held.end());
    return renewal;
  });
}

AttemptVerdict SqlRolloutStore::end(const std::string& name, const ClaimHolder& holder,
                                    const AttemptResult& result, UtcMillis now) {
  return endAll(name, holder, {result}, now).front();
}

std::vector<AttemptVerdict> SqlRolloutStore::endAll(const std::string& name,
                                                    const ClaimHolder& holder,
                                                    const std::vector<AttemptResult>& results,
                                                    UtcMillis now) {
  if (results.empty()) return {};
  const size_t perStatement =
      connection_->dialect() == Dialect::Postgres ? kEndsPerStatement : kSqliteEndsPerStatement;
  return Transaction(Access::Write, [&] {
    std::vector<AttemptVerdict> verdicts(results.size());
    std::optional<Rollout> rollout;
    for (size_t first = 0; first < results.size(); first += perStatement) {
      const size_t count = std::min(perStatement, results.size() - first);
      EndSome(name, holder, {results.data() + first, count}, now, rollout,
              {verdicts.data() + first, count});
    }
    return verdicts;
  });
}

namespace {

// A unit as an end finds it, and as the ends before it in the same call left it.
struct UnitAtEnd {
  UnitProgress progress = UnitProgress::Pending;
  std::string token;
  int attempts = 0;
  int64_t group = 0;
};

// What an end held by its station writes on the unit's row.
struct UnitChange {
  const AttemptResult* result = nullptr;
  UnitProgress progress = UnitProgress::Pending;
  int attempts = 0;
  int64_t notBefore = 0;
  bool redo = false;
};

// Adds ended units to a group's counts (they were pending or running before).
void AddEnded(GroupCounts& counts, int ok, int failed) {
  counts.ok += ok;
  counts.failed += failed;
  counts.pending -= ok + failed;
}

}  // namespace

void SqlRolloutStore::EndSome(const std::string& name, const ClaimHolder& holder,
                              std::span<const AttemptResult> results, UtcMillis now,
                              std::optional<Rollout>& rollout, std::span<AttemptVerdict> verdicts) {
  const bool postgres = connection_->dialect() == Dialect::Postgres;
  // The rollout's row is not locked: the ends of a group are judged one after another on its
  // row of counts (see below), the ends of other groups and the claims go on beside them. The
  // units' rows are, from here to the commit, in position order.
  std::vector<SqlValue> params{name};
  std::string positions;
  for (const AttemptResult& result : results) {
    positions += (positions.empty() ? "$" : ", $") + std::to_string(params.size() + 1);
    params.emplace_back(int64_t{result.position});
  }
  const SqlResult found =
      Run("SELECT r.id, r.state, r.success_threshold, r.error_threshold, r.retries, u.position, "
          "u.progress, u.holder_token, u.attempts, u.rollout_group FROM rollouts r JOIN "
          "rollout_units u ON u.rollout = r.id AND u.position IN (" +
              positions + ") WHERE r.name = $1 ORDER BY u.position" +
              (postgres ? " FOR UPDATE OF u" : ""),
          params);
  if (!rollout) {
    if (found.rows.empty()) {
      rollout = Find(name, nullptr);
    } else {
      const SqlRow& row = found.rows.front();
      rollout = Rollout{row[0].asNumber(), StateOf(row[1]), static_cast<int>(row[2].asNumber()),
                        static_cast<int>(row[3].asNumber()), static_cast<int>(row[4].asNumber())};
    }
    if (!rollout) {
      for (AttemptVerdict& verdict : verdicts) {
        verdict.held = false;
        verdict.state = RolloutState::Cancelled;
      }
      return;
    }
    NoteStation(rollout->id, holder, now, 0);
  }
  std::map<int, UnitAtEnd> units;
  for (const SqlRow& row : found.rows)
    units[static_cast<int>(row[5].asNumber())] = {ProgressOf(row[6].asText()), row[7].asText(),
                                                  static_cast<int>(row[8].asNumber()),
                                                  row[9].asNumber()};

  // Each end in order, as if alone: an end of a unit that an end before it in the same call
  // ended already finds the unit no longer held.
  std::vector<UnitChange> changes;
  std::vector<std::optional<int64_t>> countedIn(results.size());  // the group an end counts in
  for (size_t i = 0; i < results.size(); ++i) {
    const AttemptResult& result = results[i];
    AttemptVerdict& verdict = verdicts[i];
    const auto unit = units.find(result.position);
    if (unit == units.end()) {
      verdict.held = false;
      continue;
    }
    UnitAtEnd& at = unit->second;
    if (at.progress != UnitProgress::Running || at.token != holder.token || holder.token.empty()) {
      verdict.held = false;
      verdict.progress = at.progress;
      continue;
    }
    UnitChange change{&result, UnitProgress::Pending, at.attempts, now, false};
    switch (result.end) {
      case AttemptEnd::Ok:
        ++change.attempts;
        change.progress = UnitProgress::Ok;
        break;
      case AttemptEnd::UnitError:
        ++change.attempts;
        change.progress = UnitProgress::Failed;
        break;
      case AttemptEnd::Retryable:
        ++change.attempts;
        change.progress =
            change.attempts > rollout->retries ? UnitProgress::Failed : UnitProgress::Pending;
        change.notBefore = now + result.retryAfterMs;
        break;
      case AttemptEnd::Missing:
        change.notBefore = now + result.retryAfterMs;
        break;
      case AttemptEnd::Interrupted:
        change.redo = true;
        break;
    }
    at = {change.progress, std::string(), change.attempts, at.group};
    verdict.progress = change.progress;
    if (change.progress == UnitProgress::Ok || change.progress == UnitProgress::Failed)
      countedIn[i] = at.group;
    changes.push_back(change);
  }

  // Every unit's row in one statement: each value chosen by the unit's position.
  std::string unitsSql;
  std::vector<SqlValue> unitParams{rollout->id, holder.station};
  if (!changes.empty()) {
    std::string progress, attempts, outcome, detail, status, answered, notBefore, redo, previous,
        where;
    for (const UnitChange& change : changes) {
      const AttemptResult& result = *change.result;
      const size_t at = unitParams.size() + 1;
      const auto then = [&](size_t offset) {
        return " WHEN $" + std::to_string(at) + " THEN $" + std::to_string(at + offset);
      };
      progress += then(1);
      attempts += then(2);
      outcome += then(3);
      detail += then(4);
      status += then(5);
      answered += " WHEN $" + std::to_string(at) + " THEN CASE WHEN CAST($" +
                  std::to_string(at + 6) + " AS TEXT) = '' THEN answered_unit_id ELSE CAST($" +
                  std::to_string(at + 6) + " AS TEXT) END";
      notBefore += then(7);
      redo += then(8);
      previous += then(9);
      where += (where.empty() ? "$" : ", $") + std::to_string(at);
      unitParams.insert(
          unitParams.end(),
          {int64_t{result.position}, Text(change.progress), change.attempts, result.outcome,
           result.detail, result.status ? SqlValue(int64_t{*result.status}) : SqlValue(),
           result.unitId, change.notBefore, change.redo ? 1 : 0,
           change.redo ? holder.station : std::string()});
    }
    const auto column = [](const char* name, const std::string& cases) {
      return std::string(name) + " = CASE position" + cases + " ELSE " + name + " END, ";
    };
    unitsSql = "UPDATE rollout_units SET " + column("progress", progress) +
               column("attempts", attempts) + column("outcome", outcome) +
               column("detail", detail) + column("status", status) +
               column("answered_unit_id", answered) + column("not_before", notBefore) +
               column("redo", redo) + column("previous_holder", previous) +
               "station = $2, holder_token = '', lease_until = NULL WHERE rollout = $1 AND "
               "position IN (" +
               where + ")";
  }

  // The groups' counts as these ends leave them, their rows locked until the commit (in group
  // order): the ends of a group see each other's counts, one after another, as a single
  // station's would. The last statements that lock (but for a verdict to keep), so the locks are
  // held briefly; PostgreSQL changes the units and the first group's counts in one statement.
  std::map<int64_t, std::pair<int, int>> added;  // by group: ok, failed
  for (size_t i = 0; i < results.size(); ++i)
    if (countedIn[i]) {
      const bool ok = verdicts[i].progress == UnitProgress::Ok;
      auto& [oks, failures] = added[*countedIn[i]];
      oks += ok ? 1 : 0;
      failures += ok ? 0 : 1;
    }
  bool unitsWritten = changes.empty();
  std::map<int64_t, GroupCounts> counts;  // before these ends
  for (const auto& [group, ended] : added) {
    std::vector<SqlValue> countParams;
    std::string sql;
    if (postgres && !unitsWritten) {
      countParams = unitParams;
      sql = "WITH ended AS (" + unitsSql + " RETURNING position) ";
    } else if (!unitsWritten) {
      Run(unitsSql, unitParams);
    }
    unitsWritten = true;
    const auto param = [&](int offset) {
      return "$" + std::to_string(countParams.size() + static_cast<size_t>(offset));
    };
    sql += "UPDATE rollout_groups SET ok = ok + " + param(3) + ", failed = failed + " + param(4) +
           " WHERE rollout = " + param(1) + " AND rollout_group = " + param(2) + " RETURNING " +
           kCountColumns;
    countParams.insert(countParams.end(), {rollout->id, group, ended.first, ended.second});
    const SqlResult counted = Run(sql, countParams);
    if (counted.rows.empty()) continue;
    GroupCounts before = ReadCounts(counted.rows.front(), 0);
    AddEnded(before, -ended.first, -ended.second);
    counts[group] = before;
  }
  if (!unitsWritten) Run(unitsSql, unitParams);

  // Judged end by end, in order: the end that crosses a threshold stops the rollout, those after
  // it find it stopped.
  for (size_t i = 0; i < results.size(); ++i) {
    AttemptVerdict& verdict = verdicts[i];
    verdict.state = rollout->state;
    if (!countedIn[i]) continue;
    const auto group = counts.find(*countedIn[i]);
    if (group == counts.end()) continue;
    const bool ok = verdict.progress == UnitProgress::Ok;
    AddEnded(group->second, ok ? 1 : 0, ok ? 0 : 1);
    const RolloutJudgement judged = Judge(*rollout, group->second, &counts);
    verdict.state = judged.state;
    verdict.stopReason = judged.reason;
    rollout->state = judged.state;
  }
}

int SqlRolloutStore::takeOver(const std::string& name, const std::string& station,
                              const std::string& deadToken, const ClaimHolder& holder,
                              UtcMillis now, int leaseMs) {
  return Transaction(Access::Write, [&] {
    const auto rollout = Find(name, nullptr);
    if (!rollout || deadToken.empty()) return 0;
    NoteStation(rollout->id, holder, now, leaseMs);
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

std::vector<std::string> SqlRolloutStore::unfinished(
    std::optional<std::pair<uint32_t, uint32_t>> range, UtcMillis now) {
  return Transaction(Access::Read, [&] {
    const auto [first, last] = range.value_or(std::pair<uint32_t, uint32_t>{0, 0xffffffffu});
    std::vector<std::string> names;
    for (const SqlRow& row :
         Run("SELECT r.name FROM rollouts r WHERE r.state IN ('running', 'paused') AND EXISTS "
             "(SELECT 1 FROM rollout_units u WHERE u.rollout = r.id AND u.address >= $1 AND "
             "u.address <= $2 AND (u.progress = 'pending' OR (u.progress = 'running' AND "
             "u.lease_until < $3))) ORDER BY r.created_at, r.id",
             {int64_t{first}, int64_t{last}, now})
             .rows)
      names.push_back(row[0].asText());
    return names;
  });
}

ActionResult SqlRolloutStore::act(const std::string& name, const ActionRequest& request) {
  return Transaction(Access::Write, [&] {
    ActionResult result;
    // The groups' rows before the rollout's, as an end that stops the rollout takes them: an
    // action waits for the ends in flight, and they never wait for it in turn.
    if (connection_->dialect() == Dialect::Postgres)
      Run("SELECT rollout_group FROM rollout_groups WHERE rollout = (SELECT id FROM rollouts "
          "WHERE name = $1) ORDER BY rollout_group FOR UPDATE",
          {name});
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
        Run("UPDATE rollout_groups SET failed = 0, accepted = 0 WHERE rollout = $1", {rollout->id});
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
        // Each kind of unit left out by a statement of its own, so that its group's counts
        // follow: a failure no longer counts (nor its acceptance), a skipped unit in neither share.
        struct Moved {
          int64_t failed = 0, accepted = 0, skipped = 0;
        };
        std::map<int64_t, Moved> moved;
        const std::string skip =
            "UPDATE rollout_units SET progress = 'skipped', holder_token = '', lease_until = NULL, "
            "redo = 0, accepted = 0 WHERE rollout = $1 AND address = $2 AND ";
        const std::pair<const char*, std::pair<int, int>> kinds[] = {
            {"progress = 'pending'", {0, 0}},
            {"progress = 'failed' AND accepted = 0", {1, 0}},
            {"progress = 'failed' AND accepted = 1", {1, 1}}};
        for (const auto& [where, counted] : kinds)
          for (const SqlRow& row : Run(skip + where + " RETURNING rollout_group",
                                       {rollout->id, int64_t{request.address}})
                                       .rows) {
            Moved& group = moved[row[0].asNumber()];
            group.failed += counted.first;
            group.accepted += counted.second;
            ++group.skipped;
            ++result.unitsReset;
          }
        for (const auto& [group, counts] : moved)
          Run("UPDATE rollout_groups SET skipped = skipped + $3, failed = failed - $4, "
              "accepted = accepted - $5 WHERE rollout = $1 AND rollout_group = $2",
              {rollout->id, group, counts.skipped, counts.failed, counts.accepted});
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
        // Every failure so far is accepted now, in every group.
        Run("UPDATE rollout_groups SET accepted = failed WHERE rollout = $1", {rollout->id});
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
