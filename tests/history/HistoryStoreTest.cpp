// SPDX-License-Identifier: Apache-2.0
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "StoreChecks.h"
#include "TestDatabases.h"
#include "store/db/Database.h"
#include "store/db/HistoryPaths.h"
#include "store/db/HistorySchema.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SqlHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

using namespace uvq::history;
using namespace uvq::rollouts;
using store_checks::Names;
using store_checks::Names_;
using store_checks::Record;
using store_checks::Row;
using uvq::store::Access;
using uvq::store::Dialect;
using uvq::store::kSchemaVersion;
using uvq::store::SchemaStep;

namespace {

// A second connection of the test's own, to look at or change a file as another program would.
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

HistoryError OpenError(const std::string& db) {
  try {
    OpenHistoryStore(db);
  } catch (const HistoryError& error) {
    return error;
  }
  return HistoryError(HistoryErrorKind::Setting, "opened");
}

std::string WriterPath() {
  const char* build = std::getenv("UVQ_BUILD_DIR");
  return std::string(build ? build : ".") + "/uvq-test-history-writer";
}

}  // namespace

// The history on both engines, one source: every case runs on SQLite and on PostgreSQL, each on
// a database of its own; the few that belong to one engine say so and skip the other.
class HistoryStoreTest : public QObject {
  Q_OBJECT

  TestDatabases databases_;

  static bool Sqlite() { return TestDatabases::Kind() == "sqlite"; }

  // A trigger that refuses to insert a row whose detail is "boom", so that a batch fails in
  // its middle.
  bool RefuseBoom(const std::string& db) {
    if (Sqlite())
      return RawDb(db).exec(
          "CREATE TRIGGER boom BEFORE INSERT ON operations WHEN NEW.detail = 'boom' "
          "BEGIN SELECT RAISE(ABORT, 'boom'); END;");
    return databases_.sql(
        databases_.lastName(),
        "CREATE FUNCTION boom() RETURNS trigger AS $$ BEGIN IF NEW.detail = 'boom' THEN RAISE "
        "EXCEPTION 'boom'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;\n"
        "CREATE TRIGGER boom BEFORE INSERT ON operations FOR EACH ROW EXECUTE FUNCTION boom();\n");
  }

 private slots:
  void initTestCase_data() { TestDatabases::AddEngines(); }
  void initTestCase() {
    const std::string problem = databases_.start();
    QVERIFY2(problem.empty(), problem.c_str());
  }

  void recordedRowReadsBackWhole() {
    store_checks::RecordedRowReadsBackWhole(*OpenHistoryStore(databases_.newDb()));
  }
  void rowNeverCompletedHasNoOutcome() {
    store_checks::RowNeverCompletedHasNoOutcome(*OpenHistoryStore(databases_.newDb()));
  }
  void eachFilterSelectsItsRows() {
    store_checks::EachFilterSelectsItsRows(*OpenHistoryStore(databases_.newDb()));
  }
  void unitsShowLatestStateAndLastGoodImage() {
    store_checks::UnitsShowLatestStateAndLastGoodImage(*OpenHistoryStore(databases_.newDb()));
  }
  void anImageIsCarriedUntilErasedOrReplaced() {
    store_checks::AnImageIsCarriedUntilErasedOrReplaced(*OpenHistoryStore(databases_.newDb()));
  }
  void oneIdAtManyAddressesIsManyUnits() {
    store_checks::OneIdAtManyAddressesIsManyUnits(*OpenHistoryStore(databases_.newDb()));
  }
  void setIpCarriesTheUnitsHistory() {
    store_checks::SetIpCarriesTheUnitsHistory(*OpenHistoryStore(databases_.newDb()));
  }
  void writesOfOneKeyMakeOneRowInAnyOrder() {
    store_checks::WritesOfOneKeyMakeOneRowInAnyOrder(*OpenHistoryStore(databases_.newDb()));
  }

