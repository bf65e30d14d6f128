// SPDX-License-Identifier: Apache-2.0
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "PgServer.h"
#include "StoreChecks.h"
#include "store/db/HistorySchema.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/PostgresHistoryStore.h"

using namespace uvq::history;
using store_checks::Row;

// The same checks as on SQLite, on a real server this suite starts (and removes at the end);
// each case has a database of its own.
class HistoryPostgresTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PgServer> server_;
  QTemporaryDir scratch_;
  int counter_ = 0;

  // A new, empty database; its URL.
  std::string NewDatabase() {
    const std::string name = "t" + std::to_string(++counter_);
    if (!server_->createDatabase(name)) return {};
    return server_->url(name);
  }

  HistoryError OpenError(const std::string& url) {
    try {
      PostgresHistoryStore store(url);
    } catch (const HistoryError& error) {
      return error;
    }
    return HistoryError(HistoryErrorKind::Setting, "opened");
  }

 private slots:
  void initTestCase() {
    QVERIFY(scratch_.isValid());
    server_ = std::make_unique<PgServer>();
    QVERIFY2(server_->available(), server_->problem().c_str());
  }
  void cleanupTestCase() { server_.reset(); }

  void recordedRowReadsBackWhole() {
    PostgresHistoryStore store(NewDatabase());
    store_checks::RecordedRowReadsBackWhole(store);
  }
  void rowNeverCompletedHasNoOutcome() {
    PostgresHistoryStore store(NewDatabase());
    store_checks::RowNeverCompletedHasNoOutcome(store);
  }
  void eachFilterSelectsItsRows() {
    PostgresHistoryStore store(NewDatabase());
    store_checks::EachFilterSelectsItsRows(store);
  }
  void unitsShowLatestStateAndLastGoodImage() {
    PostgresHistoryStore store(NewDatabase());
    store_checks::UnitsShowLatestStateAndLastGoodImage(store);
  }
  void writesOfOneKeyMakeOneRowInAnyOrder() {
    PostgresHistoryStore store(NewDatabase());
    store_checks::WritesOfOneKeyMakeOneRowInAnyOrder(store);
  }

  void schemaVersionsAreKeptAndChecked() {
    // Older: the first version's table and version row, upgraded in place.
    const std::string older = NewDatabase();
    const std::string olderName = "t" + std::to_string(counter_);
    std::string sql;
    for (const auto& statement : SchemaStep(1, Dialect::Postgres)) sql += statement + ";\n";
    sql +=
        "INSERT INTO operations(started_at, ended_at, unit_id, operation, outcome, detail) "
        "VALUES (1000, 1100, '0100', 'reset', 'ok', 'old');\n"
        "CREATE TABLE schema_version (application TEXT PRIMARY KEY, version INTEGER NOT NULL);\n"
        "INSERT INTO schema_version VALUES ('uvq-history', 1);\n";
    QVERIFY(server_->sql(olderName, sql));
    {
      PostgresHistoryStore store(older);
      const auto rows = store.query({});
      QCOMPARE(store_checks::Names(rows), store_checks::Names_({"old"}));
      QVERIFY(!rows[0].key.empty());
      QCOMPARE(store.units({}).at(0).lastOperation, std::string("reset"));
    }
    // Newer: refused, both versions named.
    QVERIFY(server_->sql(olderName, "UPDATE schema_version SET version = 9;"));
    HistoryError newer = OpenError(older);
    QCOMPARE(newer.kind(), HistoryErrorKind::NewerSchema);
    QVERIFY2(std::string(newer.what()).find("version 9") != std::string::npos, newer.what());
    QVERIFY2(std::string(newer.what()).find(std::to_string(kSchemaVersion)) != std::string::npos,
             newer.what());
    // Another program's tables of the same name: refused, left alone.
    const std::string foreign = NewDatabase();
    QVERIFY(server_->sql("t" + std::to_string(counter_), "CREATE TABLE operations (x INTEGER);"));
    QCOMPARE(OpenError(foreign).kind(), HistoryErrorKind::NotAHistory);
  }

  void eightProcessesLoseNoRow() {
    const std::string url = NewDatabase();
    { PostgresHistoryStore created(url); }
    std::vector<std::unique_ptr<QProcess>> writers;
    const QString writer = qEnvironmentVariable("UVQ_BUILD_DIR") + "/uvq-test-history-writer";
    for (int i = 0; i < 8; ++i) {
      writers.push_back(std::make_unique<QProcess>());
      writers.back()->start(writer,
                            {QString::fromStdString(url), "rows", "25", QString("p%1").arg(i)});
    }
    for (auto& process : writers) {
      QVERIFY(process->waitForFinished(120000));
      QVERIFY2(process->exitCode() == 0, process->readAllStandardError().constData());
    }
    PostgresHistoryStore store(url);
    const auto rows = store.query({.limit = 0});
    QCOMPARE(rows.size(), size_t{200});
    std::set<int64_t> ids;
    for (const auto& row : rows) ids.insert(row.id);
    QCOMPARE(ids.size(), size_t{200});
  }

  // Passwords from the URL or PGPASSFILE open the database; no message or location shows one.
  void passwordsAreUsedAndNeverShown() {
    QVERIFY(server_->sql("postgres",
                         "CREATE ROLE uvq_secret LOGIN PASSWORD 'Pa:ss@w/rd%1';"
                         "CREATE DATABASE secretdb OWNER uvq_secret;"));
    const std::string host = "@/secretdb?host=" + server_->folder();
    const std::string good = "postgresql://uvq_secret:Pa%3Ass%40w%2Frd%251" + host;
    {
      auto store = OpenHistoryStore(good);
      QCOMPARE(store->location(), "postgresql://uvq_secret:***" + host);
      store_checks::Record(*store, Row("with password", "0100", "127.0.0.95", "reset", 1), "ok");
    }
    HistoryError wrong = OpenError("postgresql://uvq_secret:Wr0ngPassw0rd" + host);
    QCOMPARE(wrong.kind(), HistoryErrorKind::Unavailable);
    const std::string message = wrong.what();
    QVERIFY2(message.find("Wr0ngPassw0rd") == std::string::npos, message.c_str());
    QVERIFY2(message.find("password authentication failed") != std::string::npos, message.c_str());

    const std::string passFile = scratch_.filePath("pgpass").toStdString();
    std::ofstream(passFile) << "*:*:*:uvq_secret:Pa\\:ss@w/rd%1\n";
    QFile::setPermissions(QString::fromStdString(passFile), QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(::setenv("PGPASSFILE", passFile.c_str(), 1), 0);
    auto store = OpenHistoryStore("postgresql://uvq_secret" + host);
    ::unsetenv("PGPASSFILE");
    QCOMPARE(store_checks::Names(store->query({})), store_checks::Names_({"with password"}));
  }

  // The server stops mid-run: writes go to the spool, the store connects again once it is back,
  // and the next process's flush moves the spooled rows.
  void stoppedServerSpoolsAndALaterFlushMovesTheRows() {
    const std::string url = NewDatabase();
    const std::string spoolPath = scratch_.filePath("pg.spool").toStdString();
    SpoolingHistoryStore store(std::make_unique<PostgresHistoryStore>(url), spoolPath);
    OperationRow a = Row("a", "0100", "127.0.0.96", "program", 1000);
    a.id = store.begin(a);
    QVERIFY(a.id > 0);

    QVERIFY(server_->stop());
    a.outcome = "ok";
    a.endedAt = 2000;
    store.complete(a);
    OperationRow b = Row("b", "0101", "127.0.0.97", "program", 3000);
    b.id = store.begin(b);
    QVERIFY(b.id < 0);
    const auto notice = store.takeSpoolNotice();
    QVERIFY(notice.has_value());
    QCOMPARE(store.spooledCount(), size_t{2});
    try {
      store.query({});
      QFAIL("a query answered without a server");
    } catch (const HistoryError& error) {
      QCOMPARE(error.kind(), HistoryErrorKind::Unavailable);
    }
    QVERIFY(server_->start());

    store_checks::Record(store, Row("c", "0102", "127.0.0.98", "reset", 4000), "ok");
    SpoolingHistoryStore next(std::make_unique<PostgresHistoryStore>(url), spoolPath);
    QCOMPARE(next.flush(), size_t{2});
    const auto rows = next.query({});
    QCOMPARE(store_checks::Names(rows), store_checks::Names_({"c", "b", "a"}));
    QCOMPARE(rows[2].outcome, std::string("ok"));
    QCOMPARE(rows[2].id, a.id);
    QCOMPARE(rows[1].outcome, std::string());
    QCOMPARE(next.flush(), size_t{0});

    // A restart between two writes costs no spooled row: the dropped connection is made again.
    QVERIFY(server_->stop());
    QVERIFY(server_->start());
    store_checks::Record(next, Row("d", "0103", "127.0.0.99", "reset", 5000), "ok");
    QCOMPARE(next.spooledCount(), size_t{0});
    QCOMPARE(next.query({.limit = 1}).at(0).detail, std::string("d"));
  }
};

QTEST_GUILESS_MAIN(HistoryPostgresTest)
#include "HistoryPostgresTest.moc"
