// SPDX-License-Identifier: Apache-2.0
// The uvq program end to end against emulated units on loopback: images arrive intact, every
// exit code comes from a real cause, batches and JSON output hold up. Each test uses its own
// 127.0.5.N addresses; run inside a loopback-only network namespace.
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>

#include <atomic>
#include <thread>

#include "CliRunner.h"
#include "LoopbackPeer.h"
#include "locks/UnitLock.h"

using namespace clitest;

namespace {

constexpr int kImageBytes = 16384;  // 1024 data records and the end record
constexpr int kImageRecords = 1025;
// A failure that has to be provoked should not take the default 5 s x 5 sends; a live unit on a
// loaded machine still answers well within it.
const QStringList kShortWatchdog{"--watchdog-ms", "2000", "--resends", "1"};
// How long a run waits for units that are there to answer: generous, as on a loaded machine.
const QString kAnswerWaitMs = "3000";

QString Diagnostics(const Result& r) {
  return QString("exit %1\n--- stdout\n%2--- stderr\n%3").arg(r.exitCode).arg(r.out, r.err);
}

#define EXPECT_EXIT(result, code) \
  QVERIFY2((result).exitCode == (code), qPrintable(Diagnostics(result)))

}  // namespace

class CliRunTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString image(const char* ext) const { return dir_.filePath(QString("image.") + ext); }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(MakeImage(dir_, "image", kImageBytes));
    QVERIFY(MakeImage(dir_, "small", 8 * 16));  // 8 data records and the end record
    QVERIFY(QFile(image("cry")).size() > 0);
  }

  void programmedImageArrivesIntact() {
    Sim sim("127.0.5.1");
    QVERIFY(sim.start({"--expect", image("bin"), "--dump-memory", dir_.filePath("dump1")}));
    const Result r = RunUvq({"program", image("cry"), "--target", "127.0.5.1"});
    EXPECT_EXIT(r, 0);
    QVERIFY(sim.waitForOutput("IMAGE OK"));
    QVERIFY(!sim.output().contains("MISMATCH"));
    QFile dump(dir_.filePath("dump1"));
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QFile bin(image("bin"));
    QVERIFY(bin.open(QIODevice::ReadOnly));
    QCOMPARE(dump.readAll(), bin.readAll());
    // The window's words, in the window's order, and the automatic reset.
    const QStringList lines = r.outLines();
    const auto at = [&](const QString& line) { return lines.indexOf(line); };
    QVERIFY(at("  in loader mode") >= 0);
    QVERIFY(at("Programming from " + image("cry")) > at("  in loader mode"));
    QVERIFY(at("Programming Complete") > at("Programming from " + image("cry")));
    QVERIFY(at("Auto Reset UVQ") > at("Programming Complete"));
    QVERIFY2(r.out.contains(QString("ok (unit 0100), %1 records").arg(kImageRecords)),
             qPrintable(r.out));
    // Plain progress lines on a non-terminal standard error, the last one where the run ended.
    const QStringList progress = r.err.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(
        !progress.isEmpty() && progress.last().startsWith(
                                   QString("programming 100 % (%1/%1 records").arg(kImageRecords)),
        qPrintable(r.err));
  }

  void noResetKeepsTheUnitInLoaderModeAndAccessCodeCaptures() {
    Sim sim("127.0.5.2");
    QVERIFY(
        sim.start({"--access-code", "s3cret", "--capture-needs-code", "--expect", image("bin")}));
    const Result r = RunUvq({"program", image("cry"), "--no-reset", "--access-code", "s3cret",
                             "--target", "127.0.5.2"});
    EXPECT_EXIT(r, 0);
    QVERIFY(r.out.contains("Live reboot request sent with the access code"));
    QVERIFY(!r.out.contains("Click Capture Next"));  // the window's wording
    QVERIFY(!r.out.contains("Auto Reset UVQ"));
    QVERIFY(sim.waitForOutput("IMAGE OK"));
    QVERIFY(sim.sync());
    QVERIFY(!sim.output().contains(" cmd 9 "));  // no reset PDU went out
  }

  void fileErrorsComeBeforeAnythingIsSent() {
    Sim sim("127.0.5.3");
    QVERIFY(sim.start({}));
    QFile empty(dir_.filePath("empty.cry"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    const Result missing = RunUvq({"program", dir_.filePath("none.cry"), "--target", "127.0.5.3"});
    EXPECT_EXIT(missing, 3);
    QVERIFY(missing.err.contains("cannot open image"));
    const Result noData = RunUvq({"program", dir_.filePath("empty.cry"), "--target", "127.0.5.3"});
    EXPECT_EXIT(noData, 3);
    QVERIFY(noData.err.contains("is empty"));
    QVERIFY2(!sim.output().contains("from "), qPrintable(sim.output()));
  }

  void recordErrorsAbortWithUnitError() {
    Sim sim("127.0.5.4");
    QVERIFY(sim.start({"--error-bits", "0x0840", "--error-record", "3"}));
    const Result r = RunUvq({"program", image("cry"), "--target", "127.0.5.4"});
    EXPECT_EXIT(r, 5);
    const QStringList lines = r.outLines();
    const qsizetype error = lines.indexOf("ERROR - Error during Programming");
    QVERIFY2(error >= 0, qPrintable(r.out));
    QCOMPARE(lines.mid(error + 1, 3),
             QStringList({"  record frame length error", "  record checksum error",
                          "  Programming Aborted"}));
    QVERIFY(!r.out.contains("Programming Complete"));
    QVERIFY(r.out.contains("unit error"));
  }

  void silentUnitGivesNoAnswer() {
    Sim sim("127.0.5.5");
    QVERIFY(sim.start({"--silent"}));
    for (const char* command : {"locate", "status", "reset"}) {
      const Result r = RunUvq({command, "--wait-ms", "200", "--target", "127.0.5.5"});
      EXPECT_EXIT(r, 4);
      QVERIFY2(r.out.contains("no unit answered at 127.0.5.5"), qPrintable(r.out));
    }
    // In JSON a unit that never answered is null, not "".
    const Result json = RunUvq({"status", "--json", "--wait-ms", "200", "--target", "127.0.5.5"});
    EXPECT_EXIT(json, 4);
    QVERIFY2(json.out.contains("\"unit\":null"), qPrintable(json.out));
    const Result ip = RunUvq({"set-ip", "127.0.5.50", "--wait-ms", "200", "--target", "127.0.5.5"});
    EXPECT_EXIT(ip, 4);
  }

  void unitFallingSilentTripsTheWatchdog() {
    // Replies 5 ms late keep the run long enough to freeze the unit part-way through.
    Sim sim("127.0.5.6");
    QVERIFY(sim.start({"--delay-ms", "5"}));
    QStringList args{"program", image("cry"), "--json", "--target", "127.0.5.6"};
    Uvq uvq(args + kShortWatchdog);
    QVERIFY(uvq.waitForOutput("\"event\":\"loader_mode\""));
    sim.freeze();
    const Result r = uvq.finish();
    EXPECT_EXIT(r, 4);
    QVERIFY(r.out.contains("FAILED - Comms Timeout Error Programming UVQ"));
    QVERIFY(r.out.contains("\"outcome\":\"no_answer\""));

    // Back again with half an image written: the unit refuses to start it, and says so.
    sim.resume();
    const Result reset = RunUvq({"reset", "--target", "127.0.5.6"});
    EXPECT_EXIT(reset, 5);
    QVERIFY2(reset.out.contains("reset refused, status 6002"), qPrintable(reset.out));
  }

  void eraseResetAndNewAddress() {
    Sim sim("127.0.5.7");
    QVERIFY(sim.start({}));
    const Result erase = RunUvq({"erase", "device", "--target", "127.0.5.7"});
    EXPECT_EXIT(erase, 0);
    QVERIFY(erase.out.contains("Device Erased"));
    const Result eraseData = RunUvq({"erase", "data", "--target", "127.0.5.7", "--quiet"});
    EXPECT_EXIT(eraseData, 0);
    QVERIFY(sim.waitForOutput(" cmd 8 "));  // its line may still be on its way

    const Result moved = RunUvq({"set-ip", "127.0.5.70", "--target", "127.0.5.7"});
    EXPECT_EXIT(moved, 0);
    const Result status = RunUvq({"status", "--target", "127.0.5.7"});
    EXPECT_EXIT(status, 0);
    QVERIFY2(status.outLines().contains("IP address:          127.0.5.70"), qPrintable(status.out));
    // An address that would lose the unit on the network is refused before anything is sent.
    QVERIFY(sim.sync());
    const int setIpSent = sim.count(" cmd 1 ");
    const Result refused = RunUvq({"set-ip", "0.1.2.3", "--target", "127.0.5.7"});
    EXPECT_EXIT(refused, 2);
    QVERIFY(refused.err.contains("invalid address '0.1.2.3'"));
    QVERIFY(sim.sync());
    QCOMPARE(sim.count(" cmd 1 "), setIpSent);

    const Result reset = RunUvq({"reset", "--target", "127.0.5.7"});
    EXPECT_EXIT(reset, 0);
    QVERIFY(sim.waitForOutput(" cmd 9 "));
  }

  void badUsageSendsNothing_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("no subcommand") << QStringList{} << "";
    QTest::newRow("unknown option") << QStringList{"locate", "--frobnicate"} << "";
    QTest::newRow("erase what") << QStringList{"erase", "everything"} << "";
    QTest::newRow("program without file") << QStringList{"program"} << "";
    QTest::newRow("address part too big")
        << QStringList{"set-ip", "300.1.1.1"} << "invalid address";
    QTest::newRow("address too short") << QStringList{"set-ip", "10.1.1"} << "invalid address";
    QTest::newRow("bad id") << QStringList{"status", "--id", "12G4"} << "invalid unit ID";
    QTest::newRow("id too long") << QStringList{"status", "--id", "12345"} << "invalid unit ID";
    QTest::newRow("duplicate target")
        << QStringList{"locate", "--target", "127.0.5.9"} << "given twice";
    QTest::newRow("same address written otherwise")
        << QStringList{"locate", "--target", "127.000.005.009"} << "(127.0.5.9) is given twice";
    QTest::newRow("address part too big for a target")
        << QStringList{"locate", "--target", "999.1.1.1"} << "invalid address '999.1.1.1'";
    QTest::newRow("target with a port")
        << QStringList{"locate", "--target", "127.0.5.10:16388"} << "without a port";
    QTest::newRow("subcommand typo") << QStringList{"programm", "x.cry"}
                                     << "unknown subcommand 'programm'; did you mean 'program'?";
    QTest::newRow("quiet and verbose") << QStringList{"locate", "-q", "-v"} << "contradict";
    QTest::newRow("zero watchdog") << QStringList{"program", "x.cry", "--watchdog-ms", "0"} << "";
    QTest::newRow("scan range backwards")
        << QStringList{"scan", "127.0.5.9-127.0.5.1"} << "the first address comes after the last";
    QTest::newRow("targets file missing")
        << QStringList{"locate", "--targets-file", "/nonexistent/targets"} << "targets file";
  }
  void badUsageSendsNothing() {
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    Sim sim("127.0.5.9");
    QVERIFY(sim.start({}));
    const Result r = RunUvq(args << "--target"
                                 << "127.0.5.9");
    EXPECT_EXIT(r, 2);
    if (!message.isEmpty()) QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY2(!sim.output().contains("from "), qPrintable(sim.output()));
  }

  void imageChecksNeverBlockAndCountRecords() {
    Sim sim("127.0.5.14");
    QVERIFY(sim.start({}));
    const QString fifo = dir_.filePath("fifo.cry");
    QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0600) == 0);
    const Result piped = RunUvq({"program", fifo, "--target", "127.0.5.14"}, 10000);
    EXPECT_EXIT(piped, 3);
    QVERIFY2(piped.err.contains("is a FIFO"), qPrintable(piped.err));
    QFile odd(dir_.filePath("odd.cry"));
    QVERIFY(odd.open(QIODevice::WriteOnly) && odd.write(QByteArray(25, 'x')) == 25);
    odd.close();
    const Result partial = RunUvq({"program", odd.fileName(), "--target", "127.0.5.14"});
    EXPECT_EXIT(partial, 3);
    QVERIFY2(partial.err.contains("not a whole number of 24-byte records"),
             qPrintable(partial.err));
    QVERIFY2(!sim.output().contains("from "), qPrintable(sim.output()));
  }

  void secondRunOnAUnitIsRefusedAndTheRunIsLogged() {
    Sim sim("127.0.5.15");
    // Quiet: nobody reads the emulator's log while uvq runs, and a full pipe would stall it.
    QVERIFY(sim.start({"--quiet", "--delay-ms", "2", "--expect", image("bin")}));
    const QString log = dir_.filePath("runs.log");
    Uvq first({"program", image("cry"), "--json", "--log", log, "--target", "127.0.5.15"});
    QVERIFY(first.waitForOutput("\"event\":\"loader_mode\""));
    // The lock is the machine's, not the user's: a run without --id holds every unit of the
    // address. Another user with another environment is refused too (as `nobody` when the suite
    // runs as root), before it sends anything.
    QTemporaryDir elsewhere;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", elsewhere.path());
    env.insert("HOME", elsewhere.path());
    QProcess other;
    other.setProcessEnvironment(env);
    const QStringList args{"erase", "device", "--no-history", "--target", "127.0.5.15"};
    if (::geteuid() == 0)
      other.start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups",
                                         BuildDir() + "/uvq"} +
                                 args);
    else
      other.start(BuildDir() + "/uvq", args);
    QVERIFY(other.waitForFinished(60000));
    const QString err = QString::fromUtf8(other.readAllStandardError());
    QCOMPARE(other.exitCode(), 2);
    QVERIFY2(err.contains("127.0.5.15 (every unit) is in use by uvq (process " +
                          QString::number(first.processId()) + ", user "),
             qPrintable(err));
    const Result r = first.finish();
    EXPECT_EXIT(r, 0);
    QVERIFY(sim.waitForOutput("IMAGE OK"));

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    const QJsonObject entry = QJsonDocument::fromJson(lines[0]).object();
    QFile cry(image("cry"));
    QVERIFY(cry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.value("image_sha256").toString(),
             QString(QCryptographicHash::hash(cry.readAll(), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(entry.value("image_bytes").toInt(), kImageRecords * 24);
    QCOMPARE(entry.value("outcome").toString(), QString("ok"));
    QCOMPARE(entry.value("records").toInt(), kImageRecords);
    QCOMPARE(entry.value("unit").toString(), QString("0100"));
    QCOMPARE(entry.value("resends").toInt(-1), 0);
    // What the unit said last: out of loader mode with a valid program, after the reset.
    QCOMPARE(entry.value("status").toString(), QString("0000"));
  }

  // A run refused by another's lock sends nothing: the lock (the named unit's, or the whole
  // address's without --id) is taken before the first datagram, not once the unit answered.
  void runRefusedByALockSendsNothing_data() {
    QTest::addColumn<QString>("held");  // "" : every unit at the address
    QTest::addColumn<QStringList>("args");
    QTest::newRow("address held, no --id") << "" << QStringList{"program", image("cry")};
    QTest::newRow("unit held, its --id")
        << "0100" << QStringList{"program", image("cry"), "--id", "0100"};
    QTest::newRow("unit held, no --id") << "0100" << QStringList{"erase", "device"};
    QTest::newRow("address held, --id") << "" << QStringList{"reset", "--id", "0100"};
  }
  void runRefusedByALockSendsNothing() {
    QFETCH(QString, held);
    QFETCH(QStringList, args);
    LoopbackPeer unit("127.0.5.60");
    const uvq::locks::LockAttempt lock = uvq::locks::TryLockUnit(
        "127.0.5.60",
        held.isEmpty() ? std::nullopt : std::optional<std::string>(held.toStdString()));
    QVERIFY2(lock.lock, lock.problem.c_str());
    const Result r = RunUvq(args + QStringList{"--no-history", "--target", "127.0.5.60"});
    EXPECT_EXIT(r, 2);
    QVERIFY2(r.err.contains("is in use by"), qPrintable(Diagnostics(r)));
    // Loopback hands a datagram over within the send: whatever the run sent is queued by now.
    QVERIFY(!unit.receive(0));
  }

  void barOnATerminalNeverSharesALine() {
    Sim sim("127.0.5.16");
    QVERIFY(sim.start({"--quiet", "--delay-ms", "1"}));
    // `script` gives uvq a terminal; both streams land on it, as at a console.
    const QString command = BuildDir() + "/uvq program " + image("cry") + " --target 127.0.5.16";
    QProcess script;
    script.start("script", {"-qefc", command, "/dev/null"});
    QVERIFY(script.waitForFinished(60000));
    QCOMPARE(script.exitCode(), 0);
    const QString screen = QString::fromUtf8(script.readAllStandardOutput());
    // What each line shows once every carriage return and line clear has been applied.
    QStringList shown;
    for (const QString& raw : screen.split('\n')) {
      QString line = raw;
      line.remove("\033[K");
      line = line.section('\r', -1, -1, QString::SectionSkipEmpty);
      shown << line;
    }
    const auto bar = [](const QString& line) { return line.contains(" %  "); };
    QStringList bars;
    for (const QString& line : shown) {
      if (!bar(line)) continue;
      bars << line;
      QVERIFY2(line.startsWith('['), qPrintable(line));  // nothing written before it
    }
    QCOMPARE(bars.size(), 1);
    QVERIFY2(bars.first().contains("100.0 %"), qPrintable(bars.first()));
    QVERIFY(shown.contains("Programming Complete"));
    QVERIFY(std::any_of(shown.begin(), shown.end(), [](const QString& line) {
      return line.startsWith("127.0.5.16: ok (unit 0100)");
    }));
  }

  void closedStandardOutputDoesNotStopTheRun() {
    Sim sim("127.0.5.17");
    QVERIFY(sim.start({"--quiet", "--expect", image("bin")}));
    const QString command = BuildDir() + "/uvq program " + image("cry") +
                            " --target 127.0.5.17 | true; echo \"exit ${PIPESTATUS[0]}\"";
    QProcess shell;
    shell.start("bash", {"-c", "sleep 0.2 & " + command});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()).trimmed(), QString("exit 0"));
    QVERIFY(sim.waitForOutput("IMAGE OK"));
  }

  void targetFromTheEnvironmentAndTheConfigFile() {
    Sim sim("127.0.5.18");
    QVERIFY(sim.start({"--quiet"}));
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("UVQ_TARGET", "127.0.5.18");
    const Result fromEnv = RunUvq({"locate", "--wait-ms", kAnswerWaitMs}, 60000, env);
    EXPECT_EXIT(fromEnv, 0);
    QVERIFY(fromEnv.out.contains("127.0.5.18: ok (unit 0100)"));
    // The file wins over the environment: its target has no unit, so nothing answers.
    QVERIFY(QDir(config.path()).mkpath("uvq"));
    QFile ini(config.filePath("uvq/uvq.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("target = \"127.0.5.19\"\nwait-ms = 100\n");
    ini.close();
    const Result fromFile = RunUvq({"locate"}, 60000, env);
    EXPECT_EXIT(fromFile, 4);
    QVERIFY2(fromFile.out.contains("127.0.5.19: no answer"), qPrintable(fromFile.out));
  }

  // The subcommands that parse their own words take their options from their own section of
  // the configuration file too; the command line still wins.
  void configurationSectionsOfRolloutStationServeAndHistory() {
    QTemporaryDir config;
    QVERIFY(config.isValid());
    const QString ini = config.filePath("sections.ini");
    const auto withConfig = [&](const QByteArray& text, const QStringList& args) {
      QFile file(ini);
      if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return Result{};
      file.write(text);
      file.close();
      return RunUvq(QStringList{"--config", ini} + args);
    };
    const QString db = config.filePath("h.sqlite3");
    const Result rollout = withConfig("[rollout]\nparallel = 0\n", {"rollout", "list", "--db", db});
    EXPECT_EXIT(rollout, 2);
    QVERIFY2(rollout.err.contains("--parallel"), qPrintable(rollout.err));
    const Result rolloutWins =
        withConfig("[rollout]\nparallel = 0\n", {"rollout", "list", "--parallel", "4", "--db", db});
    EXPECT_EXIT(rolloutWins, 0);
    const Result station = withConfig("[station]\nrange = 224.0.0.1-224.0.0.5\n",
                                      {"station", "fw.cry", "--no-history"});
    EXPECT_EXIT(station, 2);
    QVERIFY2(station.err.contains("224.0.0.1"), qPrintable(station.err));
    const Result noRange = withConfig("", {"station", "fw.cry", "--no-history"});
    EXPECT_EXIT(noRange, 2);
    QVERIFY2(noRange.err.contains("--range"), qPrintable(noRange.err));
    const Result history = withConfig("[history]\noutcome = bogus\n", {"history", "--db", db});
    EXPECT_EXIT(history, 2);
    QVERIFY2(history.err.contains("bogus"), qPrintable(history.err));
    const Result serve = withConfig("[serve]\nlisten = 127.0.0.1:99999\n", {"serve", "--db", db});
    EXPECT_EXIT(serve, 2);
    QVERIFY2(serve.err.contains("99999"), qPrintable(serve.err));
  }

  void helpListsTheExitCodes() {
    const Result r = RunUvq({"help", "exit-codes"});
    EXPECT_EXIT(r, 0);
    QVERIFY(r.out.contains("Exit codes:"));
    QVERIFY(r.out.contains("6  network error"));
    // A subcommand's help is its own options, and points to the rest.
    const Result program = RunUvq({"program", "--help"});
    EXPECT_EXIT(program, 0);
    QVERIFY2(program.out.contains("--no-reset") && !program.out.contains("--watchdog-ms") &&
                 !program.out.contains("6  network error") &&
                 program.out.contains("uvq help exit-codes"),
             qPrintable(program.out));
    const Result typo = RunUvq({"locate", "--wachdog-ms", "100", "--target", "127.0.5.17"});
    EXPECT_EXIT(typo, 2);
    QVERIFY2(typo.err.startsWith("uvq: unknown option '--wachdog-ms'; did you mean "
                                 "'--watchdog-ms'?"),
             qPrintable(typo.err));
  }

  void windowSettingsAndEnvironmentAsConfiguration() {
    Sim sim("127.0.5.38");
    QVERIFY(sim.start({"--quiet"}));
    // The window's own settings file, given to the command line.
    const QString ini = dir_.filePath("window.INI");
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Net]\r\nAddress=127.0.5.38\r\n") > 0);
    file.close();
    const Result located = RunUvq({"locate", "--config", ini, "--wait-ms", "200"});
    EXPECT_EXIT(located, 0);
    QVERIFY2(located.out.contains("127.0.5.38: ok (unit 0100)"), qPrintable(Diagnostics(located)));
    QVERIFY(!located.err.contains("default"));
    // A target from the environment or the file does not stand in a scan's way.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("UVQ_TARGET", "127.0.5.99");
    const Result scan =
        RunUvq({"scan", "127.0.5.38-127.0.5.39", "--config", ini, "--wait-ms", "200"}, 60000, env);
    EXPECT_EXIT(scan, 0);
    QVERIFY2(scan.out.contains("1 units at 1 of 2 addresses"), qPrintable(Diagnostics(scan)));
  }

  // 256 addresses asked at once share one socket: a soft limit of 64 descriptors, or a hard one,
  // leaves none of them unasked.
  void scanAsksEveryAddressUnderALowDescriptorLimit() {
    const QStringList scan{BuildDir() + "/uvq",
                           "scan",
                           "127.0.6.0-127.0.6.255",
                           "--rate",
                           "10000",
                           "--wait-ms",
                           "300",
                           "--quiet"};
    for (const QString limit : {"--nofile=64:4096", "--nofile=64:64"}) {
      // Sanitizers need a free descriptor of their own to read memory (a pipe), so they break
      // down under a hard limit this low.
      if (limit.endsWith(":64") && qEnvironmentVariableIsSet("ASAN_OPTIONS")) continue;
      QProcess run;
      run.start("prlimit", QStringList{limit, "--"} + scan);
      QVERIFY(run.waitForFinished(60000));
      const QString err = QString::fromUtf8(run.readAllStandardError());
      QCOMPARE(run.exitCode(), 4);  // every address asked, none answered
      QVERIFY2(!err.contains("not asked"), qPrintable(limit + ": " + err));
    }
  }

  // The image is read once before anything is sent: overwritten in place during the run, the
  // unit still gets the image as it was, and the run log's SHA-256 is of what was sent.
  void imageOverwrittenDuringTheRunIsSentAsItWas() {
    Sim sim("127.0.5.16");
    QVERIFY(sim.start({"--quiet", "--delay-ms", "2", "--expect", image("bin")}));
    const QString copy = dir_.filePath("overwritten.cry");
    QFile::remove(copy);
    QVERIFY(QFile::copy(image("cry"), copy));
    QFile original(copy);
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray sent = original.readAll();
    original.close();
    const QString log = dir_.filePath("overwritten.log");
    Uvq uvq({"program", copy, "--json", "--log", log, "--target", "127.0.5.16"});
    QVERIFY(uvq.waitForOutput("Programming from"));
    QFile file(copy);
    QVERIFY(file.open(QIODevice::ReadWrite));  // in place, as dd conv=notrunc does
    QVERIFY(file.write(QByteArray(sent.size(), '\x5A')) == sent.size());
    file.close();
    const Result r = uvq.finish();
    EXPECT_EXIT(r, 0);
    QVERIFY(sim.waitForOutput("IMAGE OK"));
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QJsonObject entry = QJsonDocument::fromJson(logFile.readAll().trimmed()).object();
    QCOMPARE(entry.value("image_sha256").toString(),
             QString(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex()));
  }

  void severalUnitsBehindOneAddressNeedAnId() {
    Sim sim("127.0.5.12");
    QVERIFY(sim.start({"--units", "3", "--id", "0100", "--expect", image("bin")}));
    // Refused before any unit was captured: nothing behind the address changed.
    for (const char* command : {"program", "erase", "capture"}) {
      QStringList args{command};
      if (QString(command) == "program") args << image("cry");
      if (QString(command) == "erase") args << "device";
      const Result ambiguous = RunUvq(args << "--target"
                                           << "127.0.5.12");
      EXPECT_EXIT(ambiguous, 2);
      QVERIFY2(ambiguous.err.contains("several units answer at 127.0.5.12 (0100 0101 0102)"),
               qPrintable(ambiguous.err));
    }
    // A unit that is not there: found out before anything is sent to any unit.
    const Result absent = RunUvq({"program", image("cry"), "--id", "0999", "--wait-ms",
                                  kAnswerWaitMs, "--target", "127.0.5.12"});
    EXPECT_EXIT(absent, 4);
    QVERIFY(absent.err.contains("unit 0999 did not answer (units that answered: 0100 0101 0102)"));
    QVERIFY(sim.sync());
    for (const char* changing : {" cmd 1 ", " cmd 3 ", " cmd 4 ", " cmd 6 ", " cmd 9 "})
      QVERIFY2(!sim.output().contains(changing), changing);

    const Result chosen =
        RunUvq({"program", image("cry"), "--id", "101", "--target", "127.0.5.12", "--quiet"});
    EXPECT_EXIT(chosen, 0);
    QVERIFY(sim.waitForOutput("IMAGE OK (unit 0101)"));
    QVERIFY(!sim.output().contains("MISMATCH"));
    // Only the chosen unit was captured; its neighbours never left their program.
    const QStringList captures =
        sim.output().split('\n').filter(QRegularExpression(" cmd 3 unit "));
    QVERIFY(!captures.isEmpty());
    for (const QString& line : captures) QVERIFY2(line.contains("unit 0101"), qPrintable(line));

    const Result absentReset =
        RunUvq({"reset", "--id", "0999", "--wait-ms", kAnswerWaitMs, "--target", "127.0.5.12"});
    EXPECT_EXIT(absentReset, 4);
    QVERIFY(absentReset.out.contains("unit 0999 did not answer"));
    const Result listed = RunUvq({"status", "--wait-ms", kAnswerWaitMs, "--target", "127.0.5.12"});
    EXPECT_EXIT(listed, 0);
    QCOMPARE(listed.out.count("UVQ ID:"), 3);
    for (const char* unit : {"0100", "0101", "0102"})
      QVERIFY2(listed.out.contains(QString("127.0.5.12  unit %1  ip ").arg(unit)),
               qPrintable(listed.out));
    QCOMPARE(listed.out.count("  valid program  status 0000 (no flags)"), 3);
  }

  void batchOfEightWithOneFallingSilent() {
    std::vector<std::unique_ptr<Sim>> sims;
    QStringList args{"program", image("cry")};
    for (int n = 20; n < 28; ++n) {
      const QString address = QString("127.0.5.%1").arg(n);
      sims.push_back(std::make_unique<Sim>(address));
      QStringList simArgs{"--expect", image("bin")};
      if (n == 27)
        simArgs << "--delay-ms"
                << "5";
      QVERIFY(sims.back()->start(simArgs));
      args << "--target" << address;
    }
    Uvq uvq(args + kShortWatchdog);
    QVERIFY(uvq.waitForOutput("[127.0.5.27] Programming from"));
    sims.back()->freeze();
    const Result r = uvq.finish();
    EXPECT_EXIT(r, 4);
    for (int i = 0; i < 7; ++i) QVERIFY(sims[static_cast<size_t>(i)]->waitForOutput("IMAGE OK"));
    QVERIFY2(r.out.contains("7 ok, 1 failed"), qPrintable(r.out));
    const QStringList lines = r.outLines();
    int okRows = 0;
    for (const QString& line : lines) {
      if (line.startsWith("127.0.5.") && line.endsWith("  ok")) {
        ++okRows;
        QVERIFY2(line.contains(QString::number(kImageRecords)), qPrintable(line));
      }
    }
    QCOMPARE(okRows, 7);
    QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QString& line) {
      return line.startsWith("127.0.5.27") && line.contains("no answer - comms timeout");
    }));
    // Every log line names its target.
    QVERIFY(lines.contains("[127.0.5.20] Programming Complete"));
  }

  void jsonEventsParse() {
    Sim sim("127.0.5.13");
    QVERIFY(sim.start({"--expect", image("bin")}));
    const Result r = RunUvq({"program", image("cry"), "--json", "--target", "127.0.5.13"});
    EXPECT_EXIT(r, 0);
    QMap<QString, QList<QJsonObject>> byEvent;
    for (const QString& line : r.outLines()) {
      QJsonParseError error{};
      const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
      QVERIFY2(error.error == QJsonParseError::NoError && doc.isObject(), qPrintable(line));
      byEvent[doc.object().value("event").toString()].append(doc.object());
    }
    QVERIFY(byEvent.value("log").size() > 5);
    QCOMPARE(byEvent.value("log").first().value("target").toString(), QString("127.0.5.13"));
    // Who is there first (a locate), then the capture of that unit.
    const QList<QJsonObject> replies = byEvent.value("reply");
    QVERIFY(replies.size() >= 2);
    QCOMPARE(replies.first().value("type").toInt(), 0);
    const QJsonObject capture = replies.at(1);
    QCOMPARE(capture.value("type").toInt(), 3);
    QCOMPARE(capture.value("unit").toString(), QString("0100"));
    QCOMPARE(capture.value("status").toString(), QString("4000"));
    QVERIFY(!byEvent.value("progress").isEmpty());
    // Results come last: no progress event after the target's result.
    const QStringList lines = r.outLines();
    const auto lastProgress = std::find_if(lines.rbegin(), lines.rend(), [](const QString& l) {
      return l.contains("\"event\":\"progress\"");
    });
    const auto resultLine = std::find_if(lines.rbegin(), lines.rend(), [](const QString& l) {
      return l.contains("\"event\":\"result\"");
    });
    QVERIFY(resultLine < lastProgress);  // reverse iterators: the result is nearer the end
    QCOMPARE(byEvent.value("progress").last().value("total").toInt(), kImageRecords);
    QCOMPARE(byEvent.value("result").size(), 1);
    const QJsonObject result = byEvent.value("result").first();
    QCOMPARE(result.value("outcome").toString(), QString("ok"));
    QCOMPARE(result.value("exit_code").toInt(), 0);
    QCOMPARE(result.value("records").toInt(), kImageRecords);
    QCOMPARE(result.value("refused_records").toInt(), 0);
    QVERIFY(result.value("seconds").toDouble() > 0);
    QVERIFY(result.value("records_per_second").toDouble() > 0);
    QCOMPARE(byEvent.value("summary").first().value("exit_code").toInt(), 0);
    // Record acknowledgements are summed up, not one event each.
    QVERIFY(r.outLines().size() < 100);
  }

  void unitThatCannotBootIsNoSuccess() {
    Sim sim("127.0.5.30");
    QVERIFY(sim.start({}));
    // The image without its end record: every record is acknowledged, yet the unit never hears
    // that the file is finished, refuses the reset and keeps no program it could start.
    QFile whole(dir_.filePath("small.cry"));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    QFile cut(dir_.filePath("no-end.cry"));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(whole.read(whole.size() - 24));
    cut.close();
    const Result reset = RunUvq({"program", cut.fileName(), "--target", "127.0.5.30"});
    EXPECT_EXIT(reset, 5);
    QVERIFY2(reset.err.contains("unit 0100 never reported the file finished") &&
                 reset.err.contains("after the reset it reports 6002 (in loader mode, user code "
                                    "space invalid, Error - missing Type 4 record)"),
             qPrintable(reset.err));
    const Result kept =
        RunUvq({"program", cut.fileName(), "--no-reset", "--target", "127.0.5.30", "--json"});
    EXPECT_EXIT(kept, 5);
    QVERIFY2(kept.out.contains("it stays in loader mode without a valid program"),
             qPrintable(kept.out));
    QVERIFY(kept.out.contains("\"outcome\":\"unit_error\""));

    // The whole image: after the reset the unit is asked again and runs its program.
    QVERIFY(sim.sync());
    const int before = sim.output().size();
    const Result good = RunUvq({"program", whole.fileName(), "--target", "127.0.5.30", "--quiet"});
    EXPECT_EXIT(good, 0);
    QVERIFY(sim.sync());
    const QString after = sim.output().mid(before);
    const qsizetype resetAt = after.indexOf(" cmd 9 unit 0100 status 0000");
    QVERIFY2(resetAt >= 0, qPrintable(after));
    QVERIFY2(after.indexOf(" cmd 0 unit 0100 status 0000", resetAt) > resetAt, qPrintable(after));
  }

  void unitRefusingLoaderModeNamesTheAccessCode_data() {
    QTest::addColumn<QStringList>("code");
    QTest::addColumn<QString>("cause");
    QTest::newRow("no code") << QStringList{} << "it may need its access code (--access-code)";
    QTest::newRow("wrong code") << QStringList{"--access-code", "guess"}
                                << "the access code was not accepted (--access-code)";
  }
  void unitRefusingLoaderModeNamesTheAccessCode() {
    QFETCH(QStringList, code);
    QFETCH(QString, cause);
    Sim sim("127.0.5.31");
    QVERIFY(sim.start({"--access-code", "s3cret", "--capture-needs-code"}));
    const Result r = RunUvq(QStringList{"capture", "--target", "127.0.5.31"} + code);
    EXPECT_EXIT(r, 5);
    QVERIFY2(r.err.contains("unit 0100 answers but does not enter loader mode (status 0000") &&
                 r.err.contains(cause),
             qPrintable(r.err));
    // A few answers decide it, not the whole capture time-out.
    QVERIFY(sim.sync());
    QVERIFY2(sim.output().count(" cmd 3 ") <= 5, qPrintable(sim.output()));
  }

  void captureAndEraseTimingOptionsAct() {
    Sim slowEraser("127.0.5.33");
    QVERIFY(slowEraser.start({"--erase-delay-ms", "3000"}));
    Sim silent("127.0.5.34");
    QVERIFY(silent.start({"--silent"}));
    const Result r =
        RunUvq({"erase", "device", "--capture-attempts", "3", "--capture-interval-ms", "100",
                "--erase-timeout-ms", "200", "--target", "127.0.5.33", "--target", "127.0.5.34"});
    EXPECT_EXIT(r, 4);
    // The erase answer comes after its time-out; the silent unit was asked exactly 3 times.
    QVERIFY2(r.out.contains(QRegularExpression("127\\.0\\.5\\.33 .*no answer - no response to "
                                               "erase")),
             qPrintable(r.out));
    QVERIFY2(r.out.contains("no answer - no unit answered at 127.0.5.34 (3 attempts); check"),
             qPrintable(r.out));
    QVERIFY(silent.sync());
    QCOMPARE(silent.output().count(" cmd 0 "), 3);
  }

  void refusedRecordsAreCountedAndStrictFails() {
    // The unit refuses the third record (it would overwrite the loader) and goes on. It counts
    // records from its start, so each run gets a unit of its own.
    const auto run = [&](const QStringList& options) {
      Sim sim("127.0.5.35");
      if (!sim.start({"--quiet", "--error-bits", "0x0020", "--error-record", "3"})) return Result{};
      return RunUvq(QStringList{"program", dir_.filePath("small.cry"), "--target", "127.0.5.35"} +
                    options);
    };
    const Result counted = run({"--json"});
    EXPECT_EXIT(counted, 0);
    QVERIFY2(counted.out.contains("\"refused_records\":1"), qPrintable(counted.out));
    const Result text = run({"--quiet"});
    EXPECT_EXIT(text, 0);
    QVERIFY2(text.out.contains("records/s, 1 refused by the unit"), qPrintable(text.out));
    const Result strict = run({"--strict", "--quiet"});
    EXPECT_EXIT(strict, 5);
    QVERIFY2(strict.err.contains("1 records refused by the unit (--strict)"),
             qPrintable(strict.err));
  }

  void signalStopsTheRunWithEachUnitsState_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("code");
    QTest::newRow("Ctrl-C") << int{SIGINT} << false << 130;
    QTest::newRow("SIGTERM, JSON") << int{SIGTERM} << true << 143;
    QTest::newRow("SIGHUP (terminal closed), JSON") << int{SIGHUP} << true << 143;
  }
  void signalStopsTheRunWithEachUnitsState() {
    QFETCH(int, signal);
    QFETCH(bool, json);
    QFETCH(int, code);
    Sim sim("127.0.5.36");
    QVERIFY(sim.start({"--delay-ms", "3"}));
    Uvq uvq({"program", image("cry"), "--target", "127.0.5.36", json ? "--json" : "-v"});
    QVERIFY(uvq.waitForOutput("loader_mode"));
    // The second record has been answered, so the first answer had reached uvq.
    QTRY_VERIFY_WITH_TIMEOUT(sim.count(" cmd 4 ") >= 2, 30000);
    ::kill(static_cast<pid_t>(uvq.processId()), signal);
    const Result r = uvq.finish();
    EXPECT_EXIT(r, code);
    const QRegularExpression state(
        "interrupted after (\\d+) of 1025 records: unit 0100 left in loader mode; run program "
        "again");
    const QRegularExpressionMatch match = state.match(json ? r.out : r.err);
    QVERIFY2(match.hasMatch(), qPrintable(Diagnostics(r)));
    QVERIFY(match.captured(1).toInt() > 0 && match.captured(1).toInt() < kImageRecords);
    if (json) {
      QVERIFY(r.out.contains("\"event\":\"result\""));
      QVERIFY(r.out.contains("\"outcome\":\"interrupted\""));
      QVERIFY(r.out.contains("\"event\":\"summary\""));
      QVERIFY(r.out.contains("\"exit_code\":143"));
    } else {
      QVERIFY2(r.out.contains("127.0.5.36: interrupted after"), qPrintable(r.out));
    }
    // Nothing more was sent once the signal came: no reset followed.
    QVERIFY(sim.sync());
    QVERIFY(!sim.output().contains(" cmd 9 "));
  }

  void repliesFromAnotherAddressAreNotTheUnits() {
    // The unit answers locate and capture but no record; a forger on another address
    // acknowledges every record in its place.
    LoopbackPeer unit("127.0.5.37");
    LoopbackPeer forger("127.0.0.66", 0);
    const QString small = dir_.filePath("small.cry");
    std::atomic<bool> done{false};
    std::atomic<int> forged{0};
    std::thread peer([&] {
      while (!done) {
        const auto pdu = unit.receive(100);
        if (!pdu || pdu->size() < 7) continue;
        const uint8_t command = (*pdu)[6];
        std::vector<uint8_t> reply(20, 0);
        reply[0] = (*pdu)[0];
        reply[1] = (*pdu)[1];
        reply[4] = (*pdu)[4];  // the number it answers
        reply[5] = (*pdu)[5];
        reply[6] = command;
        reply[10] = 0x01;  // unit 0100
        reply[12] = 127, reply[13] = 0, reply[14] = 5, reply[15] = 37;
        if (command == 0 || command == 3) {
          reply[16] = 0x40;  // in loader mode
          unit.reply(reply);
        } else if (command == 4) {
          reply[17] = 0x18;  // record and file done, from the wrong address
          forger.sendTo(unit.lastSender(), reply);
          ++forged;
        }
      }
    });
    const Result r = RunUvq(QStringList{"program", small, "--no-reset", "--target", "127.0.5.37"} +
                            kShortWatchdog);
    done = true;
    peer.join();
    EXPECT_EXIT(r, 4);
    QVERIFY(forged > 0);
    QVERIFY2(r.err.contains("comms timeout while programming"), qPrintable(r.err));
  }

  void scanListsEveryUnitInARange() {
    Sim station("127.0.5.41-127.0.5.43");
    QVERIFY(station.start({"--units", "2"}));
    const Result r =
        RunUvq({"scan", "127.0.5.40-127.0.5.45", "--rate", "200", "--wait-ms", kAnswerWaitMs});
    EXPECT_EXIT(r, 0);
    // Each address has units of its own IDs, from its last two bytes (0529 and 052A at .41).
    for (const int last : {41, 42, 43})
      for (const int unit : {0x0500 + last, 0x0500 + last + 1}) {
        const QString id = QString("%1").arg(unit, 4, 16, QChar('0')).toUpper();
        QVERIFY2(r.out.contains(QString("127.0.5.%1  unit %2  ip ").arg(last).arg(id)),
                 qPrintable(r.out));
      }
    QVERIFY2(r.out.contains("6 units at 3 of 6 addresses"), qPrintable(r.out));
    // Addresses without units are no errors of a scan.
    QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    const Result none = RunUvq({"scan", "127.0.5.46-127.0.5.47", "--wait-ms", "100"});
    EXPECT_EXIT(none, 4);
    QVERIFY(none.out.contains("0 units at 0 of 2 addresses"));
  }

  void unresolvableHostIsANetworkError() {
    // The name lookup must not leave this machine: only run where loopback is all there is.
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
      if (!(i.flags() & QNetworkInterface::IsLoopBack) && (i.flags() & QNetworkInterface::IsUp))
        QSKIP("needs a loopback-only network namespace");
    const Result r = RunUvq({"locate", "--target", "no-such-unit.invalid"});
    EXPECT_EXIT(r, 6);
    // Resolved before anything starts; the failure in the resolver's own words.
    QVERIFY2(r.err.startsWith("uvq: cannot resolve 'no-such-unit.invalid': "), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
  }
};

QTEST_GUILESS_MAIN(CliRunTest)
#include "CliRunTest.moc"
