// SPDX-License-Identifier: Apache-2.0
// A plain run from its request to its typed result, without the command line: what it refuses
// before anything is sent, and a run on silent loopback peers of this suite (127.0.74.x) that
// must leave every target's row in the history and its line in the run log. Scratch files live
// in a temporary folder of the case.
#include <QtTest>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "fleet/PlainRun.h"
#include "store/history/OpenHistoryStore.h"

using namespace uvq;
using namespace uvq::fleet;

namespace {

// What the run told its front end.
struct Heard final : PlainRunEvents {
  std::vector<std::string> notices;
  size_t started = 0;  // sessions handed to starting(); 0 when it never came
  bool startingCalled = false;
  std::vector<std::string> chosen;
  std::vector<std::string> endedTargets;
  std::vector<std::string> problems;
  bool batchEndedCalled = false;

  void targetNotice(const std::string& notice) override { notices.push_back(notice); }
  void starting(const std::vector<std::unique_ptr<Session>>& sessions) override {
    startingCalled = true;
    started = sessions.size();
  }
  void batchEnded() override { batchEndedCalled = true; }
  void logLine(std::string_view, std::string_view) override {}
  void unitChosen(const Session&, const std::string& unit) override { chosen.push_back(unit); }
  void ended(const Session& session) override { endedTargets.push_back(session.target()); }
  void progress(TimePoint) override {}
  void spooled(const std::string& notice) override { problems.push_back(notice); }
  void historyProblem(const std::string& problem) override { problems.push_back(problem); }
};

PlainRunRequest Locate(std::vector<std::string> addresses) {
  PlainRunRequest request;
  request.plan.kind = jobs::JobKind::Locate;
  request.plan.waitMs = 30;
  request.recording.recording = false;
  for (std::string& address : addresses) request.targets.push_back({std::move(address), {}});
  return request;
}

std::string Path(const QTemporaryDir& dir, const char* name) {
  return dir.filePath(name).toStdString();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

class PlainRunTest : public QObject {
  Q_OBJECT

 private slots:
  // Every refusal comes before the first session is made: nothing sent, nothing opened after
  // the check that failed (the run log stays unmade when the history cannot be opened).
  void refusesBeforeAnythingIsSent_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("refusal");
    QTest::newRow("target given twice") << 0 << int(PlainRunRefusal::Usage);
    QTest::newRow("scan beside --target") << 1 << int(PlainRunRefusal::Usage);
    QTest::newRow("scan range backwards") << 2 << int(PlainRunRefusal::Usage);
    QTest::newRow("image missing") << 3 << int(PlainRunRefusal::File);
    QTest::newRow("history not a database") << 4 << int(PlainRunRefusal::History);
    QTest::newRow("run log in no folder") << 5 << int(PlainRunRefusal::File);
  }
  void refusesBeforeAnythingIsSent() {
    QFETCH(int, kind);
    QFETCH(int, refusal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PlainRunRequest request = Locate({"127.0.74.1"});
    request.logFile = Path(dir, "run.log");
    switch (kind) {
      case 0:
        request.targets.push_back({"127.0.74.1", {}});
        break;
      case 1:
        request.plan.kind = jobs::JobKind::Scan;
        request.scanRange = "127.0.74.1-127.0.74.2";
        break;
      case 2:
        request.targets.clear();
        request.plan.kind = jobs::JobKind::Scan;
        request.scanRange = "127.0.74.9-127.0.74.2";
        break;
      case 3:
        request.plan.kind = jobs::JobKind::Program;
        request.imageFile = Path(dir, "missing.cry");
        break;
      case 4:
        Write(Path(dir, "history"), "not a database at all, only text\n");
        request.recording = {true, Path(dir, "history"), "bench"};
        break;
      case 5:
        request.logFile = Path(dir, "no/such/folder/run.log");
        break;
    }
    Heard heard;
    const PlainRunResult result = RunPlainBatch(request, heard);
    QCOMPARE(int(result.refusal), refusal);
    QVERIFY(!result.problem.empty());
    QVERIFY(result.targets.empty());
    QVERIFY(!heard.startingCalled);
    if (kind != 5) QVERIFY(!QFile::exists(QString::fromStdString(request.logFile)));
  }

  // A run on two silent units: each target's result in the order given, a row per target in
  // the history completed with its outcome, and a line per target in the run log.
  void recordsAndLogsEveryTarget() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LoopbackPeer first("127.0.74.11"), second("127.0.74.12");
    PlainRunRequest request = Locate({"127.0.74.11", "127.0.74.12"});
    // A reset changes a unit, so each target has its row; two short looks for a unit.
    request.plan.kind = jobs::JobKind::Reset;
    request.plan.findAttempts = 2;
    request.plan.timing.captureIntervalMs = 20;
    request.recording = {true, Path(dir, "history.sqlite3"), "bench"};
    request.logFile = Path(dir, "run.log");
    Heard heard;
    const PlainRunResult result = RunPlainBatch(request, heard);

    QCOMPARE(int(result.refusal), int(PlainRunRefusal::None));
    QCOMPARE(heard.started, size_t{2});
    QVERIFY(heard.batchEndedCalled);
    QCOMPARE(heard.endedTargets, (std::vector<std::string>{"127.0.74.11", "127.0.74.12"}));
    QCOMPARE(result.targets.size(), size_t{2});
    QCOMPARE(result.targets[0].name, std::string("127.0.74.11"));
    QCOMPARE(result.targets[1].target.text, std::string("127.0.74.12"));
    for (const PlainTargetResult& t : result.targets)
      QCOMPARE(int(t.result.outcome), int(jobs::JobOutcome::NoAnswer));
    QCOMPARE(int(result.stoppedBy), int(StopCause::None));
    QVERIFY(result.unrecorded.empty());
    QVERIFY2(result.logProblem.empty(), result.logProblem.c_str());

    const auto store = history::OpenHistoryStore(request.recording.db);
    const std::vector<history::OperationRow> rows = store->query({});
    QCOMPARE(rows.size(), size_t{2});
    for (const history::OperationRow& row : rows) {
      QCOMPARE(row.operation, std::string("reset"));
      QCOMPARE(row.outcome, std::string("no_answer"));
      QVERIFY(row.endedAt.has_value());
      QCOMPARE(row.station, std::string("bench"));
    }
    const std::vector<std::string> log = Lines(request.logFile);
    QCOMPARE(log.size(), size_t{2});
    QVERIFY(log[0].find("127.0.74.11") != std::string::npos);
    QVERIFY(log[1].find("127.0.74.12") != std::string::npos);
    QVERIFY(log[1].find("no_answer") != std::string::npos);
  }

  // No target given: the settings file beside the program names it, and nothing is said.
  void targetFromTheSettingsFileBesideTheProgram() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LoopbackPeer unit("127.0.74.21");
    Write(Path(dir, "uvq.INI"), "[Net]\nAddress=127.0.74.21\n");
    PlainRunRequest request = Locate({});
    request.executable = Path(dir, "uvq");
    Heard heard;
    const PlainRunResult named = RunPlainBatch(request, heard);
    QCOMPARE(named.targets.size(), size_t{1});
    QCOMPARE(named.targets[0].name, std::string("127.0.74.21"));
    QVERIFY(heard.notices.empty());
  }

  // A stop asked before the run ends every session as interrupted, and the result says so.
  void stopEndsEverySession() {
    LoopbackPeer unit("127.0.74.31");
    PlainRunRequest request = Locate({"127.0.74.31"});
    request.plan.waitMs = 600000;  // only the stop can end it
    StopSource stop;
    stop.request(StopCause::Terminate);
    request.stop = &stop;
    Heard heard;
    const PlainRunResult result = RunPlainBatch(request, heard);
    QCOMPARE(int(result.stoppedBy), int(StopCause::Terminate));
    QCOMPARE(result.targets.size(), size_t{1});
    QCOMPARE(int(result.targets[0].result.outcome), int(jobs::JobOutcome::Interrupted));
  }
};

QTEST_GUILESS_MAIN(PlainRunTest)
#include "PlainRunTest.moc"
