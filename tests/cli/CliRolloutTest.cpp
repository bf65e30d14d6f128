// SPDX-License-Identifier: Apache-2.0
// Rollouts end to end: real uvq stations against uvq-sim units (one emulator serving many
// addresses), the rollout's state in real SQLite files and on the suite's PostgreSQL server.
// Every unit's image is confirmed by the emulator (--expect: IMAGE OK per unit), so "programmed
// exactly once" is counted where it happens. Each test has its own 127.0.6x.y addresses.
#include <signal.h>

#include <QRegularExpression>
#include <QSet>
#include <QtTest>
#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "HookReceiver.h"
#include "PgServer.h"

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

// "127.0.61.5 IMAGE OK" lines of a multi-address emulator, counted per address.
QHash<QString, int> ImagesConfirmed(Sim& sim) {
  QHash<QString, int> counts;
  static const QRegularExpression line(R"(^(\S+) IMAGE OK)", QRegularExpression::MultilineOption);
  auto it = line.globalMatch(sim.output());
  while (it.hasNext()) ++counts[it.next().captured(1)];
  return counts;
}

// Units a station's plain output shows started and not ended: those in flight when it stopped.
QSet<QString> InFlight(const QString& out) {
  QSet<QString> started, ended;
  static const QRegularExpression line(R"(^\[([0-9.]+)\] (started|ok|failed|retry|interrupted))",
                                       QRegularExpression::MultilineOption);
  auto it = line.globalMatch(out);
  while (it.hasNext()) {
    const auto m = it.next();
    (m.captured(2) == "started" ? started : ended) << m.captured(1);
  }
  return started - ended;
}

// Units a station ended after its claim had run out (a renewal late on a loaded machine): the
// other station may have programmed them too, as the lease allows.
QSet<QString> ClaimsLost(const QString& out) {
  QSet<QString> units;
  static const QRegularExpression line(R"(^\[([0-9.]+)\] .*its claim had run out)",
                                       QRegularExpression::MultilineOption);
  auto it = line.globalMatch(out);
  while (it.hasNext()) units << it.next().captured(1);
  return units;
}

// Units a station said it redoes.
// Units whose line says they ended with `word` ("ok").
QSet<QString> Ended(const QString& out, const QString& word) {
  QSet<QString> units;
  const QRegularExpression line("^\\[([0-9.]+)\\] " + word + "\\b",
                                QRegularExpression::MultilineOption);
  for (auto it = line.globalMatch(out); it.hasNext();) units << it.next().captured(1);
  return units;
}

QSet<QString> Redone(const QString& out) {
  QSet<QString> units;
  static const QRegularExpression line(R"(^\[([0-9.]+)\] was in flight when)",
                                       QRegularExpression::MultilineOption);
  auto it = line.globalMatch(out);
  while (it.hasNext()) units << it.next().captured(1);
  return units;
}

}  // namespace

class CliRolloutTest : public QObject {
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
  QString pgDatabase() {
    const QString folderFile = qEnvironmentVariable("UVQ_TEST_PG_FOLDER_FILE");
    if (folderFile.isEmpty()) return {};
    QFile file(folderFile);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return "postgresql://uvq@/postgres?host=" + QString::fromUtf8(file.readAll()).trimmed();
  }
  // Every address of `third`.first..last confirmed at least once; those confirmed twice are
  // returned.
  QSet<QString> confirmedOnceOrTwice(Sim& sim, int third, int first, int last) {
    QSet<QString> twice;
    const QHash<QString, int> counts = ImagesConfirmed(sim);
    for (int i = first; i <= last; ++i) {
      const QString address = QString("127.0.%1.%2").arg(third).arg(i);
      const int n = counts.value(address);
      if (n < 1 || n > 2) qWarning() << address << "confirmed" << n << "times";
      if (n != 1) twice << address;
      if (n < 1) twice << "never:" + address;
    }
    return twice;
  }

