// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "store/db/SqlConnection.h"

namespace uvq::store {

// A unit is its UVQ ID at the address where it answered: two units that report one ID at two
// addresses are two units (an emulated range, a batch flashed with one ID), and a unit given a
// new address (set-ip) stays the same unit, now at its new address. The history, its units
// view, the dashboard and the station all name a unit by this key.
struct UnitKey {
  std::string id;       // "0100"
  std::string address;  // "127.0.0.5"
  auto operator<=>(const UnitKey&) const = default;
};

// Where a row of the history puts its unit: the address the unit reported, else the one it was
// reached at.
std::string AnsweredAddress(const std::string& target, const std::string& reportedAddress);

// A unit given a new address: an ok set-ip from the address it was reached at to the one it
// reported after, ended at `at`.
struct UnitMove {
  std::string from;
  std::string to;
  int64_t at = 0;
};

// Where the unit that answered at `address` at time `seen` is now: the earliest move from that
// address at or after `seen` carries it on, then the earliest move from there at or after that
// one, and so on. `moves` are one unit ID's, oldest first (ties in the order written). A unit that
// answers at the old address after the move is another sighting there, not carried.
std::string CarriedAddress(std::string address, int64_t seen, const std::vector<UnitMove>& moves);

// The moves recorded for unit ID $1, oldest first (an index keeps this cheap on every write).
std::string UnitMovesSql();
// Reads what UnitMovesSql() returns.
std::vector<UnitMove> ReadUnitMoves(const SqlResult& result);

// Whether a written row is itself a move (a completed ok set-ip to another address).
bool IsUnitMove(const std::string& operation, const std::string& outcome, bool completed,
                const std::string& target, const std::string& reportedAddress);

// The units' latest states rebuilt from the rows' unit addresses: every unit ID's (forUnitId
// false) or unit ID $1's (forUnitId true); the caller empties the units first.
std::string RebuildPlacedUnitsSql(bool forUnitId);

// Places every row of one unit ID again (each row's unit address, moves followed) and rebuilds
// that ID's units: after a move was written, which may change rows written before it. Runs in
// the caller's transaction.
void PlaceUnitRows(SqlConnection& db, const std::string& unitId);

// The same for every unit ID with a move in the history (an upgrade from an older schema).
void PlaceMovedUnits(SqlConnection& db);

}  // namespace uvq::store
