// SPDX-License-Identifier: Apache-2.0
// The jig station from its setup to its typed result: every refusal comes before anything is
// sent, and a run against a scripted unit on this suite's loopback addresses (127.0.79.x) with
// a scratch history, stopped from the station's events.
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "UnitsOnTheirThread.h"
#include "fleet/JigStation.h"
#include "jobs/ScriptedUnits.h"
#include "store/history/OpenHistoryStore.h"

using namespace uvq;
using namespace uvq::fleet;

namespace {

constexpr size_t kRecords = 4;

// What the station said; `onEvent` may stop it. A case that never reaches its end stops at the
// guard and fails.
struct Heard final : JigStationEvents, SessionEvents {
  std::vector<JigStationStart> starts;
  std::vector<std::string> said;  // "skipped 0791", "ended 0791 ok"
  std::vector<std::string> problems;
  StopSource stop;
  std::function<void(Heard&)> onEvent;
  TimePoint guard = SteadyClock::now() + std::chrono::seconds(60);
  bool guardPassed = false;

  void say(std::string line) {
    said.push_back(std::move(line));
    if (onEvent) onEvent(*this);
  }
  void started(const JigStationStart& start) override { starts.push_back(start); }
  void unitSkipped(const std::string&, const std::string& unit) override { say("skipped " + unit); }
  void unitStarted(const std::string&, const std::string&) override {}
  void unitEnded(const std::string&, const std::string& unit, const SessionResult& result,
                 double) override {
    say("ended " + unit + " " + std::string(jobs::OutcomeIdentifier(result.outcome)));
  }
  void roundDone() override {
    if (SteadyClock::now() > guard) {
      guardPassed = true;
      stop.request(StopCause::Terminate);
    }
  }
  void spooled(const std::string& notice) override { problems.push_back(notice); }
  void historyProblem(const std::string& problem) override { problems.push_back(problem); }
  void logLine(std::string_view, std::string_view) override {}
  void ended(const Session&) override {}
};

std::string Path(const QTemporaryDir& dir, const char* name) {
  return dir.filePath(name).toStdString();
}

JigStationSetup Setup(const QTemporaryDir& dir, const std::string& range) {
  const std::string image = Path(dir, "fw.cry");
  std::ofstream(image, std::ios::binary) << std::string(kRecords * protocol::kRecordSize, 'Z');
  JigStationSetup setup;
  setup.image = image;
  setup.range = range;
  setup.askEveryMs = 100;
  setup.parallel = 4;
  setup.plan = test::ScriptedProgramPlan(kRecords);
  setup.recording = {true, Path(dir, "history.sqlite3"), "jig"};
  return setup;
}

// Runs the station until it says a line that starts with `stopAt`.
JigStationResult RunUntil(JigStationSetup setup, Heard& heard, const std::string& stopAt) {
  heard.onEvent = [stopAt](Heard& h) {
    if (h.said.back().starts_with(stopAt)) h.stop.request(StopCause::Interrupt);
  };
  setup.stop = &heard.stop;
  return RunJigStation(setup, heard, heard);
}

}  // namespace

class JigStationTest : public QObject {
  Q_OBJECT