  void twoStationsShareOneRollout(const QString& name, int third) {
    Sim sim(QString("127.0.%1.1").arg(third));
    QVERIFY(
        sim.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(third, 1, 64)));
    EXPECT_EXIT(uvq({"rollout", "create", name, path("a.cry"), "--range", Range(third, 1, 64),
                     "--group-size", "16"}),
                0);
    auto a = start({"rollout", "run", name, "--station", "st-a", "--parallel", "8"});
    auto b = start({"rollout", "run", name, "--station", "st-b", "--parallel", "8"});
    const Result ra = a->finish(120000), rb = b->finish(120000);
    QVERIFY2(ra.exitCode == 0 && rb.exitCode == 0, qPrintable(Diagnostics(ra) + Diagnostics(rb)));
    QVERIFY(sim.waitForOutput("IMAGE OK"));
    const QHash<QString, int> counts = ImagesConfirmed(sim);
    QCOMPARE(counts.size(), 64);
    for (auto it = counts.begin(); it != counts.end(); ++it)
      QVERIFY2(it.value() == 1,
               qPrintable(it.key() + " programmed " + QString::number(it.value())));
    const Result status = uvq({"rollout", "status", name, "--json"});
    EXPECT_EXIT(status, 0);
    QVERIFY2(status.out.contains(R"("state":"done")") && status.out.contains(R"("ok":64)"),
             qPrintable(status.out));
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(MakeImage(dir_, "a", 2400));  // 100 records and the end record
    QVERIFY(MakeImage(dir_, "b", 7200));
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("XDG_DATA_HOME", path("data"));
    env_.remove("UVQ_DB");
  }
  void init() { db_ = path(QString(QTest::currentTestFunction()) + ".sqlite3"); }

  // Two stations, one rollout of 64 units in four groups: each unit programmed exactly once.
  void twoStationsOnSqlite() { twoStationsShareOneRollout("shared", 61); }
  void twoStationsOnPostgres() {
    db_ = pgDatabase();
    if (db_.isEmpty()) QSKIP("no test PostgreSQL server in this run");
    twoStationsShareOneRollout("shared-" + QString::number(QRandomGenerator::global()->generate()),
                               62);
  }

  // A station killed mid-run: after its lease runs out the other takes its units in flight,
  // and only those are programmed twice.
  void killedStationsUnitsAreTakenOver() {
    Sim sim("127.0.63.1");
    QVERIFY(sim.start({"--quiet", "--loader-mode", "--delay-ms", "2", "--expect", path("b.bin")},
                      Range(63, 1, 24)));
    EXPECT_EXIT(uvq({"rollout", "create", "kill", path("b.cry"), "--range", Range(63, 1, 24)}), 0);
    auto a =
        start({"rollout", "run", "kill", "--station", "st-a", "--parallel", "4", "--lease-s", "3"});
    QVERIFY(a->waitForOutput("] ok", 60000));
    auto b =
        start({"rollout", "run", "kill", "--station", "st-b", "--parallel", "4", "--lease-s", "3"});
    QVERIFY(b->waitForOutput("] started", 60000));
    ::kill(static_cast<pid_t>(a->processId()), SIGKILL);
    const Result ra = a->finish();
    const QSet<QString> aInFlight = InFlight(ra.out);
    const Result rb = b->finish(120000);
    EXPECT_EXIT(rb, 0);
    const QSet<QString> redone = Redone(rb.out);
    QVERIFY2(!redone.isEmpty(), qPrintable(Diagnostics(rb)));
    QVERIFY2(aInFlight.contains(redone), qPrintable(Diagnostics(ra) + Diagnostics(rb)));
    const QSet<QString> twice = confirmedOnceOrTwice(sim, 63, 1, 24);
    QVERIFY2((aInFlight + ClaimsLost(ra.out) + ClaimsLost(rb.out)).contains(twice),
             qPrintable(Diagnostics(ra) + Diagnostics(rb) + sim.output()));
    EXPECT_EXIT(uvq({"rollout", "status", "kill"}), 0);
  }

  // A claim is the right to send. A station stopped (SIGSTOP) longer than its lease loses its
  // unit to another; once woken it sends the unit nothing more, and the attempt is recorded as
  // claim_lost. (On one machine the second station cannot lock the unit the first one still
  // holds; the rollout is paused once it has taken the claim over: both stations wait at the
  // pause, and end at the cancel.)
  void stalledStationSendsNothingAfterItsClaimRanOut() {
    Sim sim("127.0.68.1");
    QVERIFY(sim.start({"--loader-mode", "--delay-ms", "10", "--expect", path("a.bin")}));
    EXPECT_EXIT(uvq({"rollout", "create", "stall", path("a.cry"), "--range", Range(68, 1, 1)}), 0);
    auto a = start(
        {"rollout", "run", "stall", "--station", "st-a", "--parallel", "1", "--lease-s", "2"});
    QVERIFY(a->waitForOutput("] started", 60000));
    QVERIFY(sim.waitForOutput(" seq 30 ", 60000));  // well into the records
    const auto aPid = static_cast<pid_t>(a->processId());
    ::kill(aPid, SIGSTOP);
    QVERIFY(sim.sync());
    // Where station A sent from: every PDU the unit logged so far is A's.
    QSet<QString> aEndpoints;
    static const QRegularExpression from(R"(from (\S+) seq )");
    for (auto it = from.globalMatch(sim.output()); it.hasNext();)
      aEndpoints << it.next().captured(1);
    QVERIFY(!aEndpoints.isEmpty());

    auto b = start(
        {"rollout", "run", "stall", "--station", "st-b", "--parallel", "1", "--lease-s", "2"});
    QVERIFY(b->waitForOutput("[127.0.68.1] was in flight when station st-a stopped", 60000));
    EXPECT_EXIT(uvq({"rollout", "pause", "stall"}), 0);
    QVERIFY(b->waitForOutput("this station waits for uvq rollout resume stall", 60000));
    QVERIFY(sim.sync());
    const qsizetype mark = sim.output().size();

    ::kill(aPid, SIGCONT);
    QVERIFY(a->waitForOutput("claim on the unit ran out", 60000));
    QVERIFY(a->waitForOutput("waits for uvq rollout resume stall", 60000));
    EXPECT_EXIT(uvq({"rollout", "cancel", "stall"}), 0);
    EXPECT_EXIT(b->finish(), 8);
    const Result ra = a->finish();
    EXPECT_EXIT(ra, 8);
    QVERIFY(sim.sync());
    const QString after = sim.output().mid(mark);
    for (const QString& endpoint : aEndpoints)
      QVERIFY2(!after.contains("from " + endpoint + " seq "),
               qPrintable("station A sent after waking:\n" + after + Diagnostics(ra)));
    QVERIFY2(ra.out.contains("claim on the unit ran out"), qPrintable(Diagnostics(ra)));
    const Result rows = uvq({"history", "--outcome", "claim_lost", "--json"});
    EXPECT_EXIT(rows, 0);
    QCOMPARE(rows.outLines().size(), 1);
  }

  // With --approve-groups the second group waits: none of its units receives a single datagram
  // (the emulator logs each one under its address) until an approval; a skipped unit receives
  // none at all. Every action is recorded with its actor; a rollout of another image for the
  // same units is refused meanwhile.
  void waitingGroupReceivesNothingUntilApproved() {
    Sim sim("127.0.69.1");
    QVERIFY(sim.start({"--loader-mode", "--expect", path("a.bin")}, Range(69, 1, 8)));
    EXPECT_EXIT(uvq({"rollout", "create", "gated", path("a.cry"), "--range", Range(69, 1, 8),
                     "--group-size", "4", "--approve-groups", "--actor", "alice"}),
                0);
    auto run = start({"rollout", "run", "gated", "--parallel", "4"});
    QVERIFY(QTest::qWaitFor([&] { return ImagesConfirmed(sim).size() == 4; }, 60000));
    QVERIFY(QTest::qWaitFor(
        [&] {
          return uvq({"rollout", "status", "gated"})
              .out.contains("waiting for approval of group 2");
        },
        60000));
    const Result clash =
        uvq({"rollout", "create", "other", path("b.cry"), "--range", Range(69, 8, 9)});
    EXPECT_EXIT(clash, 2);
    QVERIFY2(clash.err.contains("rollout 'gated' sends another image"), qPrintable(clash.err));
    EXPECT_EXIT(uvq({"rollout", "approve", "other"}), 2);
    const Result skipped =
        uvq({"rollout", "skip", "gated", "--target", "127.0.69.8", "--actor", "bob"});
    EXPECT_EXIT(skipped, 0);
    QVERIFY2(skipped.out.contains("1 unit at 127.0.69.8 skipped"), qPrintable(skipped.out));
    QVERIFY(sim.sync());
    static const QRegularExpression secondGroup("^127\\.0\\.69\\.[5-8] ",
                                                QRegularExpression::MultilineOption);
    QVERIFY2(!sim.output().contains(secondGroup), qPrintable(sim.output()));

    EXPECT_EXIT(uvq({"rollout", "approve", "gated", "--actor", "carol"}), 0);
    EXPECT_EXIT(run->finish(120000), 0);
    const QHash<QString, int> images = ImagesConfirmed(sim);
    QCOMPARE(images.size(), 7);
    QVERIFY(sim.sync());
    QVERIFY2(!sim.output().contains("127.0.69.8 "), qPrintable(sim.output()));
    const Result status = uvq({"rollout", "status", "gated", "--json"});
    QVERIFY2(status.out.contains(R"("state":"done")") && status.out.contains(R"("skipped":1)"),
             qPrintable(status.out));

    const Result actions = uvq({"history", "actions", "--rollout", "gated", "--json"});
    EXPECT_EXIT(actions, 0);
    const QStringList lines = actions.outLines();
    QCOMPARE(lines.size(), 3);
    const QStringList expected[] = {{"create", "alice"}, {"skip", "bob"}, {"approve", "carol"}};
    for (int i = 0; i < 3; ++i)
      QVERIFY2(lines[i].contains(QString("\"action\":\"%1\"").arg(expected[i][0])) &&
                   lines[i].contains(QString("\"actor\":\"%1\"").arg(expected[i][1])),
               qPrintable(lines[i]));
    const Result table = uvq({"history", "actions"});
    QVERIFY2(table.out.contains("approve") && table.out.contains("group 2"), qPrintable(table.out));
    EXPECT_EXIT(uvq({"rollout", "create", "tell", path("a.cry"), "--range", Range(69, 1, 1),
                     "--notify-url", "https://127.0.69.99/"}),
                2);
  }

  // A rollout that finished with a unit failed is no success: exit 5, with the way to put the
  // unit back, as a plain run that failed.
  void finishedWithAFailedUnitExitsFive() {
    Sim faulty("127.0.66.1");
    QVERIFY(faulty.start(
        {"--quiet", "--loader-mode", "--error-bits", "0x0840", "--error-record", "3"}));
    Sim good("127.0.66.2");
    QVERIFY(good.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(66, 2, 4)));
    EXPECT_EXIT(uvq({"rollout", "create", "done-failed", path("a.cry"), "--range", Range(66, 1, 4),
                     "--success-threshold", "50", "--error-threshold", "100"}),
                0);
    const Result run = uvq({"rollout", "run", "done-failed", "--parallel", "4"});
    EXPECT_EXIT(run, 5);
    const QString said = run.out + run.err;
    QVERIFY2(
        said.contains("uvq rollout retry done-failed --failed") && !said.contains("program again"),
        qPrintable(Diagnostics(run)));
    QCOMPARE(ImagesConfirmed(good).size(), 3);
  }

  // A unit that never answers holds its place only for the rollout's search time: the one slot
  // is free for the next unit long before the capture's attempts would have run out.
  void silentUnitIsSearchedForOnlyItsSearchTime() {
    Sim good("127.0.78.2");
    QVERIFY(good.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(78, 2, 3)));
    EXPECT_EXIT(uvq({"rollout", "create", "silent", path("a.cry"), "--range", Range(78, 1, 3),
                     "--search-s", "1", "--success-threshold", "50", "--error-threshold", "100"}),
                0);
    const Result run = uvq({"rollout", "run", "silent", "--parallel", "1"});
    EXPECT_EXIT(run, 5);
    QVERIFY2(
        run.out.contains(QRegularExpression(
            R"(\[127\.0\.78\.1\] failed: no unit answered at 127\.0\.78\.1.*searched for 1 s)")),
        qPrintable(Diagnostics(run)));
    QCOMPARE(ImagesConfirmed(good).size(), 2);
  }

  // A group over its error threshold stops the rollout (exit 5, one line naming the group);
  // later groups are not started; `retry --failed` once the cause is gone completes it.
  void errorThresholdStopsAndRetryCompletes() {
    auto faulty = std::make_unique<Sim>("127.0.64.1");
    QVERIFY(
        faulty->start({"--quiet", "--loader-mode", "--error-bits", "0x0840", "--error-record", "3"},
                      Range(64, 1, 4)));
    Sim good("127.0.64.5");
    QVERIFY(good.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(64, 5, 12)));
    EXPECT_EXIT(uvq({"rollout", "create", "stop", path("a.cry"), "--range", Range(64, 1, 12),
                     "--group-size", "4", "--error-threshold", "20"}),
                0);
    const Result stopped = uvq({"rollout", "run", "stop", "--parallel", "1"});
    EXPECT_EXIT(stopped, 5);
    QVERIFY2(stopped.err.contains("group 1") && stopped.err.contains("stopped"),
             qPrintable(Diagnostics(stopped)));
    QCOMPARE(ImagesConfirmed(good).size(), 0);  // group 2 never started
    // Run again while stopped: nothing starts, the same code.
    EXPECT_EXIT(uvq({"rollout", "run", "stop"}), 5);
    const Result status = uvq({"rollout", "status", "stop"});
    QVERIFY2(status.out.contains("failed units:") && status.out.contains("unit_error"),
             qPrintable(status.out));

    faulty.reset();  // the cause is gone: a unit that programs well answers there now
    Sim mended("127.0.64.1");
    QVERIFY(mended.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(64, 1, 4)));
    const Result retry = uvq({"rollout", "retry", "stop", "--failed"});
    EXPECT_EXIT(retry, 0);
    QVERIFY2(retry.out.contains("pending again"), qPrintable(retry.out));
    EXPECT_EXIT(uvq({"rollout", "run", "stop", "--parallel", "4"}), 0);
    QCOMPARE(ImagesConfirmed(mended).size(), 4);
    QCOMPARE(ImagesConfirmed(good).size(), 8);
  }

  // The notify URL gets one POST when a rollout stops by its threshold (not again when a
  // station looks at the stopped rollout later) and one when another rollout finishes.
  void notifyUrlIsToldOncePerStopAndFinish() {
    HookReceiver receiver("127.0.78.100");
    QVERIFY(receiver.ready());
    const QString url = QString::fromStdString(receiver.url());
    Sim faulty("127.0.78.1");
    QVERIFY(
        faulty.start({"--quiet", "--loader-mode", "--error-bits", "0x0840", "--error-record", "3"},
                     Range(78, 1, 2)));
    Sim good("127.0.78.5");
    QVERIFY(good.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(78, 5, 6)));

    EXPECT_EXIT(uvq({"rollout", "create", "told-stop", path("a.cry"), "--range", Range(78, 1, 2),
                     "--error-threshold", "20", "--notify-url", url}),
                0);
    EXPECT_EXIT(uvq({"rollout", "run", "told-stop", "--parallel", "1"}), 5);
    QVERIFY(QTest::qWaitFor([&] { return receiver.count() >= 1; }, 60000));
    EXPECT_EXIT(uvq({"rollout", "run", "told-stop"}), 5);  // stopped still: told already
    QCOMPARE(receiver.count(), size_t{1});
    const auto stop = nlohmann::json::parse(receiver.body(0));
    QCOMPARE(stop["rollout"].get<std::string>(), std::string("told-stop"));
    QCOMPARE(stop["state"].get<std::string>(), std::string("stopped"));
    QVERIFY(stop["reason"].get<std::string>().find("group 1") != std::string::npos);

    EXPECT_EXIT(uvq({"rollout", "create", "told-done", path("a.cry"), "--range", Range(78, 5, 6),
                     "--notify-url", url}),
                0);
    EXPECT_EXIT(uvq({"rollout", "run", "told-done", "--parallel", "2"}), 0);
    QVERIFY(QTest::qWaitFor([&] { return receiver.count() >= 2; }, 60000));
    const auto done = nlohmann::json::parse(receiver.body(1));
    QCOMPARE(done["rollout"].get<std::string>(), std::string("told-done"));
    QCOMPARE(done["state"].get<std::string>(), std::string("done"));
    QCOMPARE(receiver.count(), size_t{2});
  }

  // Ctrl-C and kill -9, then run again: units done before are not programmed again, those in
  // flight are redone and said to be.
  void resumesAfterInterruptAndKill() {
    Sim sim("127.0.65.1");
    QVERIFY(sim.start({"--quiet", "--loader-mode", "--delay-ms", "2", "--expect", path("b.bin")},
                      Range(65, 1, 12)));
    EXPECT_EXIT(uvq({"rollout", "create", "resume", path("b.cry"), "--range", Range(65, 1, 12)}),
                0);
    const QStringList run{"rollout", "run", "resume", "--parallel", "2", "--station", "bench-1"};

    auto first = start(run);
    QVERIFY(first->waitForOutput("] ok", 60000));
    ::kill(static_cast<pid_t>(first->processId()), SIGINT);
    const Result interrupted = first->finish();
    EXPECT_EXIT(interrupted, 130);
    QVERIFY2(interrupted.out.contains("redone by the next run"),
             qPrintable(Diagnostics(interrupted)));
    QSet<QString> mayRepeat = InFlight(interrupted.out);
    static const QRegularExpression cut(R"(^\[([0-9.]+)\] interrupted)",
                                        QRegularExpression::MultilineOption);
    for (auto it = cut.globalMatch(interrupted.out); it.hasNext();)
      mayRepeat << it.next().captured(1);

    auto second = start(run);
    QVERIFY(second->waitForOutput("] ok", 60000));
    ::kill(static_cast<pid_t>(second->processId()), SIGKILL);
    const Result killed = second->finish();
    mayRepeat += InFlight(killed.out);

    const Result last = uvq(run);
    EXPECT_EXIT(last, 0);
    QVERIFY2(last.out.contains("stopped: they are redone") && !Redone(last.out).isEmpty(),
             qPrintable(Diagnostics(last)));
    // A unit the killed station had finished is never redone. (One it had claimed may have left
    // no line yet: lines are flushed once per round, and SIGKILL takes what is unflushed.)
    const QSet<QString> finished = Ended(killed.out, "ok") + Ended(interrupted.out, "ok");
    QVERIFY2(!finished.intersects(Redone(last.out)), qPrintable(Diagnostics(last)));
    // A unit in flight at the kill, as the store knew it, may have received its image whole.
    mayRepeat += Redone(last.out);
    const QSet<QString> twice = confirmedOnceOrTwice(sim, 65, 1, 12);
    QVERIFY2(mayRepeat.contains(twice), qPrintable(Diagnostics(interrupted) + Diagnostics(killed)));
  }

  // The image file changed since create: refused, nothing sent. Gone: the stored copy is sent.
  void changedImageIsRefusedAndStoredCopyUsed() {
    QVERIFY(QFile::copy(path("a.cry"), path("c.cry")));
    Sim sim("127.0.66.1");
    QVERIFY(sim.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}));
    EXPECT_EXIT(uvq({"rollout", "create", "img", path("c.cry"), "--target", "127.0.66.1"}), 0);
    QFile::remove(path("c.cry"));
    QVERIFY(QFile::copy(path("b.cry"), path("c.cry")));
    const Result refused = uvq({"rollout", "run", "img"});
    EXPECT_EXIT(refused, 3);
    QVERIFY2(refused.err.contains("changed since"), qPrintable(Diagnostics(refused)));
    QFile::remove(path("c.cry"));
    const Result stored = uvq({"rollout", "run", "img"});
    EXPECT_EXIT(stored, 0);
    QVERIFY2(stored.out.contains("is gone"), qPrintable(Diagnostics(stored)));
    QCOMPARE(ImagesConfirmed(sim).size(), 0);  // one address: no label before IMAGE OK
    QCOMPARE(sim.count("IMAGE OK"), 1);
  }

  // A name in use, a bad name, and an unknown rollout are refused before anything is done.
  void refusals() {
    EXPECT_EXIT(uvq({"rollout", "create", "dup", path("a.cry"), "--target", "127.0.67.1"}), 0);
    const Result again = uvq({"rollout", "create", "dup", path("a.cry"), "--target", "127.0.67.2"});
    EXPECT_EXIT(again, 2);
    QVERIFY2(again.err.contains("in use"), qPrintable(Diagnostics(again)));
    EXPECT_EXIT(uvq({"rollout", "create", "bad name", path("a.cry"), "--target", "127.0.67.1"}), 2);
    EXPECT_EXIT(uvq({"rollout", "run", "nothing-here"}), 2);
    EXPECT_EXIT(uvq({"rollout", "pause", "dup"}), 0);
    EXPECT_EXIT(uvq({"rollout", "run", "dup", "--exit-on-pause"}), 8);
  }

  // A station started on a paused rollout sends nothing and stays; at the resume it goes on and
  // ends once the rollout is done.
  void stationWaitsAtAPauseAndGoesOnAtResume() {
    Sim sim("127.0.69.1");
    QVERIFY(sim.start({"--loader-mode", "--expect", path("a.bin")}, Range(69, 1, 4)));
    EXPECT_EXIT(uvq({"rollout", "create", "held", path("a.cry"), "--range", Range(69, 1, 4)}), 0);
    EXPECT_EXIT(uvq({"rollout", "pause", "held"}), 0);
    auto station = start({"rollout", "run", "held", "--parallel", "2", "--station", "st-h"});
    QVERIFY(station->waitForOutput("this station waits for uvq rollout resume held", 60000));
    QVERIFY(sim.sync());
    QVERIFY2(!sim.output().contains(" seq "), qPrintable(sim.output()));
    EXPECT_EXIT(uvq({"rollout", "resume", "held"}), 0);
    const Result run = station->finish(120000);
    EXPECT_EXIT(run, 0);
    QVERIFY2(run.out.contains("is running again"), qPrintable(Diagnostics(run)));
    QCOMPARE(ImagesConfirmed(sim).size(), 4);
  }

  // One station serves two rollouts at once through its --parallel budget, each unit
  // programmed once, both done; SIGTERM ends it with a summary.
  void stationServesEveryRolloutUntilStopped() {
    Sim sim("127.0.78.1");
    QVERIFY(sim.start({"--quiet", "--loader-mode", "--expect", path("a.bin")}, Range(78, 1, 8)));
    EXPECT_EXIT(uvq({"rollout", "create", "left", path("a.cry"), "--range", Range(78, 1, 4)}), 0);
    EXPECT_EXIT(uvq({"rollout", "create", "right", path("a.cry"), "--range", Range(78, 5, 8)}), 0);
    auto station = start({"station", "--rollouts", "--station", "st-all", "--parallel", "3"});
    QVERIFY(station->waitForOutput("rollout right: done", 120000));
    QVERIFY(station->waitForOutput("rollout left: done", 120000));
    ::kill(static_cast<pid_t>(station->processId()), SIGTERM);
    const Result run = station->finish(60000);
    EXPECT_EXIT(run, 0);
    QVERIFY2(run.out.contains("station stopped (SIGTERM): 8 programmed, 0 failed"),
             qPrintable(Diagnostics(run)));
    QVERIFY2(run.out.contains("left: [127.0.78.1] started"), qPrintable(Diagnostics(run)));
    QTRY_COMPARE_WITH_TIMEOUT(ImagesConfirmed(sim).size(), 8, 60000);
    const QHash<QString, int> counts = ImagesConfirmed(sim);
    for (auto it = counts.begin(); it != counts.end(); ++it) QCOMPARE(it.value(), 1);
    for (const char* name : {"left", "right"}) {
      const Result status = uvq({"rollout", "status", name, "--json"});
      QVERIFY2(status.out.contains(R"("state":"done")"), qPrintable(status.out));
    }
  }

  // The database server stops mid-rollout (a server of the test's own): the station claims
  // nothing more, its units in flight finish, and once the server is back their ends and rows
  // are written: every unit programmed once, the rollout done, every row there and complete.
  void stationRidesOutADatabaseOutage() {
    PgServer server;
    if (!server.available()) QSKIP(server.problem().c_str());
    QVERIFY(server.createDatabase("outage"));
    db_ = QString::fromStdString(server.url("outage"));
    Sim sim("127.0.77.1");
    QVERIFY(sim.start({"--loader-mode", "--delay-ms", "20", "--expect", path("a.bin")},
                      Range(77, 1, 6)));
    EXPECT_EXIT(uvq({"rollout", "create", "outage", path("a.cry"), "--range", Range(77, 1, 6)}), 0);
    auto station = start({"rollout", "run", "outage", "--station", "st-o", "--parallel", "4"});
    QVERIFY(sim.waitForOutput(" seq 20 ", 60000));  // four units well into their records
    QVERIFY(server.stop());
    QVERIFY(station->waitForOutput("the rollout store cannot be reached", 60000));
    QTRY_COMPARE_WITH_TIMEOUT(ImagesConfirmed(sim).size(), 4, 60000);
    QVERIFY(sim.sync());
    // Nothing claimed meanwhile: two units were never sent to.
    int untouched = 0;
    for (int unit = 1; unit <= 6; ++unit)
      untouched += sim.count(QString("127.0.77.%1 from ").arg(unit)) == 0;
    QCOMPARE(untouched, 2);

    QVERIFY(server.start());
    const Result run = station->finish(180000);
    EXPECT_EXIT(run, 0);
    QCOMPARE(run.out.count("the rollout store answers again"), 1);
    QCOMPARE(run.out.count("the rollout store cannot be reached"), 1);
    QVERIFY(sim.sync());
    const QHash<QString, int> counts = ImagesConfirmed(sim);
    QCOMPARE(counts.size(), 6);
    for (auto it = counts.begin(); it != counts.end(); ++it)
      QVERIFY2(it.value() == 1,
               qPrintable(it.key() + " programmed " + QString::number(it.value())));
    const Result status = uvq({"rollout", "status", "outage", "--json"});
    QVERIFY2(status.out.contains(R"("state":"done")") && status.out.contains(R"("ok":6)"),
             qPrintable(status.out));
    const Result rows = uvq({"history", "--json"});
    EXPECT_EXIT(rows, 0);
    QCOMPARE(rows.outLines().size(), 6);
    QCOMPARE(rows.out.count(R"("outcome":"ok")"), 6);
  }
};

QTEST_MAIN(CliRolloutTest)
#include "CliRolloutTest.moc"
