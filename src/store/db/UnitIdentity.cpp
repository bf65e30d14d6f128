// SPDX-License-Identifier: Apache-2.0
#include "store/db/UnitIdentity.h"

namespace uvq::store {

namespace {

// The rows that move a unit; the same words as the partial index operations_moves, so that
// both engines use it.
const char* const kMoveRows =
    "operation = 'set-ip' AND outcome = 'ok' AND ended_at IS NOT NULL AND reported_address <> '' "
    "AND reported_address <> target";

}  // namespace

std::string AnsweredAddress(const std::string& target, const std::string& reportedAddress) {
  return reportedAddress.empty() ? target : reportedAddress;
}

std::string CarriedAddress(std::string address, int64_t seen, const std::vector<UnitMove>& moves) {
  // Oldest first: each move taken is at or after the one before, so one pass follows the chain
  // and a move can never be taken twice.
  for (const UnitMove& move : moves)
    if (move.at >= seen && move.from == address) address = move.to;
  return address;
}

std::string UnitMovesSql() {
  return std::string(
             "SELECT target, reported_address, ended_at FROM operations WHERE unit_id = $1 "
             "AND ") +
         kMoveRows + " ORDER BY ended_at, id";
}

std::vector<UnitMove> ReadUnitMoves(const SqlResult& result) {
  std::vector<UnitMove> moves;
  moves.reserve(result.rows.size());
  for (const SqlRow& row : result.rows)
    moves.push_back({row.at(0).asText(), row.at(1).asText(), row.at(2).asNumber()});
  return moves;
}

bool IsUnitMove(const std::string& operation, const std::string& outcome, bool completed,
                const std::string& target, const std::string& reportedAddress) {
  return completed && operation == "set-ip" && outcome == "ok" && !reportedAddress.empty() &&
         reportedAddress != target;
}

std::string RebuildPlacedUnitsSql(bool forUnitId) {
  const std::string which = forUnitId ? "unit_id = $1" : "unit_id <> ''";
  // Per unit: its newest row gives its last sighting; its newest ok program, or ok erase of the
  // program memory (which leaves no image), gives the image it carries.
  return "INSERT INTO units(unit_id, address, last_seen, last_operation, last_outcome, "
         "last_station, last_image_path, last_image_sha256, last_programmed_at) "
         "SELECT l.unit_id, l.unit_address, l.seen, l.operation, l.outcome, l.station, "
         "p.image_path, p.image_sha256, p.seen FROM (SELECT unit_id, unit_address, "
         "COALESCE(ended_at, started_at) AS seen, operation, outcome, station, ROW_NUMBER() OVER "
         "(PARTITION BY unit_id, unit_address ORDER BY COALESCE(ended_at, started_at) DESC, id "
         "DESC) AS n FROM operations WHERE " +
         which +
         ") l LEFT JOIN (SELECT unit_id, unit_address, COALESCE(ended_at, started_at) AS seen, "
         "CASE WHEN operation = 'program' THEN image_path END AS image_path, CASE WHEN "
         "operation = 'program' THEN image_sha256 END AS image_sha256, ROW_NUMBER() OVER "
         "(PARTITION BY unit_id, unit_address ORDER BY COALESCE(ended_at, started_at) DESC, id "
         "DESC) AS n FROM operations WHERE " +
         which +
         " AND outcome = 'ok' AND (operation = 'program' OR (operation = 'erase' AND erase_kind "
         "<> 'data'))) p ON p.unit_id = l.unit_id AND p.unit_address = l.unit_address AND p.n = 1 "
         "WHERE l.n = 1";
}

void PlaceUnitRows(SqlConnection& db, const std::string& unitId) {
  const std::vector<UnitMove> moves = ReadUnitMoves(db.run(UnitMovesSql(), {unitId}));
  const SqlResult rows = db.run(
      "SELECT id, target, reported_address, COALESCE(ended_at, started_at), unit_address FROM "
      "operations WHERE unit_id = $1",
      {unitId});
  for (const SqlRow& row : rows.rows) {
    const std::string placed = CarriedAddress(
        AnsweredAddress(row.at(1).asText(), row.at(2).asText()), row.at(3).asNumber(), moves);
    if (placed != row.at(4).asText())
      db.run("UPDATE operations SET unit_address = $1 WHERE id = $2",
             {placed, row.at(0).asNumber()});
  }
  db.run("DELETE FROM units WHERE unit_id = $1", {unitId});
  db.run(RebuildPlacedUnitsSql(true), {unitId});
}

void PlaceMovedUnits(SqlConnection& db) {
  const SqlResult ids = db.run(
      std::string("SELECT DISTINCT unit_id FROM operations WHERE unit_id <> '' AND ") + kMoveRows);
  for (const SqlRow& row : ids.rows) PlaceUnitRows(db, row.at(0).asText());
}

}  // namespace uvq::store