 private slots:
  // Each refusal is typed, said in words, and comes before the station starts: nothing asked,
  // no history made when the refusal comes before it.
  void refusesBeforeAnythingIsSent_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("refusal");
    using Refusal = JigStationResult::Refusal;
    QTest::newRow("range backwards") << 0 << int(Refusal::BadRange);
    QTest::newRow("range not A-B") << 1 << int(Refusal::BadRange);
    QTest::newRow("range one too wide") << 2 << int(Refusal::TooWide);
    QTest::newRow("range where no unit can be") << 3 << int(Refusal::Unreachable);
    QTest::newRow("image missing") << 4 << int(Refusal::Image);
    QTest::newRow("history not a database") << 5 << int(Refusal::History);
  }
  void refusesBeforeAnythingIsSent() {
    QFETCH(int, kind);
    QFETCH(int, refusal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    JigStationSetup setup = Setup(dir, "127.0.79.1-127.0.79.2");
    switch (kind) {
      case 0:
        setup.range = "127.0.79.9-127.0.79.2";
        break;
      case 1:
        setup.range = "127.0.79.9";
        break;
      case 2:  // 4097 addresses
        setup.range = "127.0.80.0-127.0.96.0";
        break;
      case 3:
        setup.range = "224.0.0.1-224.0.0.2";
        break;
      case 4:
        setup.image = Path(dir, "missing.cry");
        break;
      case 5:
        std::ofstream(Path(dir, "history")) << "not a database at all, only text\n";
        setup.recording.db = Path(dir, "history");
        break;
    }
    Heard heard;
    const JigStationResult result = RunJigStation(setup, heard, heard);
    QCOMPARE(int(result.refusal), refusal);
    QVERIFY(!result.problem.empty());
    QVERIFY(heard.starts.empty());
    QVERIFY(heard.said.empty());
    if (kind != 5) QVERIFY(!QFile::exists(QString::fromStdString(setup.recording.db)));
  }

  // A run programs the unit plugged in and records it with the image's SHA-256; a run over a
  // history that says the unit at its address has the image starts knowing it and leaves it be.
  void aUnitIsProgrammedAndRecordedAndAKnownOneLeftBe() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const JigStationSetup setup = Setup(dir, "127.0.79.1-127.0.79.2");
    jobtest::ScriptedUnits site("127.0.79.1");
    site.imageRecords = kRecords;
    site.units = {jobtest::ScriptedUnit{.id = 0x0791}};
    test::UnitsOnTheirThread units(site);

    Heard first;
    const JigStationResult programmed = RunUntil(setup, first, "ended ");
    QVERIFY(!first.guardPassed);
    QCOMPARE(int(programmed.refusal), int(JigStationResult::Refusal::None));
    QCOMPARE(first.said, std::vector<std::string>{"ended 0791 ok"});
    QCOMPARE(programmed.ok, 1);
    QCOMPARE(programmed.failed, 0);
    QVERIFY(programmed.firstFailure == jobs::JobOutcome::Ok);
    QCOMPARE(programmed.stoppedBy, StopCause::Interrupt);
    QCOMPARE(first.starts.size(), size_t{1});
    const JigStationStart& start = first.starts.front();
    QCOMPARE(start.station, std::string("jig"));
    QCOMPARE(start.addresses, uint64_t{2});
    QCOMPARE(start.imageBytes, kRecords * protocol::kRecordSize);
    QVERIFY(start.recording);
    QCOMPARE(start.knownUnits, size_t{0});
    QCOMPARE(start.parallel, size_t{4});
    QCOMPARE(site.units[0].captures, 1);

    const auto history = history::OpenHistoryStore(setup.recording.db);
    history::HistoryFilter withImage;
    withImage.image = start.imageSha256;
    const std::vector<history::OperationRow> rows = history->query(withImage);
    QCOMPARE(rows.size(), size_t{1});
    QCOMPARE(rows[0].unitId, std::string("0791"));
    QCOMPARE(rows[0].outcome, std::string("ok"));

    // The unit as a station elsewhere recorded it at this address.
    history::OperationRow known = rows[0];
    known.reportedAddress = known.target = "127.0.79.1";
    known.id = history->begin(known);
    history->complete(known);

    Heard second;
    const JigStationResult again = RunUntil(setup, second, "skipped ");
    QVERIFY(!second.guardPassed);
    QCOMPARE(second.starts.at(0).knownUnits, size_t{1});
    QCOMPARE(second.said, std::vector<std::string>{"skipped 0791"});
    QCOMPARE(again.ok, 0);
    QCOMPARE(again.skipped, 1);
    QCOMPARE(site.units[0].captures, 1);
    QVERIFY(first.problems.empty() && second.problems.empty());
  }
};

QTEST_GUILESS_MAIN(JigStationTest)
#include "JigStationTest.moc"
