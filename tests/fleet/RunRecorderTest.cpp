// SPDX-License-Identifier: Apache-2.0
// The rows a command-line run records, on their own: results handed in by the test, the history
// in memory behind the spooling store, the spool in a temporary folder.
#include <sqlite3.h>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "HistoryRowsInMemory.h"
#include "fleet/RunRecorder.h"
#include "store/db/Database.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"

using namespace uvq;
using namespace uvq::fleet;

namespace {

ResolvedTarget At(const std::string& address, std::optional<std::string> unit = {}) {
  ResolvedTarget target;
  target.text = target.addressText = address;
  ::inet_pton(AF_INET, address.c_str(), &target.address);
  target.unitId = std::move(unit);
  return target;
}

struct Notices final : RecorderEvents {
  std::vector<std::string> spoolNotices;
  std::vector<std::string> problems;
  void spooled(const std::string& notice) override { spoolNotices.push_back(notice); }
  void historyProblem(const std::string& problem) override { problems.push_back(problem); }
};

// A recorder on an in-memory history; `spoolPath` empty: a spool in the test's own folder.
struct Recorded {
  QTemporaryDir dir;
  test::HistoryRowsInMemory* rows = nullptr;
  Notices notices;
  std::unique_ptr<RunRecorder> recorder;
  explicit Recorded(std::string spoolPath = {}) {
    auto memory = std::make_unique<test::HistoryRowsInMemory>();
    rows = memory.get();
    if (spoolPath.empty()) spoolPath = dir.filePath("spool").toStdString();
    recorder = std::make_unique<RunRecorder>(
        std::make_unique<history::SpoolingHistoryStore>(std::move(memory), spoolPath), "jig-1",
        "op");
    recorder->setEvents(&notices);
  }
};

jobs::JobPlan PlanOf(jobs::JobKind kind) {
  jobs::JobPlan plan;
  plan.kind = kind;
  return plan;
}

SessionResult Failed(jobs::JobOutcome outcome, std::string unit, uint16_t status) {
  SessionResult result;
  result.outcome = outcome;
  result.unit = std::move(unit);
  result.finalStatus = status;
  result.records = 12;
  result.resends = 3;
  result.refusedRecords = 1;
  result.detail = "record 12 refused";
  result.reportedAddress = "127.0.72.1";
  return result;
}

}  // namespace

class RunRecorderTest : public QObject {
  Q_OBJECT
 private slots:
  // A program run with a live reboot: both rows begun before anything is sent, named again
  // when the unit is chosen (as begun, so a kill leaves them abandoned with their unit), and
  // ended with the outcome's identifier, the flags in words and the figures on the program row.
  void programRowsAreBegunNamedAndEndedAsOneRowEach() {
    Recorded r;
    jobs::JobPlan plan = PlanOf(jobs::JobKind::Program);
    plan.accessCode = "1234";
    r.recorder->begin({At("127.0.72.1"), At("127.0.72.2", "0102")}, plan,
                      {"/images/fw.cry", 4800, "ab12"});
    QCOMPARE(r.rows->begun.size(), size_t(4));
    const history::OperationRow& reboot = r.rows->begun[0];
    const history::OperationRow& program = r.rows->begun[1];
    QCOMPARE(reboot.operation, std::string("live-reboot"));
    QVERIFY(reboot.imagePath.empty());
    QCOMPARE(program.operation, std::string("program"));
    QCOMPARE(program.imageSha256, std::string("ab12"));
    QCOMPARE(program.frontEnd, std::string("cli"));
    QCOMPARE(program.station, std::string("jig-1"));
    QVERIFY(program.unitId.empty());
    QCOMPARE(r.rows->begun[3].unitId, std::string("0102"));
    QVERIFY(reboot.key != program.key);

    r.recorder->chosen(0, "0101");
    QCOMPARE(r.rows->completed.size(), size_t(2));
    for (const history::OperationRow& row : r.rows->completed) {
      QCOMPARE(row.unitId, std::string("0101"));
      QVERIFY(row.outcome.empty());  // still begun
      QVERIFY(!row.endedAt);
    }
    r.recorder->chosen(0, "0101");  // the same unit again: nothing more written
    QCOMPARE(r.rows->completed.size(), size_t(2));

    r.recorder->ended(0, Failed(jobs::JobOutcome::UnitError, "0101", 0x4000));
    r.recorder->ended(0, Failed(jobs::JobOutcome::Ok, "0101", 0));  // ended once only
    QCOMPARE(r.rows->completed.size(), size_t(4));
    const history::OperationRow& rebootEnd = r.rows->completed[2];
    const history::OperationRow& programEnd = r.rows->completed[3];
    QCOMPARE(rebootEnd.key, reboot.key);
    QCOMPARE(programEnd.key, program.key);
    QCOMPARE(programEnd.outcome, std::string("unit_error"));
    QCOMPARE(programEnd.finalFlags, std::string("loader_mode"));
    QCOMPARE(programEnd.records, int64_t(12));
    QCOMPARE(programEnd.resends, int64_t(3));
    QCOMPARE(programEnd.refusedRecords, int64_t(1));
    QCOMPARE(programEnd.detail, std::string("record 12 refused"));
    QVERIFY(programEnd.endedAt);
    QCOMPARE(rebootEnd.outcome, std::string("unit_error"));
    QCOMPARE(rebootEnd.records, int64_t(0));  // the request carries no records
    QVERIFY(r.recorder->unrecorded().empty());
    QVERIFY(r.notices.problems.empty());
  }

