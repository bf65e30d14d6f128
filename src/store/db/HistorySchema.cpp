// SPDX-License-Identifier: Apache-2.0
#include "store/db/HistorySchema.h"

#include <cctype>

#include "store/db/UnitIdentity.h"

namespace uvq::store {

bool LooksLikeSha256(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::vector<std::string> SchemaStep(int version, Dialect dialect) {
  const bool lite = dialect == Dialect::Sqlite;
  const std::string big = lite ? "INTEGER" : "BIGINT";
  if (version == 1)
    return {"CREATE TABLE operations (id " +
                std::string(lite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY") +
                ", started_at " + big + " NOT NULL, ended_at " + big +
                ", station TEXT NOT NULL DEFAULT '', os_user TEXT NOT NULL DEFAULT '', "
                "front_end TEXT NOT NULL DEFAULT '', tool_version TEXT NOT NULL DEFAULT '', "
                "target TEXT NOT NULL DEFAULT '', unit_id TEXT NOT NULL DEFAULT '', "
                "reported_address TEXT NOT NULL DEFAULT '', operation TEXT NOT NULL DEFAULT '', "
                "erase_kind TEXT NOT NULL DEFAULT '', image_path TEXT NOT NULL DEFAULT '', "
                "image_bytes " +
                big +
                " NOT NULL DEFAULT 0, image_sha256 TEXT NOT NULL DEFAULT '', "
                "records " +
                big + " NOT NULL DEFAULT 0, resends " + big +
                " NOT NULL DEFAULT 0, refused_records " + big +
                " NOT NULL DEFAULT 0, outcome TEXT, final_status INTEGER, "
                "final_flags TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '')",
            "CREATE INDEX operations_unit ON operations(unit_id, started_at)"};
  if (version == 2) {
    std::vector<std::string> step = {
        "ALTER TABLE operations ADD COLUMN row_key TEXT",
        // Rows written before keys existed get one no client can make.
        lite ? "UPDATE operations SET row_key = 'v1-' || id"
             : "UPDATE operations SET row_key = 'v1-' || id::text",
        "CREATE UNIQUE INDEX operations_row_key ON operations(row_key)",
        "ALTER TABLE operations ADD COLUMN rollout TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE operations ADD COLUMN rollout_group INTEGER", "DROP INDEX operations_unit",
        "CREATE INDEX operations_unit ON operations(unit_id, started_at, id)",
        "CREATE INDEX operations_target ON operations(target, started_at, id)",
        "CREATE INDEX operations_image_sha ON operations(image_sha256, started_at, id)",
        "CREATE INDEX operations_image_path ON operations(image_path, started_at, id)",
        "CREATE INDEX operations_outcome ON operations(outcome, started_at, id)",
        "CREATE INDEX operations_operation ON operations(operation, started_at, id)",
        "CREATE INDEX operations_station ON operations(station, started_at, id)",
        "CREATE INDEX operations_started ON operations(started_at, id)",
        "CREATE INDEX operations_rollout ON operations(rollout, rollout_group)",
        "CREATE TABLE units (unit_id TEXT PRIMARY KEY, address TEXT NOT NULL, last_seen " + big +
            " NOT NULL, last_operation TEXT NOT NULL, last_outcome TEXT, "
            "last_station TEXT NOT NULL DEFAULT '', last_image_path TEXT, last_image_sha256 TEXT, "
            "last_programmed_at " +
            big + ")",
        "CREATE INDEX units_image_sha ON units(last_image_sha256)",
        "CREATE INDEX units_image_path ON units(last_image_path)",
        "CREATE INDEX units_address ON units(address)", RebuildUnitsSql()};
    if (!lite)
      step.insert(step.begin() + 2, "ALTER TABLE operations ALTER COLUMN row_key SET NOT NULL");
    return step;
  }
  if (version == 3) {
    const std::string key = lite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
    const std::string bytes = lite ? "BLOB" : "BYTEA";
    return {
        "CREATE TABLE rollouts (id " + key + ", name TEXT NOT NULL UNIQUE, created_at " + big +
            " NOT NULL, created_by TEXT NOT NULL DEFAULT '', image_path TEXT NOT NULL, "
            "image_sha256 TEXT NOT NULL, image " +
            bytes + " NOT NULL, image_bytes " + big +
            " NOT NULL, success_threshold INTEGER NOT NULL, error_threshold INTEGER NOT NULL, "
            "retries INTEGER NOT NULL, state TEXT NOT NULL, stop_reason TEXT NOT NULL DEFAULT '')",
        // A unit's claim: the station holding it (or that ended it last), the token of the
        // process holding it and until when; not_before delays a retry or a missing unit.
        "CREATE TABLE rollout_units (rollout " + big +
            " NOT NULL REFERENCES rollouts(id) ON DELETE CASCADE, position INTEGER NOT NULL, "
            "rollout_group INTEGER NOT NULL, target TEXT NOT NULL, address " +
            big +
            " NOT NULL, unit_id TEXT NOT NULL DEFAULT '', answered_unit_id TEXT NOT NULL "
            "DEFAULT '', progress TEXT NOT NULL DEFAULT 'pending', attempts INTEGER NOT NULL "
            "DEFAULT 0, outcome TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '', "
            "status INTEGER, station TEXT NOT NULL DEFAULT '', holder_token TEXT NOT NULL "
            "DEFAULT '', lease_until " +
            big + ", not_before " + big +
            " NOT NULL DEFAULT 0, redo INTEGER NOT NULL DEFAULT 0, previous_holder TEXT NOT "
            "NULL DEFAULT '', PRIMARY KEY (rollout, position))",
        "CREATE INDEX rollout_units_claim ON rollout_units(rollout, progress, rollout_group, "
        "position)",
        "CREATE INDEX rollout_units_group ON rollout_units(rollout, rollout_group, progress)",
        "CREATE INDEX rollout_units_holder ON rollout_units(rollout, holder_token)",
        "CREATE TABLE rollout_stations (rollout " + big +
            " NOT NULL REFERENCES rollouts(id) ON DELETE CASCADE, station TEXT NOT NULL, "
            "last_seen " +
            big + " NOT NULL, PRIMARY KEY (rollout, station))"};
  }
  if (version == 4) {
    // A unit is its ID at its address: each row names the address of its unit (where it
    // answered, carried by the set-ip moves after it; PlaceMovedUnits() follows the moves of
    // the rows already there), and the units table has a row per ID and address.
    std::vector<std::string> step = {
        "ALTER TABLE operations ADD COLUMN unit_address TEXT NOT NULL DEFAULT ''",
        "UPDATE operations SET unit_address = CASE WHEN reported_address <> '' THEN "
        "reported_address ELSE target END",
        "CREATE INDEX operations_unit_address ON operations(unit_id, unit_address, started_at, "
        "id)",
        "CREATE INDEX operations_moves ON operations(unit_id, ended_at, id) WHERE operation = "
        "'set-ip' AND outcome = 'ok'",
        "DROP TABLE units",
        "CREATE TABLE units (unit_id TEXT NOT NULL, address TEXT NOT NULL, last_seen " + big +
            " NOT NULL, last_operation TEXT NOT NULL, last_outcome TEXT, "
            "last_station TEXT NOT NULL DEFAULT '', last_image_path TEXT, last_image_sha256 TEXT, "
            "last_programmed_at " +
            big + ", PRIMARY KEY (unit_id, address))",
        "CREATE INDEX units_image_sha ON units(last_image_sha256)",
        "CREATE INDEX units_image_path ON units(last_image_path)",
        "CREATE INDEX units_address ON units(address)",
        RebuildPlacedUnitsSql(false)};
    return step;
  }
  if (version == 5)
    return {
        // Each group's size and its ended units, kept by the write that ends a unit: a unit's end
        // judges its group from this one row (locked only by that group's ends), and status
        // reads no count over the units.
        "CREATE TABLE rollout_groups (rollout " + big +
            " NOT NULL REFERENCES rollouts(id) ON DELETE CASCADE, rollout_group INTEGER NOT NULL, "
            "units INTEGER NOT NULL, ok INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL "
            "DEFAULT 0, PRIMARY KEY (rollout, rollout_group))",
        "INSERT INTO rollout_groups(rollout, rollout_group, units, ok, failed) SELECT rollout, "
        "rollout_group, count(*), sum(CASE WHEN progress = 'ok' THEN 1 ELSE 0 END), "
        "sum(CASE WHEN progress = 'failed' THEN 1 ELSE 0 END) FROM rollout_units "
        "GROUP BY rollout, rollout_group",
        // The units not ended yet, in order: a claim reads the first due ones of its group, and
        // the current group is the first entry, however many units have ended before them.
        "CREATE INDEX rollout_units_open ON rollout_units(rollout, rollout_group, position) "
        "WHERE progress IN ('pending', 'running')",
        // The running units (renewals, take-overs, status) and the failed ones (status, retry),
        // in order: a unit pending at create is in no index but the key's and the open units'.
        "CREATE INDEX rollout_units_running ON rollout_units(rollout, position) "
        "WHERE progress = 'running'",
        "CREATE INDEX rollout_units_failed ON rollout_units(rollout, position) "
        "WHERE progress = 'failed'",
        "DROP INDEX rollout_units_claim", "DROP INDEX rollout_units_group",
        "DROP INDEX rollout_units_holder",
        // A rollout's attempts, newest first (history --rollout).
        "CREATE INDEX operations_rollout_started ON operations(rollout, started_at, id)"};
  if (version == 6)
    // A writer is one process: its rows name it, and its mark says until when it is known to
    // live (refreshed every few seconds while it has rows open). Rows written before have none.
    return {"ALTER TABLE operations ADD COLUMN writer TEXT NOT NULL DEFAULT ''",
            "CREATE TABLE writers (writer TEXT PRIMARY KEY, host TEXT NOT NULL, pid " + big +
                " NOT NULL, alive_until " + big + " NOT NULL)"};
  if (version == 7) {
    const std::string key = lite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
    return {
        // approved_group: the last group (0-based) allowed to start when groups wait for an
        // approval; accepted: a failure accepted by hand, judged no more.
        "ALTER TABLE rollouts ADD COLUMN approve_groups INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE rollouts ADD COLUMN approved_group INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE rollouts ADD COLUMN notify_url TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE rollout_units ADD COLUMN accepted INTEGER NOT NULL DEFAULT 0",
        // A group's skipped units and accepted failures (among its failed ones), counted beside
        // its ended units by the same writes.
        "ALTER TABLE rollout_groups ADD COLUMN skipped INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE rollout_groups ADD COLUMN accepted INTEGER NOT NULL DEFAULT 0",
        "CREATE INDEX rollout_units_address ON rollout_units(address, rollout)",
        // Every action on a rollout, kept by the rollout's name.
        "CREATE TABLE rollout_actions (id " + key +
            ", rollout TEXT NOT NULL, action TEXT NOT NULL, actor TEXT NOT NULL DEFAULT '', "
            "origin TEXT NOT NULL DEFAULT '', at " +
            big + " NOT NULL, detail TEXT NOT NULL DEFAULT '')",
        "CREATE INDEX rollout_actions_rollout ON rollout_actions(rollout, id)",
        // An event told to the rollout's notify URL: the first station to insert its row sends it.
        "CREATE TABLE rollout_events (rollout " + big +
            " NOT NULL REFERENCES rollouts(id) ON DELETE CASCADE, event TEXT NOT NULL, at " + big +
            " NOT NULL, station TEXT NOT NULL DEFAULT '', PRIMARY KEY (rollout, event))"};
  }
  if (version == 8)
    // A rollout's station names its process (the claim token, its host and pid), how long its
    // claims last, and when it ended cleanly (NULL while it works): one whose last sign of life
    // is older than its lease is gone. Rows written before know none of it.
    return {"ALTER TABLE rollout_stations ADD COLUMN token TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE rollout_stations ADD COLUMN host TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE rollout_stations ADD COLUMN pid " + big + " NOT NULL DEFAULT 0",
            "ALTER TABLE rollout_stations ADD COLUMN lease_ms " + big + " NOT NULL DEFAULT 0",
            "ALTER TABLE rollout_stations ADD COLUMN ended_at " + big};
  if (version == 9)
    return {// search_s: how long a unit that does not answer is searched for per attempt; 0 (the
            // rollouts made before) bounds it only by the capture's attempts.
            "ALTER TABLE rollouts ADD COLUMN search_s INTEGER NOT NULL DEFAULT 0",
            // A running unit's phase ('' until its station's first renewal after the claim), its
            // records while programming, when the phase began and when the station said so.
            "ALTER TABLE rollout_units ADD COLUMN phase TEXT NOT NULL DEFAULT ''",
            "ALTER TABLE rollout_units ADD COLUMN phase_done " + big + " NOT NULL DEFAULT 0",
            "ALTER TABLE rollout_units ADD COLUMN phase_total " + big + " NOT NULL DEFAULT 0",
            "ALTER TABLE rollout_units ADD COLUMN phase_started " + big,
            "ALTER TABLE rollout_units ADD COLUMN phase_at " + big};
  return {};
}

void AfterSchemaSteps(int fromVersion, SqlConnection& db) {
  if (fromVersion < 4) PlaceMovedUnits(db);
}

std::string NewerSchemaMessage(const std::string& location, int found) {
  return "history " + location + " has schema version " + std::to_string(found) +
         ", newer than this uvq's " + std::to_string(kSchemaVersion) +
         ": use a newer uvq or another database";
}

std::string RebuildUnitsSql() {
  return "INSERT INTO units(unit_id, address, last_seen, last_operation, last_outcome, "
         "last_station, last_image_path, last_image_sha256, last_programmed_at) "
         "SELECT o.unit_id, CASE WHEN o.reported_address <> '' THEN o.reported_address ELSE "
         "o.target END, COALESCE(o.ended_at, o.started_at), o.operation, o.outcome, o.station, "
         "p.image_path, p.image_sha256, p.ended_at "
         "FROM (SELECT d.unit_id, "
         "(SELECT x.id FROM operations x WHERE x.unit_id = d.unit_id "
         "ORDER BY COALESCE(x.ended_at, x.started_at) DESC, x.id DESC LIMIT 1) AS last_id, "
         "(SELECT z.id FROM operations z WHERE z.unit_id = d.unit_id AND z.operation = 'program' "
         "AND z.outcome = 'ok' ORDER BY z.ended_at DESC, z.id DESC LIMIT 1) AS program_id "
         "FROM (SELECT DISTINCT unit_id FROM operations WHERE unit_id <> '') d) k "
         "JOIN operations o ON o.id = k.last_id LEFT JOIN operations p ON p.id = k.program_id";
}

}  // namespace uvq::store
