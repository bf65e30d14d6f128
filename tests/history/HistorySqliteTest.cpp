// SPDX-License-Identifier: Apache-2.0
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "StoreChecks.h"
#include "store/db/HistoryPaths.h"
#include "store/db/HistorySchema.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SqliteHistoryStore.h"

using namespace uvq::history;

namespace {

// A second connection of the test's own, to look at or hold the file as another program would.
class RawDb {
 public:
  explicit RawDb(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~RawDb() { sqlite3_close_v2(db_); }
  bool exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  std::string text(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

int Mode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

HistoryErrorKind OpenFails(const std::string& db, std::string& message) {
  try {
    OpenHistoryStore(db);
  } catch (const HistoryError& error) {
    message = error.what();
    return error.kind();
  }
  message.clear();
  return HistoryErrorKind::Setting;
}

std::string WriterPath() {
  const char* build = std::getenv("UVQ_BUILD_DIR");
  return std::string(build ? build : ".") + "/uvq-test-history-writer";
}

}  // namespace

// Every case has its own file in a temporary folder.
class HistorySqliteTest : public QObject {
  Q_OBJECT

  QTemporaryDir scratch_;
  int counter_ = 0;

  std::string NewPath() {
    return scratch_.filePath(QString("h%1.sqlite3").arg(++counter_)).toStdString();
  }

 private slots:
  void initTestCase() { QVERIFY(scratch_.isValid()); }

  void recordedRowReadsBackWhole() {
    SqliteHistoryStore store(NewPath());
    store_checks::RecordedRowReadsBackWhole(store);
  }
  void rowNeverCompletedHasNoOutcome() {
    SqliteHistoryStore store(NewPath());
    store_checks::RowNeverCompletedHasNoOutcome(store);
  }
  void eachFilterSelectsItsRows() {
    SqliteHistoryStore store(NewPath());
    store_checks::EachFilterSelectsItsRows(store);
  }
  void unitsShowLatestStateAndLastGoodImage() {
    SqliteHistoryStore store(NewPath());
    store_checks::UnitsShowLatestStateAndLastGoodImage(store);
  }
  void writesOfOneKeyMakeOneRowInAnyOrder() {
    SqliteHistoryStore store(NewPath());
    store_checks::WritesOfOneKeyMakeOneRowInAnyOrder(store);
  }

  // The default place: a private folder, a private file, in WAL mode, reopened as it is.
  void defaultFileIsPrivateAndInWalMode() {
    const std::string data = scratch_.filePath("xdg-data").toStdString();
    QCOMPARE(::setenv("XDG_DATA_HOME", data.c_str(), 1), 0);
    {
      auto store = OpenHistoryStore("");
      QCOMPARE(store->location(), data + "/uvq/history.sqlite3");
      store_checks::Record(*store, store_checks::Row("a", "0100", "127.0.0.61", "reset", 1), "ok");
    }
    QCOMPARE(Mode(data + "/uvq"), 0700);
    QCOMPARE(Mode(data + "/uvq/history.sqlite3"), 0600);
    RawDb raw(data + "/uvq/history.sqlite3");
    QCOMPARE(raw.text("PRAGMA journal_mode"), std::string("wal"));
    QCOMPARE(raw.text("PRAGMA user_version"), std::to_string(kSchemaVersion));
    QCOMPARE(OpenHistoryStore("")->query({}).size(), size_t{1});
    QCOMPARE(OpenHistoryStore("sqlite://" + data + "/uvq/history.sqlite3")->query({}).size(),
             size_t{1});
    ::unsetenv("XDG_DATA_HOME");
  }

  // A database of the first version, written as that version wrote it, is upgraded in place:
  // its rows keep their fields, gain keys, and the units' states are derived from them.
  void olderSchemaIsUpgradedInPlace() {
    const std::string path = NewPath();
    {
      RawDb raw(path);
      QVERIFY(raw.exec(
          "CREATE TABLE operations (id INTEGER PRIMARY KEY, started_at INTEGER NOT NULL, "
          "ended_at INTEGER, station TEXT NOT NULL DEFAULT '', os_user TEXT NOT NULL DEFAULT '', "
          "front_end TEXT NOT NULL DEFAULT '', tool_version TEXT NOT NULL DEFAULT '', "
          "target TEXT NOT NULL DEFAULT '', unit_id TEXT NOT NULL DEFAULT '', "
          "reported_address TEXT NOT NULL DEFAULT '', operation TEXT NOT NULL DEFAULT '', "
          "erase_kind TEXT NOT NULL DEFAULT '', image_path TEXT NOT NULL DEFAULT '', "
          "image_bytes INTEGER NOT NULL DEFAULT 0, image_sha256 TEXT NOT NULL DEFAULT '', "
          "records INTEGER NOT NULL DEFAULT 0, resends INTEGER NOT NULL DEFAULT 0, "
          "refused_records INTEGER NOT NULL DEFAULT 0, outcome TEXT, final_status INTEGER, "
          "final_flags TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '');"
          "CREATE INDEX operations_unit ON operations(unit_id, started_at);"
          "INSERT INTO operations(started_at, ended_at, unit_id, target, operation, image_path, "
          "outcome, detail) VALUES (1000, 1500, '0100', '127.0.0.71', 'program', '/img/a.cry', "
          "'ok', 'old program'), (2000, 2100, '0100', '127.0.0.71', 'reset', '', 'ok', "
          "'old reset'), (3000, NULL, '0101', '127.0.0.72', 'erase', '', NULL, 'old crash');"
          "PRAGMA application_id = 1431720264; PRAGMA user_version = 1;"));
    }
    SqliteHistoryStore store(path);
    RawDb raw(path);
    QCOMPARE(raw.text("PRAGMA user_version"), std::to_string(kSchemaVersion));
    const auto rows = store.query({});
    QCOMPARE(store_checks::Names(rows),
             store_checks::Names_({"old crash", "old reset", "old program"}));
    std::set<std::string> keys;
    for (const auto& row : rows) keys.insert(row.key);
    QCOMPARE(keys.size(), size_t{3});
    QVERIFY(!keys.count(""));
    const auto units = store.units({.unitId = "0100"});
    QCOMPARE(units.size(), size_t{1});
    QCOMPARE(units[0].lastOperation, std::string("reset"));
    QCOMPARE(units[0].lastImagePath, std::string("/img/a.cry"));
    QCOMPARE(units[0].lastProgrammedAt, std::optional<int64_t>(1500));
    QCOMPARE(store.units({.outcome = "abandoned"}).at(0).unitId, std::string("0101"));
    store_checks::Record(store, store_checks::Row("new", "0100", "127.0.0.71", "reset", 4000),
                         "ok");
    QCOMPARE(store.query({.unitId = "0100"}).size(), size_t{3});
  }

  // Refused without a change to the file: a newer schema (both versions named), another
  // program's database, a file that is no database at all.
  void otherFilesAreRefusedUntouched() {
    std::string message;
    const std::string newer = NewPath();
    { SqliteHistoryStore made(newer); }
    QVERIFY(RawDb(newer).exec("PRAGMA user_version = 7"));
    QCOMPARE(OpenFails(newer, message), HistoryErrorKind::NewerSchema);
    QVERIFY2(message.find("version 7") != std::string::npos, message.c_str());
    QVERIFY2(message.find(std::to_string(kSchemaVersion)) != std::string::npos, message.c_str());
    QVERIFY2(message.find(newer) != std::string::npos, message.c_str());

    const std::string foreign = NewPath();
    QVERIFY(RawDb(foreign).exec("CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('x')"));
    QCOMPARE(OpenFails(foreign, message), HistoryErrorKind::NotAHistory);
    QVERIFY2(message.find("not a uvq history") != std::string::npos, message.c_str());
    RawDb foreignRaw(foreign);
    QCOMPARE(foreignRaw.text("PRAGMA journal_mode"), std::string("delete"));
    QCOMPARE(foreignRaw.text("SELECT count(*) FROM sqlite_master"), std::string("1"));

    const std::string junk = NewPath();
    const std::string junkText(5000, 'j');
    std::ofstream(junk, std::ios::binary) << junkText;
    QCOMPARE(OpenFails(junk, message), HistoryErrorKind::NotAHistory);
    QVERIFY2(message.find("not a uvq history") != std::string::npos, message.c_str());
    std::ifstream in(junk, std::ios::binary);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), junkText);

    QCOMPARE(OpenFails(scratch_.filePath("no-such-folder/h.sqlite3").toStdString(), message),
             HistoryErrorKind::Unavailable);
  }

