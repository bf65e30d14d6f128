// SPDX-License-Identifier: Apache-2.0
// Station mode end to end: real uvq against uvq-sim units that appear after the station started,
// are unplugged and replaced at the same address. The emulators confirm each image they receive
// (--expect: IMAGE OK), so "programmed once" is counted where it happens. Each test has its own
// 127.0.7x.y addresses, and waits on output lines, never on time.
#include <signal.h>

#include <QRegularExpression>
#include <QtTest>

#include "CliRunner.h"

using namespace clitest;

namespace {

QString Diagnostics(const Result& r) {
  return QString("exit %1\n--- stdout\n%2--- stderr\n%3").arg(r.exitCode).arg(r.out, r.err);
}

#define EXPECT_EXIT(result, code)                                           \
  do {                                                                      \
    const Result checked = (result);                                        \
    QVERIFY2(checked.exitCode == (code), qPrintable(Diagnostics(checked))); \
  } while (false)

QString Range(int third, int first, int last) {
  return QString("127.0.%1.%2-127.0.%1.%3").arg(third).arg(first).arg(last);
}

// "127.0.71.5 IMAGE OK" lines of a multi-address emulator, counted per address.
QHash<QString, int> ImagesConfirmed(Sim& sim) {
  QHash<QString, int> counts;
  static const QRegularExpression line(R"(^(\S+) IMAGE OK)", QRegularExpression::MultilineOption);
  auto it = line.globalMatch(sim.output());
  while (it.hasNext()) ++counts[it.next().captured(1)];
  return counts;
}

}  // namespace

class CliStationTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QProcessEnvironment env_;
  QString db_;

  QString path(const QString& name) const { return dir_.filePath(name); }
  QStringList withDb(QStringList args) const { return args << "--db" << db_; }
  Result uvq(const QStringList& args, int timeoutMs = 120000) {
    return RunUvq(withDb(args), timeoutMs, env_);
  }
  std::unique_ptr<Uvq> start(const QStringList& args) {
    return std::make_unique<Uvq>(withDb(args), env_);
  }
  static Result stop(Uvq& station, int signal = SIGINT) {
    ::kill(static_cast<pid_t>(station.processId()), signal);
    return station.finish();
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(MakeImage(dir_, "a", 2400));
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("XDG_DATA_HOME", path("data"));
    env_.remove("UVQ_DB");
  }
  void init() { db_ = path(QString(QTest::currentTestFunction()) + ".sqlite3"); }

  // rollout run --watch: two units answer from the start, two only once their emulator is
  // started after the station said they are missing. All four get the image exactly once, the
  // missing ones leave one no_answer row each in the history (not one per ask), and the run
  // ends by itself once all are done.
  void watchProgramsUnitsThatAppearLater() {
    Sim early("127.0.71.1");
    QVERIFY(early.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(71, 1, 2)));
    EXPECT_EXIT(uvq({"rollout", "create", "late", path("a.cry"), "--range", Range(71, 1, 4)}), 0);
    auto station = start({"rollout", "run", "late", "--watch", "--ask-every-ms", "200",
                          "--parallel", "4", "--capture-interval-ms", "100"});
    QVERIFY(station->waitForOutput("[127.0.71.3] no unit answers yet", 60000));
    QVERIFY(station->waitForOutput("[127.0.71.4] no unit answers yet", 60000));
    QVERIFY(station->waitForOutput("[127.0.71.2] ok", 60000));
    Sim late("127.0.71.3");
    QVERIFY(late.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(71, 3, 4)));
    const Result done = station->finish(120000);
    EXPECT_EXIT(done, 0);
    QCOMPARE(done.out.count("no unit answers yet"), 2);
    const QHash<QString, int> first = ImagesConfirmed(early), second = ImagesConfirmed(late);
    QCOMPARE(first.value("127.0.71.1"), 1);
    QCOMPARE(first.value("127.0.71.2"), 1);
    QCOMPARE(second.value("127.0.71.3"), 1);
    QCOMPARE(second.value("127.0.71.4"), 1);
    const Result status = uvq({"rollout", "status", "late", "--json"});
    QVERIFY2(status.out.contains(R"("state":"done")"), qPrintable(status.out));
    const Result rows = uvq({"history", "--target", "127.0.71.3", "--limit", "0", "--json"});
    EXPECT_EXIT(rows, 0);
    QVERIFY2(
        rows.out.count(R"("outcome":"no_answer")") == 1 && rows.out.count(R"("outcome":"ok")") == 1,
        qPrintable(rows.out));
  }

  // Without --watch a unit that is not there fails as before (no answer), so a plain run
  // still ends.
  void withoutWatchAMissingUnitFails() {
    EXPECT_EXIT(uvq({"rollout", "create", "gone", path("a.cry"), "--target", "127.0.71.9"}), 0);
    const Result r =
        uvq({"rollout", "run", "gone", "--capture-attempts", "2", "--capture-interval-ms", "100"});
    QVERIFY2(r.exitCode != 0 && !r.out.contains("no unit answers yet"), qPrintable(Diagnostics(r)));
  }

  // The jig: a unit present at the start and one plugged in later are programmed; the later
  // one unplugged and another unit plugged into the same address is programmed too; the first
  // one plugged in again is not. SIGINT ends it with the summary and exit 0. A second station
  // run on the same history knows every unit it programmed.
  void stationProgramsEachUnitOnce() {
    const QString range = Range(72, 1, 3);
    Sim first("127.0.72.1");
    QVERIFY(first.start({"--quiet", "--loader-mode", "--id", "0101", "--expect", path("a.bin")}));
    const QStringList run{"station", path("a.cry"),           "--range", range, "--ask-every-ms",
                          "200",     "--capture-interval-ms", "100"};
    auto station = start(run);
    QVERIFY(station->waitForOutput("127.0.72.1 unit 0101: ok in", 60000));

    auto second = std::make_unique<Sim>("127.0.72.2");
    QVERIFY(second->start({"--quiet", "--loader-mode", "--id", "0201", "--expect", path("a.bin")}));
    QVERIFY(station->waitForOutput("127.0.72.2 unit 0201: ok in", 60000));
    second->kill();  // unplugged

    auto third = std::make_unique<Sim>("127.0.72.2");
    QVERIFY(third->start({"--quiet", "--loader-mode", "--id", "0202", "--expect", path("a.bin")}));
    QVERIFY(station->waitForOutput("127.0.72.2 unit 0202: ok in", 60000));
    QCOMPARE(third->count("IMAGE OK"), 1);
    third->kill();

    // The first unit of that place, plugged in again running its program: the history knows it.
    auto again = std::make_unique<Sim>("127.0.72.2");
    QVERIFY(again->start({"--quiet", "--id", "0201", "--expect", path("a.bin")}));
    QVERIFY(station->waitForOutput("127.0.72.2 unit 0201: has this image already", 60000));
    QCOMPARE(again->count("IMAGE OK"), 0);
    again->kill();

    // The same unit back without a valid program (left in loader mode): its own status word
    // outweighs the history, and it is programmed again.
    Sim erased("127.0.72.2");
    QVERIFY(erased.start({"--quiet", "--loader-mode", "--id", "0201", "--expect", path("a.bin")}));
    QVERIFY(station->waitForCount("127.0.72.2 unit 0201: ok in", 2, 60000));

    const Result stopped = stop(*station);
    EXPECT_EXIT(stopped, 0);
    QVERIFY2(stopped.out.contains("station stopped (SIGINT): 4 programmed, 0 failed"),
             qPrintable(Diagnostics(stopped)));
    QCOMPARE(stopped.out.count(": ok in"), 4);
    QCOMPARE(stopped.out.count("127.0.72.2 unit 0201: ok in"), 2);
    QCOMPARE(first.count("IMAGE OK"), 1);
    QCOMPARE(erased.count("IMAGE OK"), 1);

    // Another run: the history says what has the image.
    auto rerun = start(run);
    QVERIFY(rerun->waitForOutput("3 units of the range had it already", 60000));
    QVERIFY(rerun->waitForOutput("127.0.72.1 unit 0101: has this image already", 60000));
    QVERIFY(rerun->waitForOutput("127.0.72.2 unit 0201: has this image already", 60000));
    const Result ended = stop(*rerun, SIGTERM);
    EXPECT_EXIT(ended, 0);
    QVERIFY2(ended.out.contains("(SIGTERM): 0 programmed"), qPrintable(Diagnostics(ended)));
    QCOMPARE(first.count("IMAGE OK"), 1);
    QCOMPARE(erased.count("IMAGE OK"), 1);
  }

  // A batch flashed with one ID on three places of the jig: three units, each programmed once,
  // each carrying the image in the history; a second run knows all three.
  void unitsOfOneIdAtSeveralAddressesAreSeveralUnits() {
    const QString range = Range(75, 1, 3);
    Sim batch("127.0.75.1");
    QVERIFY(batch.start(
        {"--quiet", "--loader-mode", "--same-id", "--id", "0100", "--expect", path("a.bin")},
        range));
    const QStringList run{"station", path("a.cry"),           "--range", range, "--ask-every-ms",
                          "200",     "--capture-interval-ms", "100"};
    auto station = start(run);
    for (const char* address : {"127.0.75.1", "127.0.75.2", "127.0.75.3"})
      QVERIFY(station->waitForOutput(QString("%1 unit 0100: ok in").arg(address), 60000));
    EXPECT_EXIT(stop(*station), 0);

    const Result carrying = uvq({"history", "units", "--image", path("a.cry"), "--json"});
    EXPECT_EXIT(carrying, 0);
    QVERIFY2(carrying.out.count(R"("unit":"0100")") == 3, qPrintable(carrying.out));
    for (const char* address : {"127.0.75.1", "127.0.75.2", "127.0.75.3"})
      QVERIFY2(carrying.out.contains(QString(R"("address":"%1")").arg(address)),
               qPrintable(carrying.out));

    auto rerun = start(run);
    QVERIFY(rerun->waitForOutput("3 units of the range had it already", 60000));
    for (const char* address : {"127.0.75.1", "127.0.75.2", "127.0.75.3"})
      QVERIFY(rerun->waitForOutput(QString("%1 unit 0100: has this image already").arg(address),
                                   60000));
    const Result ended = stop(*rerun);
    QVERIFY2(ended.out.contains("0 programmed"), qPrintable(Diagnostics(ended)));
    const QHash<QString, int> confirmed = ImagesConfirmed(batch);
    for (const char* address : {"127.0.75.1", "127.0.75.2", "127.0.75.3"})
      QCOMPARE(confirmed.value(address), 1);
  }

  // A unit that fails is said with its detail and not tried again while it stays plugged in;
  // the others go on; the station ends with the failure's code. Without a history the station
  // says it remembers this run only; --json gives one event a line.
  void stationFailureAndNoHistory() {
    Sim faulty("127.0.73.1");
    QVERIFY(faulty.start({"--quiet", "--loader-mode", "--id", "0301", "--error-bits", "0x0840",
                          "--error-record", "3"}));
    const QStringList run{
        "station", path("a.cry"),           "--range", Range(73, 1, 2), "--ask-every-ms",
        "200",     "--capture-interval-ms", "100",     "--no-history"};
    auto station = start(run);
    QVERIFY(station->waitForOutput("127.0.73.1 unit 0301: failed (unit error)", 60000));
    Sim good("127.0.73.2");
    QVERIFY(good.start({"--quiet", "--loader-mode", "--id", "0302", "--expect", path("a.bin")}));
    QVERIFY(station->waitForOutput("127.0.73.2 unit 0302: ok in", 60000));
    const Result stopped = stop(*station);
    EXPECT_EXIT(stopped, 5);
    QVERIFY2(stopped.out.contains("no history: this station remembers only what it programs"),
             qPrintable(Diagnostics(stopped)));
    QCOMPARE(stopped.out.count("unit 0301: failed"), 1);
    QVERIFY2(stopped.out.contains("1 programmed, 1 failed"), qPrintable(Diagnostics(stopped)));

    auto json = start(QStringList(run) << "--json");
    QVERIFY(json->waitForOutput(R"("target":"127.0.73.2","event":"unit_done")", 60000));
    QVERIFY(json->waitForOutput(R"("target":"127.0.73.1","event":"unit_done")", 60000));
    const Result events = stop(*json);
    // The emulated fault hits one image per unit; whether it hits again is the emulator's.
    QVERIFY2(events.exitCode == 0 || events.exitCode == 5, qPrintable(Diagnostics(events)));
    for (const QString& line : events.outLines()) {
      QJsonParseError error{};
      QJsonDocument::fromJson(line.toUtf8(), &error);
      QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
    }
    QVERIFY2(events.out.contains(R"("event":"station_started")") &&
                 events.out.contains(R"("unit":"0302","outcome":"ok")") &&
                 events.out.contains(R"("event":"summary")"),
             qPrintable(events.out));
    QCOMPARE(good.count("IMAGE OK"), 2);  // no history: the second run programs it again
  }

  // Bad ranges and images, and options of the other mode, are refused before anything is sent.
  void refusals() {
    EXPECT_EXIT(uvq({"station", path("a.cry"), "--range", "127.0.74.9-127.0.74.1"}), 2);
    EXPECT_EXIT(uvq({"station", path("a.cry"), "--range", "127.0.0.0-127.0.255.255"}), 2);
    EXPECT_EXIT(uvq({"station", path("missing.cry"), "--range", Range(74, 1, 2)}), 3);
    EXPECT_EXIT(uvq({"station", path("a.cry")}), 2);
    EXPECT_EXIT(uvq({"station", "--range", Range(74, 1, 2)}), 2);  // no image
    // A station of every rollout takes no image and no jig range.
    EXPECT_EXIT(uvq({"station", "--rollouts", path("a.cry")}), 2);
    EXPECT_EXIT(uvq({"station", "--rollouts", "--range", Range(74, 1, 2)}), 2);
    EXPECT_EXIT(uvq({"station", "--rollouts", "--only-range", "127.0.74.9-127.0.74.1"}), 2);
    EXPECT_EXIT(uvq({"station", path("a.cry"), "--range", Range(74, 1, 2), "--only-range",
                     Range(74, 1, 2)}),
                2);
    // Where no unit can be, nothing is sent: multicast, 0.x.y.z, reserved, broadcast.
    const std::pair<const char*, const char*> unusable[] = {
        {"224.0.0.1-224.0.0.5", "multicast address 224.0.0.1"},
        {"0.0.0.0-0.0.0.4", "address 0.0.0.0"},
        {"239.255.255.254-240.0.0.2", "multicast address 239.255.255.254"},
        {"240.0.0.1-240.0.0.3", "reserved address 240.0.0.1"},
        {"255.255.255.255-255.255.255.255", "broadcast address 255.255.255.255"},
    };
    for (const auto& [range, named] : unusable) {
      const Result refused = uvq({"station", path("a.cry"), "--range", range});
      EXPECT_EXIT(refused, 2);
      QCOMPARE(refused.err, QString("uvq: station: --range: invalid range '%1': Refusing to send "
                                    "to %2\n")
                                .arg(range, named));
      QVERIFY(!refused.out.contains("addresses"));
    }
  }
};

QTEST_MAIN(CliStationTest)
#include "CliStationTest.moc"
