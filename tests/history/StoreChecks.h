// SPDX-License-Identifier: Apache-2.0
#pragma once

// What every history store must do, SQLite or PostgreSQL: each check takes a new, empty store
// and reports through QVERIFY/QCOMPARE (the caller's test function fails with it).

#include <QTest>

#include <set>
#include <string>
#include <vector>

#include "store/history/HistoryStore.h"

namespace QTest {
template <>
inline char* toString(const std::string& text) {
  return QTest::toString(QString::fromStdString(text));
}
template <>
inline char* toString(const std::vector<std::string>& list) {
  QStringList texts;
  for (const auto& text : list) texts << QString::fromStdString(text);
  return QTest::toString("[" + texts.join(", ") + "]");
}
}  // namespace QTest

namespace store_checks {

using uvq::history::HistoryFilter;
using uvq::history::HistoryStore;
using uvq::history::OperationRow;
using uvq::history::UnitState;

inline const std::string kShaA(64, 'a');
inline const std::string kShaB = std::string(63, 'b') + "0";

// A row named by its detail, so that a query's answer reads as a list of names.
inline OperationRow Row(const std::string& name, const std::string& unit, const std::string& target,
                        const std::string& operation, int64_t startedAt) {
  OperationRow row;
  row.detail = name;
  row.unitId = unit;
  row.target = target;
  row.operation = operation;
  row.startedAt = startedAt;
  row.station = "s1";
  row.osUser = "tester";
  row.frontEnd = "cli";
  row.toolVersion = "1.0.0";
  return row;
}

inline void Record(HistoryStore& store, OperationRow row, const std::string& outcome) {
  row.id = store.begin(row);
  if (outcome.empty()) return;
  row.outcome = outcome;
  row.endedAt = row.startedAt + 500;
  store.complete(row);
}

inline std::vector<std::string> Names(const std::vector<OperationRow>& rows) {
  std::vector<std::string> names;
  for (const auto& row : rows) names.push_back(row.detail);
  return names;
}

inline std::vector<std::string> Units(const std::vector<UnitState>& units) {
  std::vector<std::string> ids;
  for (const auto& unit : units) ids.push_back(unit.unitId);
  return ids;
}

inline std::vector<std::string> Addresses(const std::vector<UnitState>& units) {
  std::vector<std::string> addresses;
  for (const auto& unit : units) addresses.push_back(unit.address);
  return addresses;
}

using Names_ = std::vector<std::string>;

inline void RecordedRowReadsBackWhole(HistoryStore& store) {
  OperationRow row = Row("tab\there \"quoted\" \xc3\xa9", "0100", "127.0.0.21", "program", 1000);
  row.reportedAddress = "127.0.0.22";
  row.imagePath = "/images/fw one.cry";
  row.imageBytes = 123456;
  row.imageSha256 = kShaA;
  row.rollout = "line-4";
  row.group = 3;
  row.id = store.begin(row);
  QVERIFY(row.id > 0);
  row.endedAt = 2500;
  row.records = 480;
  row.resends = 7;
  row.refusedRecords = 2;
  row.outcome = "unit_error";
  row.finalStatus = 0x8001;
  row.finalFlags = "busy,bad_record";
  store.complete(row);

  const auto rows = store.query({});
  QCOMPARE(rows.size(), size_t{1});
  const OperationRow& got = rows[0];
  QCOMPARE(got.id, row.id);
  QVERIFY(!got.key.empty());
  QCOMPARE(got.startedAt, row.startedAt);
  QCOMPARE(got.endedAt, row.endedAt);
  QCOMPARE(got.station, row.station);
  QCOMPARE(got.osUser, row.osUser);
  QCOMPARE(got.frontEnd, row.frontEnd);
  QCOMPARE(got.toolVersion, row.toolVersion);
  QCOMPARE(got.target, row.target);
  QCOMPARE(got.unitId, row.unitId);
  QCOMPARE(got.reportedAddress, row.reportedAddress);
  QCOMPARE(got.operation, row.operation);
  QCOMPARE(got.imagePath, row.imagePath);
  QCOMPARE(got.imageBytes, row.imageBytes);
  QCOMPARE(got.imageSha256, row.imageSha256);
  QCOMPARE(got.records, row.records);
  QCOMPARE(got.resends, row.resends);
  QCOMPARE(got.refusedRecords, row.refusedRecords);
  QCOMPARE(got.outcome, row.outcome);
  QCOMPARE(got.finalStatus, row.finalStatus);
  QCOMPARE(got.finalFlags, row.finalFlags);
  QCOMPARE(got.detail, row.detail);
  QCOMPARE(got.rollout, row.rollout);
  QCOMPARE(got.group, row.group);
}

// A row begun and not completed keeps its start and no outcome; its writer (this store) lives,
// so it is running, not abandoned (a killed writer's is: HistoryStoreTest).
inline void RowNeverCompletedHasNoOutcome(HistoryStore& store) {
  Record(store, Row("crashed", "0100", "127.0.0.21", "program", 1000), "");
  Record(store, Row("finished", "0100", "127.0.0.21", "reset", 2000), "ok");
  QVERIFY(store.query({.outcome = "abandoned"}).empty());
  const auto abandoned = store.query({.outcome = "running"});
  QCOMPARE(Names(abandoned), Names_({"crashed"}));
  QCOMPARE(abandoned[0].outcome, std::string());
  QVERIFY(!abandoned[0].endedAt);
  QCOMPARE(abandoned[0].startedAt, int64_t{1000});
}

inline void EachFilterSelectsItsRows(HistoryStore& store) {
  OperationRow r1 = Row("r1", "0100", "127.0.0.11", "program", 1000);
  r1.imagePath = "/img/a.cry";
  r1.imageSha256 = kShaA;
  OperationRow r2 = Row("r2", "0100", "127.0.0.11", "erase", 2000);
  r2.station = "s2";
  r2.eraseKind = "all";
  OperationRow r3 = Row("r3", "0101", "127.0.0.12", "program", 3000);
  r3.imagePath = "/img/b.cry";
  r3.imageSha256 = kShaB;
  OperationRow r4 = Row("r4", "0102", "127.0.0.13", "program", 4000);
  r4.imagePath = "/img/a.cry";
  r4.imageSha256 = kShaA;
  r4.station = "s2";
  r4.rollout = "fw-2";
  r4.group = 1;
  OperationRow r5 = Row("r5", "", "127.0.0.14", "scan", 5000);
  Record(store, r1, "ok");
  Record(store, r2, "no_answer");
  Record(store, r3, "ok");
  Record(store, r4, "");
  Record(store, r5, "ok");

  QCOMPARE(Names(store.query({})), Names_({"r5", "r4", "r3", "r2", "r1"}));
  QCOMPARE(Names(store.query({.unitId = "0100"})), Names_({"r2", "r1"}));
  QCOMPARE(Names(store.query({.target = "127.0.0.12"})), Names_({"r3"}));
  // A SHA-256 in capitals is the same image.
  std::string upperA(64, 'A');
  QCOMPARE(Names(store.query({.image = upperA})), Names_({"r4", "r1"}));
  QCOMPARE(Names(store.query({.image = "/img/b.cry"})), Names_({"r3"}));
  QCOMPARE(Names(store.query({.outcome = "ok"})), Names_({"r5", "r3", "r1"}));
  QCOMPARE(Names(store.query({.outcome = "no_answer"})), Names_({"r2"}));
  QCOMPARE(Names(store.query({.outcome = "running"})), Names_({"r4"}));
  QCOMPARE(Names(store.query({.operation = "erase"})), Names_({"r2"}));
  QCOMPARE(Names(store.query({.station = "s2"})), Names_({"r4", "r2"}));
  QCOMPARE(Names(store.query({.rollout = "fw-2"})), Names_({"r4"}));
  QCOMPARE(Names(store.query({.rollout = "fw-3"})), Names_());
  QCOMPARE(Names(store.query({.since = 2000, .until = 4000})), Names_({"r4", "r3", "r2"}));
  QCOMPARE(Names(store.query({.limit = 2})), Names_({"r5", "r4"}));
  QCOMPARE(Names(store.query({.limit = 0})).size(), size_t{5});
  QCOMPARE(Names(store.query({.unitId = "0100", .station = "s1"})), Names_({"r1"}));
  QCOMPARE(Names(store.query({.unitId = "0999"})), Names_());
  // A value that would break SQL built from text is only a value here.
  QCOMPARE(Names(store.query({.unitId = "0100' OR '1'='1"})), Names_());

  QCOMPARE(Units(store.units({})), Names_({"0100", "0101", "0102"}));
  QCOMPARE(Units(store.units({.image = kShaA})), Names_({"0100"}));  // 0102 never finished
  QCOMPARE(Units(store.units({.image = "/img/b.cry"})), Names_({"0101"}));
  // Its last operation runs (its writer is this process): judged as its row is.
  QCOMPARE(Units(store.units({.outcome = "running"})), Names_({"0102"}));
  QCOMPARE(Units(store.units({.outcome = "abandoned"})), Names_());
  QCOMPARE(Units(store.units({.outcome = "no_answer"})), Names_({"0100"}));
  QCOMPARE(Units(store.units({.target = "127.0.0.12"})), Names_({"0101"}));
  QCOMPARE(Units(store.units({.station = "s2"})), Names_({"0100", "0102"}));
  QCOMPARE(Units(store.units({.operation = "program"})), Names_({"0101", "0102"}));
  QCOMPARE(Units(store.units({.since = 3000})), Names_({"0101", "0102"}));
  QCOMPARE(Units(store.units({.unitId = "0101"})), Names_({"0101"}));
  QCOMPARE(Units(store.units({.limit = 1})), Names_({"0100"}));
}

// The unit's state follows its newest operation; its image follows its newest good program,
// and a write that arrives late (from the spool) changes neither.
inline void UnitsShowLatestStateAndLastGoodImage(HistoryStore& store) {
  // Reached at .31, the unit reports .32: it is the unit at .32, as when reached there.
  OperationRow good = Row("good", "0100", "127.0.0.32", "program", 1000);
  good.imagePath = "/img/a.cry";
  good.imageSha256 = kShaA;
  Record(store, good, "ok");
  OperationRow failed = Row("failed", "0100", "127.0.0.31", "program", 3000);
  failed.imagePath = "/img/b.cry";
  failed.imageSha256 = kShaB;
  failed.reportedAddress = "127.0.0.32";
  failed.station = "s2";
  Record(store, failed, "unit_error");
  OperationRow late = Row("late", "0100", "127.0.0.32", "program", 500);
  late.imagePath = "/img/old.cry";
  Record(store, late, "ok");

  const auto units = store.units({});
  QCOMPARE(units.size(), size_t{1});
  const UnitState& unit = units[0];
  QCOMPARE(unit.unitId, std::string("0100"));
  QCOMPARE(unit.address, std::string("127.0.0.32"));
  QCOMPARE(unit.lastSeen, int64_t{3500});
  QCOMPARE(unit.lastOperation, std::string("program"));
  QCOMPARE(unit.lastOutcome, std::string("unit_error"));
  QCOMPARE(unit.lastStation, std::string("s2"));
  QCOMPARE(unit.lastImagePath, std::string("/img/a.cry"));
  QCOMPARE(unit.lastImageSha256, kShaA);
  QCOMPARE(unit.lastProgrammedAt, std::optional<int64_t>(1500));
}

// A unit carries an image until an ok erase of its program memory or an ok program of another
// image, whatever arrives later from the spool; an erase of the data memory or an erase that
// failed leaves the image where it was.
inline void AnImageIsCarriedUntilErasedOrReplaced(HistoryStore& store) {
  for (const char* unit : {"0100", "0101", "0102", "0103"}) {
    OperationRow program = Row(std::string("a-") + unit, unit, "127.0.0.51", "program", 1000);
    program.imagePath = "/img/a.cry";
    program.imageSha256 = kShaA;
    Record(store, program, "ok");
  }
  OperationRow erased = Row("erased", "0100", "127.0.0.51", "erase", 2000);
  erased.eraseKind = "device";
  Record(store, erased, "ok");
  OperationRow other = Row("other", "0101", "127.0.0.51", "program", 2000);
  other.imagePath = "/img/b.cry";
  other.imageSha256 = kShaB;
  Record(store, other, "ok");
  OperationRow data = Row("data", "0102", "127.0.0.51", "erase", 2000);
  data.eraseKind = "data";
  Record(store, data, "ok");
  OperationRow refused = Row("refused", "0103", "127.0.0.51", "erase", 2000);
  refused.eraseKind = "program";
  Record(store, refused, "no_answer");
  // An older program of 0100 that reached the database only now.
  OperationRow late = Row("late", "0100", "127.0.0.51", "program", 1200);
  late.imagePath = "/img/a.cry";
  late.imageSha256 = kShaA;
  Record(store, late, "ok");

  QCOMPARE(Units(store.units({.image = kShaA})), Names_({"0102", "0103"}));
  QCOMPARE(Units(store.units({.image = "/img/a.cry"})), Names_({"0102", "0103"}));
  QCOMPARE(Units(store.units({.image = kShaB})), Names_({"0101"}));
  const UnitState wiped = store.units({.unitId = "0100"}).at(0);
  QCOMPARE(wiped.lastImagePath, std::string());
  QCOMPARE(wiped.lastImageSha256, std::string());
  QVERIFY(!wiped.lastProgrammedAt);
  QCOMPARE(wiped.lastOperation, std::string("erase"));
  QCOMPARE(store.units({.unitId = "0101"}).at(0).lastImagePath, std::string("/img/b.cry"));
}

// A unit is its ID at its address: units of one ID at many addresses (an emulated range, a
// batch flashed with one ID) are as many units, each with its own state, image and rows.
inline void OneIdAtManyAddressesIsManyUnits(HistoryStore& store) {
  constexpr int kUnits = 200;
  std::vector<OperationRow> programs;
  for (int i = 0; i < kUnits; ++i) {
    OperationRow row = Row("p" + std::to_string(i), "0100", "127.0.3." + std::to_string(i + 1),
                           "program", 1000 + i);
    row.imagePath = "/img/a.cry";
    row.imageSha256 = kShaA;
    programs.push_back(row);
  }
  const std::vector<int64_t> ids = store.beginAll(programs);
  for (int i = 0; i < kUnits; ++i) {
    OperationRow done = programs[i];
    done.id = ids[i];
    done.outcome = "ok";
    done.endedAt = done.startedAt + 500;
    store.complete(done);
  }
  // One of them gets another image, one fails to get it: each is that unit's alone.
  OperationRow other = Row("other", "0100", "127.0.3.8", "program", 5000);
  other.imagePath = "/img/b.cry";
  other.imageSha256 = kShaB;
  Record(store, other, "ok");
  Record(store, Row("erased", "0100", "127.0.3.9", "erase", 5000), "ok");

  const auto units = store.units({.limit = 0});
  QCOMPARE(units.size(), size_t{kUnits});
  std::set<std::string> addresses;
  for (const UnitState& unit : units) addresses.insert(unit.address);
  QCOMPARE(addresses.size(), size_t{kUnits});
  QCOMPARE(store.units({.image = kShaA, .limit = 0}).size(), size_t{kUnits - 2});
  QCOMPARE(Addresses(store.units({.image = kShaB, .limit = 0})), Names_({"127.0.3.8"}));
  const UnitState seventh = store.units({.unitId = "0100", .unitAddress = "127.0.3.7"}).at(0);
  QCOMPARE(seventh.lastImageSha256, kShaA);
  QCOMPARE(seventh.lastSeen, int64_t{1506});
  QCOMPARE(Names(store.query({.unitId = "0100", .unitAddress = "127.0.3.8"})),
           Names_({"other", "p7"}));
  QCOMPARE(store.units({.unitId = "0100", .unitAddress = "127.0.3.9"}).at(0).lastImagePath,
           std::string());
}

// A set-ip moves the unit with its history: its earlier rows count for it at the new address,
// also rows that arrive late (from a spool) and moves recorded out of order; the old address
// shows the unit again only once it answers there after the move. A failed set-ip moves nothing.
inline void SetIpCarriesTheUnitsHistory(HistoryStore& store) {
  OperationRow program = Row("program", "0100", "127.0.0.61", "program", 1000);
  program.imagePath = "/img/a.cry";
  program.imageSha256 = kShaA;
  Record(store, program, "ok");
  Record(store, Row("neighbour", "0100", "127.0.0.62", "status", 1000), "ok");
  OperationRow refused = Row("refused", "0100", "127.0.0.61", "set-ip", 1800);
  refused.reportedAddress = "127.0.0.61";
  Record(store, refused, "unit_error");
  OperationRow move = Row("move", "0100", "127.0.0.61", "set-ip", 2000);
  move.id = store.begin(move);
  // While it runs the unit is where it was reached.
  QCOMPARE(Addresses(store.units({.unitId = "0100"})), Names_({"127.0.0.61", "127.0.0.62"}));
  move.reportedAddress = "127.0.0.63";
  move.outcome = "ok";
  move.endedAt = 2500;
  store.complete(move);

  QCOMPARE(Addresses(store.units({.unitId = "0100"})), Names_({"127.0.0.62", "127.0.0.63"}));
  const UnitState moved = store.units({.unitAddress = "127.0.0.63"}).at(0);
  QCOMPARE(moved.lastOperation, std::string("set-ip"));
  QCOMPARE(moved.lastImageSha256, kShaA);
  QCOMPARE(moved.lastProgrammedAt, std::optional<int64_t>(1500));
  QCOMPARE(Addresses(store.units({.image = kShaA})), Names_({"127.0.0.63"}));
  // A status from before the move, written only now, belongs to the moved unit.
  Record(store, Row("late", "0100", "127.0.0.61", "status", 1200), "ok");
  QCOMPARE(Addresses(store.units({.unitId = "0100"})), Names_({"127.0.0.62", "127.0.0.63"}));
  QCOMPARE(Names(store.query({.unitId = "0100", .unitAddress = "127.0.0.63"})),
           Names_({"move", "refused", "late", "program"}));
  for (const OperationRow& row : store.query({.unitAddress = "127.0.0.63"}))
    QCOMPARE(row.unitAddress, std::string("127.0.0.63"));
  // A unit of that ID answers at the old address again: a unit there, with only its own rows.
  Record(store, Row("again", "0100", "127.0.0.61", "status", 3000), "ok");
  const UnitState again = store.units({.unitAddress = "127.0.0.61"}).at(0);
  QCOMPARE(again.lastImagePath, std::string());
  QCOMPARE(Names(store.query({.unitAddress = "127.0.0.61"})), Names_({"again"}));
  QCOMPARE(Addresses(store.units({.image = kShaA})), Names_({"127.0.0.63"}));

  // Two moves of one unit, the later written first: the unit ends at the last address.
  OperationRow chain = Row("chain", "0200", "127.0.0.71", "program", 1000);
  chain.imagePath = "/img/b.cry";
  chain.imageSha256 = kShaB;
  Record(store, chain, "ok");
  OperationRow second = Row("second", "0200", "127.0.0.72", "set-ip", 3000);
  second.reportedAddress = "127.0.0.73";
  Record(store, second, "ok");
  OperationRow first = Row("first", "0200", "127.0.0.71", "set-ip", 2000);
  first.reportedAddress = "127.0.0.72";
  Record(store, first, "ok");
  QCOMPARE(Addresses(store.units({.unitId = "0200"})), Names_({"127.0.0.73"}));
  QCOMPARE(store.units({.unitId = "0200"}).at(0).lastImageSha256, kShaB);
  QCOMPARE(Names(store.query({.unitId = "0200", .unitAddress = "127.0.0.73"})),
           Names_({"second", "first", "chain"}));
}

// Keys make a row once: a complete that arrives before its begin, a begin written twice.
inline void WritesOfOneKeyMakeOneRowInAnyOrder(HistoryStore& store) {
  OperationRow row = Row("one", "0100", "127.0.0.41", "reset", 1000);
  row.key = uvq::history::NewRowKey();
  OperationRow done = row;
  done.outcome = "ok";
  done.endedAt = 1200;
  store.complete(done);
  const int64_t id = store.begin(row);
  QCOMPARE(store.begin(row), id);
  const auto rows = store.query({});
  QCOMPARE(rows.size(), size_t{1});
  QCOMPARE(rows[0].id, id);
  QCOMPARE(rows[0].key, row.key);
  QCOMPARE(rows[0].outcome, std::string("ok"));
  QCOMPARE(rows[0].endedAt, std::optional<int64_t>(1200));

  // Without a key the id given by begin completes the row.
  OperationRow plain = Row("plain", "0101", "127.0.0.42", "reset", 2000);
  plain.id = store.begin(plain);
  plain.outcome = "no_answer";
  plain.endedAt = 2100;
  store.complete(plain);
  QCOMPARE(store.query({.unitId = "0101"}).at(0).outcome, std::string("no_answer"));
  QCOMPARE(store.query({}).size(), size_t{2});
}

}  // namespace store_checks