  // Eight processes writing into one file at once: every row arrives, every id once.
  void eightProcessesLoseNoRow() {
    const std::string path = NewPath();
    { SqliteHistoryStore created(path); }
    constexpr int kProcesses = 8;
    constexpr int kRows = 40;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int i = 0; i < kProcesses; ++i) {
      writers.push_back(std::make_unique<QProcess>());
      writers.back()->start(
          QString::fromStdString(WriterPath()),
          {QString::fromStdString(path), "rows", QString::number(kRows), QString("p%1").arg(i)});
    }
    for (auto& writer : writers) {
      QVERIFY(writer->waitForFinished(120000));
      QVERIFY2(writer->exitCode() == 0, writer->readAllStandardError().constData());
    }
    SqliteHistoryStore store(path);
    const auto rows = store.query({.limit = 0});
    QCOMPARE(rows.size(), size_t{kProcesses * kRows});
    std::set<int64_t> ids;
    std::set<std::string> units;
    for (const auto& row : rows) {
      ids.insert(row.id);
      units.insert(row.unitId);
      QCOMPARE(row.outcome, std::string("ok"));
    }
    QCOMPARE(ids.size(), rows.size());
    QCOMPARE(units.size(), rows.size());
    QCOMPARE(store.units({.limit = 0}).size(), rows.size());
  }

  // kill -9 between begin and complete: the row stays, without an outcome.
  void killedProcessLeavesAnAbandonedRow() {
    const std::string path = NewPath();
    QProcess writer;
    writer.start(QString::fromStdString(WriterPath()),
                 {QString::fromStdString(path), "hang", "0777"});
    QVERIFY(writer.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += writer.readAllStandardOutput()).contains("begun") ||
                                 writer.state() != QProcess::Running,
                             60000);
    QCOMPARE(writer.state(), QProcess::Running);
    writer.kill();
    QVERIFY(writer.waitForFinished());
    SqliteHistoryStore store(path);
    const auto abandoned = store.query({.outcome = "abandoned"});
    QCOMPARE(abandoned.size(), size_t{1});
    QCOMPARE(abandoned[0].unitId, std::string("0777"));
    QCOMPARE(store.units({.outcome = "abandoned"}).size(), size_t{1});
  }
};

QTEST_GUILESS_MAIN(HistorySqliteTest)
#include "HistorySqliteTest.moc"
