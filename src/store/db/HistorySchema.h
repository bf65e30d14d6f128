// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "store/db/SqlConnection.h"
#include "store/db/SqlValue.h"

namespace uvq::store {

// The schema both engines keep, versioned by numbered steps (SQLite: PRAGMA user_version;
// PostgreSQL: the schema_version table). Step 1: the operations table. Step 2: row keys (so a
// spooled write lands once), the rollout's columns, the indexes of the queries, and the units
// table of each unit's latest state, kept on every write so `history units` reads no big table.
// Step 3: the rollouts, their units (with each unit's claim) and the stations working on them.
// Step 4: a unit is its ID at its address: each row names its unit's address (moves followed),
// the units table has a row per ID and address.
// Step 5: each rollout group's counts in a row of its own, and the indexes that keep a station's
// and the dashboard's statements bounded as a rollout grows.
// Step 6: each row's writer (its host, process id and a random part) and the writers' liveness
// marks, so a row begun and not completed shows as running while its writer lives.
// Step 7: approvals of groups, skipped units and accepted failures, the record of actions, and
// the events told to a rollout's notify URL.
// Step 8: a rollout's stations name their process, their lease and their clean end.
// Step 9: a rollout's search time for silent units, and each running unit's phase as its
// station's last renewal saw it.
inline constexpr int kSchemaVersion = 9;

// What tells a uvq history from another database: SQLite's PRAGMA application_id ("UVQH") and the
// application column of PostgreSQL's schema_version.
inline constexpr int kSqliteApplicationId = 0x55565148;
inline constexpr const char* kApplicationName = "uvq-history";

// A 64-digit hexadecimal filter is an image's SHA-256, anything else its path.
bool LooksLikeSha256(const std::string& text);

// The statements of step `version` (1 .. kSchemaVersion) that upgrade from version - 1.
std::vector<std::string> SchemaStep(int version, Dialect dialect);

// What the steps after `fromVersion` need beyond their statements, run in the same transaction
// right after them.
void AfterSchemaSteps(int fromVersion, SqlConnection& db);

// Rebuilds the units table from the operations (upgrade to version 2).
std::string RebuildUnitsSql();

std::string NewerSchemaMessage(const std::string& location, int found);

}  // namespace uvq::store