  // A batch of begins is one transaction: a row refused in its middle leaves none of the batch.
  void beginAllIsAllOrNone() {
    const std::string db = databases_.newDb();
    auto store = OpenHistoryStore(db);
    QVERIFY(RefuseBoom(db));
    const std::vector<OperationRow> batch = {Row("first", "0100", "127.0.0.81", "program", 1000),
                                             Row("boom", "0101", "127.0.0.82", "program", 1000),
                                             Row("third", "0102", "127.0.0.83", "program", 1000)};
    try {
      store->beginAll(batch);
      QFAIL("a batch with a refused row was written");
    } catch (const HistoryError& error) {
      QCOMPARE(error.kind(), HistoryErrorKind::WriteFailed);
    }
    QCOMPARE(store->query({}).size(), size_t{0});
    QCOMPARE(store->units({}).size(), size_t{0});
    // The spool keeps the whole batch instead, in one piece.
    const std::string spoolPath = databases_.file("batch-" + databases_.lastName() + ".spool");
    SpoolingHistoryStore spooling(OpenHistoryStore(db), spoolPath);
    const auto ids = spooling.beginAll(batch);
    QCOMPARE(ids.size(), size_t{3});
    for (int64_t id : ids) QVERIFY(id < 0);
    QCOMPARE(spooling.spooledCount(), size_t{3});
    QCOMPARE(store->query({}).size(), size_t{0});
  }

  // The history and the rollouts of one database share the process's one connection; the
  // schema is checked and migrated once, by the connection.
  void historyAndRolloutsShareOneConnection() {
    const std::string db = databases_.newDb();
    auto connection = uvq::store::OpenDatabase(db);
    QCOMPARE(uvq::store::OpenDatabase(db).get(), connection.get());
    auto history = OpenHistoryStore(db);
    auto rollouts = OpenRolloutStore(db);
    QCOMPARE(connection.use_count(), long{3});
    store_checks::Record(*history, Row("shared", "0100", "127.0.0.84", "reset", 1000), "ok");
    QCOMPARE(rollouts->list().size(), size_t{0});
    if (Sqlite()) return;
    const auto sessions =
        connection->transaction("history", Access::Read, HistoryErrorKind::ReadFailed, [&] {
          return connection
              ->run("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()")
              .rows.at(0)
              .at(0)
              .asNumber();
        });
    QCOMPARE(sessions, int64_t{1});
  }

  // Placeholders are the engine's own: a "$1" inside a literal stays text, numbers may come in
  // any order and more than once, a null goes through as one.
  void placeholdersAreBoundNotRewritten() {
    auto connection = uvq::store::OpenDatabase(databases_.newDb());
    const auto row =
        connection->transaction("history", Access::Read, HistoryErrorKind::ReadFailed, [&] {
          return connection
              ->run("SELECT '$1 costs $2', $2, $1, $2, $3",
                    {"one", int64_t{2}, uvq::store::SqlValue()})
              .rows.at(0);
        });
    QCOMPARE(row.at(0).asText(), std::string("$1 costs $2"));
    QCOMPARE(row.at(1).asNumber(), int64_t{2});
    QCOMPARE(row.at(2).asText(), std::string("one"));
    QCOMPARE(row.at(3).asNumber(), int64_t{2});
    QVERIFY(row.at(4).null());
  }

