// SPDX-License-Identifier: Apache-2.0
// Programming runs and erases against the emulated unit: images that arrive intact over a lossy
// wire, the two ways a run is aborted, and erase with and without an answer.
// Addresses 127.0.7.10 - 127.0.7.19.

#include "E2eSupport.h"
#include "locks/UnitLock.h"

using namespace uvq::e2e;

namespace {
const QString kCompletedCaption = QStringLiteral("Ethernet Loader - Programing Completed");
}

class E2eProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void imageArrivesIntactOverALossyWire_data();
  void imageArrivesIntactOverALossyWire();
  void recordErrorAbortsTheRun();
  void unitOutOfLoaderModeAbortsTheRun();
  void eraseAnsweredIsReported();
  void eraseUnansweredIsReportedByItsWatchdog();
  void captureDuringARunEndsTheRunFirst();
  void unitLockedElsewhereIsRefused();
};

void E2eProgramTest::imageArrivesIntactOverALossyWire_data() {
  QTest::addColumn<QString>("address");
  QTest::addColumn<int>("size");
  QTest::addColumn<QString>("seed");
  // 4 KiB is whole 16-byte records; 1007 bytes ends in a short one.
  QTest::newRow("4 KiB") << QStringLiteral("127.0.7.10") << 4096 << QStringLiteral("7");
  QTest::newRow("1007 bytes") << QStringLiteral("127.0.7.11") << 1007 << QStringLiteral("11");
}