  // A unit re-addressed and checked reports its new address; one that refused keeps what it
  // reported.
  void setIpReportsTheNewAddressOnlyWhenItWorked() {
    Recorded r;
    jobs::JobPlan plan = PlanOf(jobs::JobKind::SetIp);
    plan.newAddress = protocol::Ipv4Bytes{127, 0, 72, 9};
    r.recorder->begin({At("127.0.72.3"), At("127.0.72.4")}, plan, {});
    SessionResult ok;
    ok.unit = "0103";
    ok.reportedAddress = "127.0.72.3";
    r.recorder->ended(0, ok);
    r.recorder->ended(1, Failed(jobs::JobOutcome::NoAnswer, "0104", 0));
    QCOMPARE(r.rows->completed.size(), size_t(2));
    QCOMPARE(r.rows->completed[0].reportedAddress, std::string("127.0.72.9"));
    QCOMPARE(r.rows->completed[0].outcome, std::string("ok"));
    QCOMPARE(r.rows->completed[1].reportedAddress, std::string("127.0.72.1"));
    QCOMPARE(r.rows->completed[1].outcome, std::string("no_answer"));
  }

  // A locate changes nothing: no row before the run, one sighting per unit that answered.
  void aLocateWritesOneSightingPerUnitThatAnswered() {
    Recorded r;
    r.recorder->begin({At("127.0.72.5")}, PlanOf(jobs::JobKind::Locate), {});
    QVERIFY(r.rows->begun.empty());
    SessionResult result;
    result.units = {{"0105", "127.0.72.5", 0x4000}, {"0106", "127.0.72.5", 0}};
    r.recorder->ended(0, result);
    QCOMPARE(r.rows->completed.size(), size_t(2));
    QCOMPARE(r.rows->completed[0].operation, std::string("locate"));
    QCOMPARE(r.rows->completed[0].unitId, std::string("0105"));
    QCOMPARE(r.rows->completed[0].outcome, std::string("ok"));
    QCOMPARE(r.rows->completed[0].finalFlags, std::string("loader_mode"));
    QCOMPARE(r.rows->completed[1].unitId, std::string("0106"));
    QCOMPARE(r.rows->completed[1].key, r.rows->begun[1].key);  // begun and completed: one row
  }