  // Eight processes writing into one database at once: every row arrives, every id once.
  void eightProcessesLoseNoRow() {
    const std::string db = databases_.newDb();
    OpenHistoryStore(db);
    constexpr int kProcesses = 8;
    constexpr int kRows = 25;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int i = 0; i < kProcesses; ++i) {
      writers.push_back(std::make_unique<QProcess>());
      writers.back()->start(
          QString::fromStdString(WriterPath()),
          {QString::fromStdString(db), "rows", QString::number(kRows), QString("p%1").arg(i)});
    }
    for (auto& writer : writers) {
      QVERIFY(writer->waitForFinished(120000));
      QVERIFY2(writer->exitCode() == 0, writer->readAllStandardError().constData());
    }
    auto store = OpenHistoryStore(db);
    const auto rows = store->query({.limit = 0});
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
    QCOMPARE(store->units({.limit = 0}).size(), rows.size());
  }

  // kill -9 between begin and complete: the row stays, without an outcome.
  void killedProcessLeavesAnAbandonedRow() {
    const std::string db = databases_.newDb();
    QProcess writer;
    writer.start(QString::fromStdString(WriterPath()),
                 {QString::fromStdString(db), "hang", "0777"});
    QVERIFY(writer.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += writer.readAllStandardOutput()).contains("begun") ||
                                 writer.state() != QProcess::Running,
                             60000);
    QCOMPARE(writer.state(), QProcess::Running);
    auto store = OpenHistoryStore(db);
    // While its writer lives the row is running, not abandoned.
    const auto running = store->query({.outcome = "running"});
    QCOMPARE(running.size(), size_t{1});
    QVERIFY(running[0].writerAlive);
    QVERIFY(store->query({.outcome = "abandoned"}).empty());
    // Its unit too: the last operation runs.
    QCOMPARE(store_checks::Addresses(store->units({.outcome = "running"})).size(), size_t{1});
    QVERIFY(store->units({}).at(0).writerAlive);
    QVERIFY(store->units({.outcome = "abandoned"}).empty());
    writer.kill();
    QVERIFY(writer.waitForFinished());
    const auto abandoned = store->query({.outcome = "abandoned"});
    QCOMPARE(abandoned.size(), size_t{1});
    QCOMPARE(abandoned[0].unitId, std::string("0777"));
    QVERIFY(!abandoned[0].writerAlive);
    QCOMPARE(store->units({.outcome = "abandoned"}).size(), size_t{1});
    QVERIFY(!store->units({}).at(0).writerAlive);
    QVERIFY(store->units({.outcome = "running"}).empty());
  }

  // A writer on another host is judged by its mark alone: running while it is fresh, abandoned
  // once it ran out; a store closed with rows still open gives them up at once.
  void inFlightRowFollowsItsWritersMark() {
    const std::string db = databases_.newDb();
    auto elsewhere = OpenHistoryStore(db);
    Record(*elsewhere, Row("far", "0500", "127.0.0.81", "program", 1000), "");
    const auto mark = [&](const std::string& aliveUntil) {
      const std::string sql =
          "UPDATE writers SET host = 'another-host', pid = 1, alive_until = " + aliveUntil + ";";
      return Sqlite() ? RawDb(db).exec(sql) : databases_.sql(databases_.lastName(), sql);
    };
    QVERIFY(mark("9000000000000"));
    auto reader = OpenHistoryStore(db);
    QCOMPARE(Names(reader->query({.outcome = "running"})), Names_{"far"});
    QVERIFY(reader->query({.outcome = "abandoned"}).empty());
    QVERIFY(reader->query({}).at(0).writerAlive);
    // The unit whose last operation that row is runs as long, by the same rule.
    QVERIFY(reader->units({}).at(0).writerAlive);
    QCOMPARE(store_checks::Addresses(reader->units({.outcome = "running"})),
             store_checks::Names_({"127.0.0.81"}));
    QVERIFY(reader->units({.outcome = "abandoned"}).empty());
    QVERIFY(mark("1"));
    QCOMPARE(Names(reader->query({.outcome = "abandoned"})), Names_{"far"});
    QVERIFY(reader->query({.outcome = "running"}).empty());
    QVERIFY(!reader->query({}).at(0).writerAlive);
    QVERIFY(!reader->units({}).at(0).writerAlive);
    QCOMPARE(reader->units({.outcome = "abandoned"}).size(), size_t{1});
    QVERIFY(reader->units({.outcome = "running"}).empty());

    const std::string second = databases_.newDb();
    {
      auto closing = OpenHistoryStore(second);
      Record(*closing, Row("open", "0501", "127.0.0.82", "program", 1000), "");
      QCOMPARE(Names(closing->query({.outcome = "running"})), Names_{"open"});
    }
    QCOMPARE(Names(OpenHistoryStore(second)->query({.outcome = "abandoned"})), Names_{"open"});
  }

  // A database of the first version, written as that version wrote it, is upgraded in place:
  // its rows keep their fields, gain keys, and the units' states are derived from them. A newer
  // version is refused with both versions named.
  void olderSchemaIsUpgradedNewerRefused() {
    const std::string db = databases_.newDb();
    std::string sql;
    for (const auto& statement : SchemaStep(1, Sqlite() ? Dialect::Sqlite : Dialect::Postgres))
      sql += statement + ";\n";
    sql +=
        "INSERT INTO operations(started_at, ended_at, unit_id, target, operation, image_path, "
        "outcome, detail) VALUES (1000, 1500, '0100', '127.0.0.71', 'program', '/img/a.cry', "
        "'ok', 'old program'), (2000, 2100, '0100', '127.0.0.71', 'reset', '', 'ok', "
        "'old reset'), (3000, NULL, '0101', '127.0.0.72', 'erase', '', NULL, 'old crash'), "
        "(2200, 2300, '0100', '127.0.0.73', 'status', '', 'ok', 'other unit');\n"
        "INSERT INTO operations(started_at, ended_at, unit_id, target, reported_address, "
        "operation, outcome, detail) VALUES (2400, 2500, '0100', '127.0.0.71', '127.0.0.74', "
        "'set-ip', 'ok', 'old move');\n";
    if (Sqlite()) {
      sql += "PRAGMA application_id = 1431720264; PRAGMA user_version = 1;";
      QVERIFY(RawDb(db).exec(sql));
    } else {
      sql +=
          "CREATE TABLE schema_version (application TEXT PRIMARY KEY, version INTEGER NOT "
          "NULL);\nINSERT INTO schema_version VALUES ('uvq-history', 1);\n";
      QVERIFY(databases_.sql(databases_.lastName(), sql));
    }
    {
      auto store = OpenHistoryStore(db);
      const auto rows = store->query({});
      QCOMPARE(store_checks::Names(rows),
               store_checks::Names_(
                   {"old crash", "old move", "other unit", "old reset", "old program"}));
      std::set<std::string> keys;
      for (const auto& row : rows) keys.insert(row.key);
      QCOMPARE(keys.size(), size_t{5});
      QVERIFY(!keys.count(""));
      // One ID at two addresses is two units; the one re-addressed took its rows along.
      const auto units = store->units({.unitId = "0100"});
      QCOMPARE(store_checks::Addresses(units), store_checks::Names_({"127.0.0.73", "127.0.0.74"}));
      QCOMPARE(units[1].lastOperation, std::string("set-ip"));
      QCOMPARE(units[1].lastImagePath, std::string("/img/a.cry"));
      QCOMPARE(units[1].lastProgrammedAt, std::optional<int64_t>(1500));
      QCOMPARE(units[0].lastImagePath, std::string());
      QCOMPARE(store_checks::Names(store->query({.unitId = "0100", .unitAddress = "127.0.0.74"})),
               store_checks::Names_({"old move", "old reset", "old program"}));
      QCOMPARE(store->units({.outcome = "abandoned"}).at(0).unitId, std::string("0101"));
    }
    const std::string future = std::to_string(kSchemaVersion + 1);
    if (Sqlite())
      QVERIFY(RawDb(db).exec("PRAGMA user_version = " + future));
    else
      QVERIFY(databases_.sql(databases_.lastName(),
                             "UPDATE schema_version SET version = " + future + ";"));
    const HistoryError newer = OpenError(db);
    const std::string message = newer.what();
    QCOMPARE(newer.kind(), HistoryErrorKind::NewerSchema);
    QVERIFY2(message.find("version " + future) != std::string::npos, newer.what());
    QVERIFY2(message.find(std::to_string(kSchemaVersion)) != std::string::npos, newer.what());
  }

  // Another program's database is refused without a change.
  void foreignDatabasesAreRefusedUntouched() {
    const std::string db = databases_.newDb();
    if (!Sqlite()) {
      QVERIFY(databases_.sql(databases_.lastName(), "CREATE TABLE operations (x INTEGER);"));
      QCOMPARE(OpenError(db).kind(), HistoryErrorKind::NotAHistory);
      return;
    }
    QVERIFY(RawDb(db).exec("CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('x')"));
    const HistoryError foreign = OpenError(db);
    QCOMPARE(foreign.kind(), HistoryErrorKind::NotAHistory);
    QVERIFY2(std::string(foreign.what()).find("not a uvq history") != std::string::npos,
             foreign.what());
    RawDb foreignRaw(db);
    QCOMPARE(foreignRaw.text("PRAGMA journal_mode"), std::string("delete"));
    QCOMPARE(foreignRaw.text("SELECT count(*) FROM sqlite_master"), std::string("1"));

    const std::string junk = databases_.file("junk");
    const std::string junkText(5000, 'j');
    std::ofstream(junk, std::ios::binary) << junkText;
    QCOMPARE(OpenError(junk).kind(), HistoryErrorKind::NotAHistory);
    std::ifstream in(junk, std::ios::binary);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), junkText);
    QCOMPARE(OpenError(databases_.file("no-such-folder/h.sqlite3")).kind(),
             HistoryErrorKind::Unavailable);
  }

  // The default place: a private folder, a private file, in WAL mode, reopened as it is.
  void defaultFileIsPrivateAndInWalMode() {
    if (!Sqlite()) QSKIP("the default database is a file");
    const std::string data = databases_.file("xdg-data");
    QCOMPARE(::setenv("XDG_DATA_HOME", data.c_str(), 1), 0);
    {
      auto store = OpenHistoryStore("");
      QCOMPARE(store->location(), data + "/uvq/history.sqlite3");
      store_checks::Record(*store, Row("a", "0100", "127.0.0.61", "reset", 1), "ok");
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

  // Passwords from a URL, a "key=value" setting or PGPASSFILE open the database; no message or
  // location shows one, and a "key=value" setting never becomes a file.
  void passwordsAreUsedAndNeverShown() {
    if (Sqlite()) QSKIP("a server's passwords");
    databases_.newDb();
    const std::string name = databases_.lastName();
    // The one role the test server asks a password of.
    QVERIFY(databases_.sql("postgres",
                           "DO $$ BEGIN CREATE ROLE uvq_secret LOGIN PASSWORD 'Pa:ss@w/rd%1'; "
                           "EXCEPTION WHEN duplicate_object THEN NULL; END $$;\nALTER DATABASE " +
                               name + " OWNER TO uvq_secret;"));
    const std::string host = "@/" + name + "?host=" + databases_.pgFolder();
    const std::string user = "postgresql://uvq_secret";
    {
      auto store = OpenHistoryStore(user + ":Pa%3Ass%40w%2Frd%251" + host);
      QCOMPARE(store->location(), user + ":***" + host);
      store_checks::Record(*store, Row("with password", "0100", "127.0.0.95", "reset", 1), "ok");
    }
    const HistoryError wrong = OpenError(user + ":Wr0ngPassw0rd" + host);
    QCOMPARE(wrong.kind(), HistoryErrorKind::Unavailable);
    QVERIFY2(std::string(wrong.what()).find("Wr0ngPassw0rd") == std::string::npos, wrong.what());
    QVERIFY2(std::string(wrong.what()).find("password authentication failed") != std::string::npos,
             wrong.what());

    // libpq's own form, the password quoted with a space in it.
    const std::string keyValue = "host=" + databases_.pgFolder() + " dbname=" + name +
                                 " user=uvq_secret password='Wr0ng Pass'";
    const QString cwd = QDir::currentPath();
    const HistoryError keyed = OpenError(keyValue);
    QCOMPARE(keyed.kind(), HistoryErrorKind::Unavailable);
    QVERIFY2(std::string(keyed.what()).find("Wr0ng") == std::string::npos, keyed.what());
    QVERIFY2(std::string(keyed.what()).find("password=***") != std::string::npos, keyed.what());
    QVERIFY2(std::string(keyed.what()).find("password authentication failed") != std::string::npos,
             keyed.what());
    QVERIFY(!QFile::exists(cwd + "/" + QString::fromStdString(keyValue)));
    {
      auto store = OpenHistoryStore("host=" + databases_.pgFolder() + " dbname=" + name +
                                    " user=uvq_secret password='Pa:ss@w/rd%1'");
      QCOMPARE(store->location(), "host=" + databases_.pgFolder() + " dbname=" + name +
                                      " user=uvq_secret password=***");
      QCOMPARE(store->query({}).size(), size_t{1});
    }

    const std::string passFile = databases_.file("pgpass");
    std::ofstream(passFile) << "*:*:*:uvq_secret:Pa\\:ss@w/rd%1\n";
    QFile::setPermissions(QString::fromStdString(passFile), QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(::setenv("PGPASSFILE", passFile.c_str(), 1), 0);
    auto store = OpenHistoryStore(user + host);
    ::unsetenv("PGPASSFILE");
    QCOMPARE(store_checks::Names(store->query({})), store_checks::Names_({"with password"}));
  }

  // The server stops mid-run: writes go to the spool, the store connects again once it is back,
  // and the next process's flush moves the spooled rows.
  void stoppedServerSpoolsAndALaterFlushMovesTheRows() {
    if (Sqlite()) QSKIP("a server's case");
    PgServer server;  // its own: the shared one is not stopped
    QVERIFY2(server.available(), server.problem().c_str());
    QVERIFY(server.createDatabase("stops"));
    const std::string url = server.url("stops");
    const std::string spoolPath = databases_.file("pg.spool");
    SpoolingHistoryStore store(OpenHistoryStore(uvq::store::OpenOwnDatabase(url)), spoolPath);
    OperationRow a = Row("a", "0100", "127.0.0.96", "program", 1000);
    a.id = store.begin(a);
    QVERIFY(a.id > 0);

    QVERIFY(server.stop());
    a.outcome = "ok";
    a.endedAt = 2000;
    store.complete(a);
    OperationRow b = Row("b", "0101", "127.0.0.97", "program", 3000);
    b.id = store.begin(b);
    QVERIFY(b.id < 0);
    QVERIFY(store.takeSpoolNotice().has_value());
    QCOMPARE(store.spooledCount(), size_t{2});
    try {
      store.query({});
      QFAIL("a query answered without a server");
    } catch (const HistoryError& error) {
      QCOMPARE(error.kind(), HistoryErrorKind::Unavailable);
    }
    QVERIFY(server.start());

    store_checks::Record(store, Row("c", "0102", "127.0.0.98", "reset", 4000), "ok");
    SpoolingHistoryStore next(OpenHistoryStore(uvq::store::OpenOwnDatabase(url)), spoolPath);
    QCOMPARE(next.flush(), size_t{2});
    const auto rows = next.query({});
    QCOMPARE(store_checks::Names(rows), store_checks::Names_({"c", "b", "a"}));
    QCOMPARE(rows[2].outcome, std::string("ok"));
    QCOMPARE(rows[2].id, a.id);
    QCOMPARE(rows[1].outcome, std::string());
    QCOMPARE(next.flush(), size_t{0});

    // A restart between two writes costs no spooled row: the dropped connection is made again.
    QVERIFY(server.stop());
    QVERIFY(server.start());
    store_checks::Record(next, Row("d", "0103", "127.0.0.99", "reset", 5000), "ok");
    QCOMPARE(next.spooledCount(), size_t{0});
    QCOMPARE(next.query({.limit = 1}).at(0).detail, std::string("d"));
  }
};

QTEST_GUILESS_MAIN(HistoryStoreTest)
#include "HistoryStoreTest.moc"