void E2eProgramTest::imageArrivesIntactOverALossyWire() {
  QFETCH(QString, address);
  QFETCH(int, size);
  QFETCH(QString, seed);
  QTemporaryDir dir;
  const QByteArray binary = RandomBinary(size, static_cast<quint32>(size));
  const QString image = MakeImage(dir, QStringLiteral("image"), binary);
  QVERIFY(!image.isEmpty());
  const QString dump = dir.filePath(QStringLiteral("memory.bin"));
  Sim sim(address);
  QVERIFY2(sim.start({QStringLiteral("--expect"), dir.filePath(QStringLiteral("image.bin")),
                      QStringLiteral("--dump-memory"), dump, QStringLiteral("--drop"),
                      QStringLiteral("0.1"), QStringLiteral("--duplicate"), QStringLiteral("0.1"),
                      QStringLiteral("--jitter-ms"), QStringLiteral("2"), QStringLiteral("--seed"),
                      seed}),
           qPrintable(sim.errors()));
  Loader loader(address);

  QVERIFY(loader.capture());
  loader.choose(image);
  QCOMPARE(loader.widget<QLineEdit>("ESource")->text(), image);
  QVERIFY(loader.widget("BProgram")->isEnabled());
  QVERIFY2(loader.program(60000, &sim), qPrintable(loader.logText()));

  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n")), qPrintable(sim.output().right(2000)));
  // A resent end record (its answer lost or late) is checked again: every verdict must be OK.
  QCOMPARE(sim.count(QStringLiteral("IMAGE MISMATCH")), 0);
  QCOMPARE(ReadFile(dump), binary);
  QVERIFY(loader.events.outcome == uvq::RunEnd::Complete);
  QCOMPARE(loader.caption(), kCompletedCaption);
  QVERIFY2(loader.logHas(QStringLiteral("Programming Complete")), qPrintable(loader.logText()));
  QVERIFY(loader.logHas(QStringLiteral("  finished programing file")));
  // The wire did lose replies: the run got over them by resending.
  QVERIFY(sim.count(QStringLiteral("[dropped]")) > 0);
  QVERIFY(!loader.service().fileOpen());
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eProgramTest::recordErrorAbortsTheRun() {
  QTemporaryDir dir;
  const QString image = MakeImage(dir, QStringLiteral("image"), RandomBinary(4096, 3));
  QVERIFY(!image.isEmpty());
  Sim sim(QStringLiteral("127.0.7.12"));
  QVERIFY(sim.start({QStringLiteral("--error-bits"), QStringLiteral("0x0840"),
                     QStringLiteral("--error-record"), QStringLiteral("3")}));
  Loader loader(QStringLiteral("127.0.7.12"));
  QVERIFY(loader.capture());
  loader.choose(image);

  QVERIFY(loader.program());
  const QStringList log = loader.log();
  const qsizetype error = log.indexOf(QStringLiteral("ERROR - Error during Programming"));
  QVERIFY2(error >= 0, qPrintable(loader.logText()));
  QCOMPARE(log.mid(error + 1, 3), (QStringList{QStringLiteral("  record frame length error"),
                                               QStringLiteral("  record checksum error"),
                                               QStringLiteral("  Programming Aborted")}));
  QVERIFY(!loader.service().fileOpen());
  QVERIFY(!loader.timer().isActive());
  QVERIFY(loader.caption() != kCompletedCaption);
  QVERIFY(loader.events.outcome == uvq::RunEnd::RecordError);
  // The third record was the last: nothing follows the refusal.
  QVERIFY(sim.sync());
  QCOMPARE(sim.count(QStringLiteral(" cmd 4 ")), 3);
  QCOMPARE(sim.count(QStringLiteral("IMAGE")), 0);
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eProgramTest::unitOutOfLoaderModeAbortsTheRun() {
  QTemporaryDir dir;
  const QString image = MakeImage(dir, QStringLiteral("image"), RandomBinary(512, 4));
  QVERIFY(!image.isEmpty());
  Loader loader(QStringLiteral("127.0.7.13"));
  {
    Sim captured(QStringLiteral("127.0.7.13"));
    QVERIFY(captured.start());
    QVERIFY(loader.capture());
  }
  // The unit restarted into its application after the capture.
  Sim restarted(QStringLiteral("127.0.7.13"));
  QVERIFY(restarted.start());
  loader.choose(image);

  QVERIFY(loader.program());
  QVERIFY2(loader.logHasPair(QStringLiteral("ERROR - System not in Loader Mode"),
                             QStringLiteral("  Programming Aborted")),
           qPrintable(loader.logText()));
  QVERIFY(loader.logHas(QStringLiteral("  LDR command while not in LDR_Mode")));
  QVERIFY(!loader.service().fileOpen());
  QVERIFY(!loader.service().loaderMode());
  QVERIFY(!loader.widget("BProgram")->isEnabled());
  QVERIFY(restarted.sync());
  QCOMPARE(restarted.count(QStringLiteral(" cmd 4 ")), 1);
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eProgramTest::eraseAnsweredIsReported() {
  Sim sim(QStringLiteral("127.0.7.14"));
  QVERIFY(sim.start({QStringLiteral("--erase-delay-ms"), QStringLiteral("20")}));
  Loader loader(QStringLiteral("127.0.7.14"));
  QVERIFY(loader.capture());

  struct Erase {
    const char* button;
    const char* outcome;
    const char* command;
  };
  for (const Erase& erase : {Erase{"BErase", "Device Erased", " cmd 6 "},
                             Erase{"BErasePRG", "PGM Memory Only Erased", " cmd 7 "},
                             Erase{"BEraseEE", "EEPROM Erased", " cmd 8 "}}) {
    loader.widget<QPushButton>("Button1")->click();
    // The erase buttons sit behind the log; the keyboard reaches them, click() stands in.
    loader.widget(erase.button)->click();
    QCOMPARE(loader.timer().role(), uvq::TimerRole::CatchEraseError);
    QVERIFY(loader.timer().isActive());
    QVERIFY(!loader.widget("BErase")->isEnabled());  // busy while the unit erases
    QTRY_VERIFY2_WITH_TIMEOUT(loader.logHasPair(QLatin1String(erase.outcome),
                                                QStringLiteral("UVQ ID:              0100")),
                              qPrintable(loader.logText()), 30000);
    QVERIFY(!loader.timer().isActive());
    QVERIFY(loader.widget("BErase")->isEnabled());
    QVERIFY(sim.sync());
    QCOMPARE(sim.count(QLatin1String(erase.command)), 1);
  }
  QVERIFY(loader.logHas(QStringLiteral("  user code space invalid")));
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eProgramTest::eraseUnansweredIsReportedByItsWatchdog() {
  Sim sim(QStringLiteral("127.0.7.15"));
  QVERIFY(sim.start({QStringLiteral("--erase-delay-ms"), QStringLiteral("600000")}));
  Loader loader(QStringLiteral("127.0.7.15"));
  QVERIFY(loader.capture());

  loader.widget("BErase")->click();
  QTRY_COMPARE_WITH_TIMEOUT(sim.count(QStringLiteral(" cmd 6 ")), 1, 30000);
  QCOMPARE(loader.timer().role(), uvq::TimerRole::CatchEraseError);
  QCOMPARE(loader.timer().interval(), 20000);
  QVERIFY(loader.timer().isActive());
  QVERIFY(!loader.logHas(QStringLiteral("ERROR - No response to ERASE command")));

  loader.timer().tick();  // what the 20 s timeout runs
  QVERIFY(loader.logHas(QStringLiteral("ERROR - No response to ERASE command")));
  QVERIFY(!loader.timer().isActive());
  QVERIFY(!loader.logHas(QStringLiteral("Device Erased")));
  QVERIFY(loader.widget("BErase")->isEnabled());  // ready again
  QCOMPARE(loader.errorBoxes(), 0);
}

// The window and the command line share one lock per unit: a run or an erase on a unit that
// another program holds is refused with one line and nothing is sent; the window's own run
// holds the lock until it ends.
void E2eProgramTest::unitLockedElsewhereIsRefused() {
  QTemporaryDir dir;
  const QString image = MakeImage(dir, QStringLiteral("image"), RandomBinary(2400, 5));
  QVERIFY(!image.isEmpty());
  Sim sim(QStringLiteral("127.0.7.16"));
  QVERIFY(sim.start({}));
  Loader loader(QStringLiteral("127.0.7.16"));
  QVERIFY(loader.capture());
  loader.choose(image);

  std::optional<uvq::locks::UnitLock> elsewhere =
      uvq::locks::TryLockUnit("127.0.7.16", std::nullopt).lock;
  QVERIFY(elsewhere);
  loader.click("BProgram");
  QVERIFY(!loader.service().fileOpen());
  const auto refused = [&] {
    return loader.log().filter(
        QStringLiteral("Unit locked elsewhere, nothing sent: 127.0.7.16 "
                       "(every unit) is in use by "));
  };
  QCOMPARE(refused().size(), 1);
  loader.widget("BErase")->click();
  QCOMPARE(refused().size(), 2);
  QVERIFY(!loader.timer().isActive());

  elsewhere.reset();
  bool heldDuringRun = false;
  QVERIFY(loader.program(30000, nullptr, 20, [&] {
    heldDuringRun = !uvq::locks::TryLockUnit("127.0.7.16", std::nullopt).lock;
  }));
  QVERIFY(heldDuringRun);
  QTRY_VERIFY_WITH_TIMEOUT(sim.count(QStringLiteral(" cmd 4 ")) >= 100, 10000);
  QCOMPARE(sim.count(QStringLiteral(" cmd 6 ")), 0);  // the refused erase never went out
  QVERIFY(uvq::locks::TryLockUnit("127.0.7.16", std::nullopt).lock);  // released at the end
}

void E2eProgramTest::captureDuringARunEndsTheRunFirst() {
  QTemporaryDir dir;
  const QByteArray binary = RandomBinary(16 * 1024, 17);
  const QString image = MakeImage(dir, QStringLiteral("image"), binary);
  QVERIFY(!image.isEmpty());
  Sim sim(QStringLiteral("127.0.7.17"));
  QVERIFY(sim.start({QStringLiteral("--quiet"), QStringLiteral("--expect"),
                     dir.filePath(QStringLiteral("image.bin")), QStringLiteral("--delay-ms"),
                     QStringLiteral("1")}));
  Loader loader(QStringLiteral("127.0.7.17"));
  QVERIFY(loader.capture());
  loader.choose(image);

  // Capture is clicked part-way through the run (Capture stays usable while it is busy).
  bool capturedMidRun = false;
  QVERIFY(loader.program(60000, nullptr, 50, [&] { capturedMidRun = loader.capture(); }));
  QVERIFY2(capturedMidRun, qPrintable(loader.logText()));
  QVERIFY(loader.events.outcome == uvq::RunEnd::Stopped);
  const QStringList stopped =
      loader.log().filter(QStringLiteral("Programming stopped by Capture: "));
  QCOMPARE(stopped.size(), 1);
  QVERIFY2(stopped.front().endsWith(QStringLiteral(" of 1025 records written")),
           qPrintable(stopped.front()));
  QVERIFY(!loader.logHas(QStringLiteral("Programming Complete")));

  // The unit is in loader mode again, and a new run writes the whole image.
  QVERIFY2(loader.program(), qPrintable(loader.logText()));
  QVERIFY(loader.events.outcome == uvq::RunEnd::Complete);
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n"), 10000),
           qPrintable(sim.output().right(2000)));
  QCOMPARE(loader.errorBoxes(), 0);
}

QTEST_MAIN(E2eProgramTest)
#include "E2eProgramTest.moc"