  // The database gone: every row goes to the spool, said once, and nothing counts as lost.
  void aDatabaseGoneSpoolsTheRowsAndSaysSoOnce() {
    Recorded r;
    r.rows->down = true;
    r.recorder->begin({At("127.0.72.6"), At("127.0.72.7")}, PlanOf(jobs::JobKind::Erase), {});
    r.recorder->chosen(0, "0106");
    r.recorder->ended(0, Failed(jobs::JobOutcome::Ok, "0106", 0));
    r.recorder->ended(1, Failed(jobs::JobOutcome::NoAnswer, "", 0));
    QCOMPARE(r.notices.spoolNotices.size(), size_t(1));
    QVERIFY(r.notices.problems.empty());
    QVERIFY(r.recorder->unrecorded().empty());
    QVERIFY(r.recorder->store()->spooledCount() >= 4);  // two begun, two ended (and a naming)
  }

  // Neither the database nor the spool: the problem is said once, and the targets whose result
  // was lost are named with their unit.
  // A run whose database another process holds locked goes on: each row waits briefly only,
  // then goes to the spool, and reaches the database, once, when the spool is flushed later.
  void aLockedDatabaseSpoolsTheRowsAfterABriefWait() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("history.sqlite3").toStdString();
    const auto connection = store::OpenOwnDatabase(path);
    auto spooling = std::make_unique<history::SpoolingHistoryStore>(
        history::OpenHistoryStore(connection), dir.filePath("spool").toStdString());
    history::SpoolingHistoryStore& rows = *spooling;
    RunRecorder recorder(std::move(spooling), "jig-1", "op");
    QCOMPARE(connection->lockWaitMs(), store::kLoopLockWaitMs);
    recorder.begin({At("127.0.72.20", "0120")}, PlanOf(jobs::JobKind::Reset), {});
    sqlite3* locker = nullptr;
    QCOMPARE(sqlite3_open(path.c_str(), &locker), SQLITE_OK);
    QCOMPARE(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    recorder.ended(0, Failed(jobs::JobOutcome::Ok, "0120", 0));
    QVERIFY(recorder.unrecorded().empty());
    QCOMPARE(rows.spooledCount(), size_t{1});
    QCOMPARE(sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(locker);
    QCOMPARE(rows.flush(), size_t{1});
    const auto written = rows.query({});
    QCOMPARE(written.size(), size_t{1});
    QCOMPARE(written[0].outcome, std::string("ok"));
  }

  void rowsNeitherStoreTookAreNamed() {
    QTemporaryDir dir;
    const std::string notADirectory = dir.filePath("file").toStdString();
    QVERIFY(QFile(QString::fromStdString(notADirectory)).open(QIODevice::WriteOnly));
    Recorded r(notADirectory + "/spool");
    r.rows->down = true;
    r.recorder->begin({At("127.0.72.8", "0108"), At("127.0.72.9")}, PlanOf(jobs::JobKind::Reset),
                      {});
    r.recorder->ended(0, Failed(jobs::JobOutcome::Ok, "0108", 0));
    r.recorder->ended(1, Failed(jobs::JobOutcome::Ok, "0109", 0));
    QCOMPARE(r.notices.problems.size(), size_t(1));
    const std::vector<std::string> lost = r.recorder->unrecorded();
    QCOMPARE(lost.size(), size_t(2));
    QCOMPARE(lost[0], std::string("127.0.72.8 (unit 0108)"));
  }

  // Without recording the recorder still times each target for the run log.
  void withoutRecordingOnlyTimesAreKept() {
    RunRecorder recorder("jig-2", "op");
    recorder.begin({At("127.0.72.10")}, PlanOf(jobs::JobKind::Program), {});
    recorder.ended(0, SessionResult{});
    RunLogEntry entry;
    recorder.fillLogTimes(0, entry);
    QCOMPARE(entry.station, std::string("jig-2"));
    QVERIFY(!entry.started.empty());
    QVERIFY(entry.time >= entry.started);  // ISO 8601 UTC sorts as it reads
    QVERIFY(entry.durationSeconds && *entry.durationSeconds >= 0);
    QVERIFY(recorder.unrecorded().empty());
  }
};

QTEST_GUILESS_MAIN(RunRecorderTest)
#include "RunRecorderTest.moc"
