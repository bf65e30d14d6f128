// SPDX-License-Identifier: Apache-2.0
// Capture against the emulated unit: one unit, three units behind one address, live reboot with
// an access code, replies with a wrong sequence number and bad datagrams around good replies.
// Addresses 127.0.7.1 - 127.0.7.9.

#include <QRegularExpression>

#include "E2eSupport.h"

using namespace uvq::e2e;

class E2eCaptureTest : public QObject {
  Q_OBJECT

 private slots:
  void captureListsTheUnitAndEnds();
  void threeUnitsAreListedSortedAndTheCaptureEnds();
  void liveRebootEntersLoaderModeOnlyWithTheRightCode();
  void replyWithWrongSequenceIsOnlyLogged();
  void badDatagramsAreLoggedAndReceptionGoesOn_data();
  void badDatagramsAreLoggedAndReceptionGoesOn();
};

void E2eCaptureTest::captureListsTheUnitAndEnds() {
  Sim sim(QStringLiteral("127.0.7.1"));
  QVERIFY2(sim.start({QStringLiteral("--id"), QStringLiteral("0A5C")}), qPrintable(sim.errors()));
  Loader loader(QStringLiteral("127.0.7.1"));

  QVERIFY2(loader.capture(), qPrintable(loader.logText()));
  QCOMPARE(loader.captureCaption(), QStringLiteral("Capture"));
  QVERIFY(loader.logHas(QStringLiteral("UVQ ID:              0A5C")));
  QVERIFY(loader.logHas(QStringLiteral("IP address:          127.0.7.1")));
  QVERIFY(loader.logHasPair(QStringLiteral("UVQ Status:          4000"),
                            QStringLiteral("  in loader mode")));
  QVERIFY(loader.logHas(QStringLiteral("Control PDU Seq #:   0")));
  auto* selector = loader.widget<QComboBox>("CUVQselect");
  QCOMPARE(selector->count(), 1);
  QCOMPARE(selector->currentText(), QStringLiteral("0A5C"));
  QVERIFY(!loader.timer().isActive());
  QVERIFY(!loader.widget("StopCapture")->isEnabled());
  QVERIFY(loader.widget("BErase")->isEnabled());
  QVERIFY(sim.sync());
  QCOMPARE(sim.count(QStringLiteral(" cmd 3 ")), 1);  // one capture was enough
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eCaptureTest::threeUnitsAreListedSortedAndTheCaptureEnds() {
  Sim sim(QStringLiteral("127.0.7.2"));
  QVERIFY(sim.start({QStringLiteral("--units"), QStringLiteral("3"), QStringLiteral("--id"),
                     QStringLiteral("0100")}));
  Loader loader(QStringLiteral("127.0.7.2"));

  QVERIFY(loader.capture());
  auto* selector = loader.widget<QComboBox>("CUVQselect");
  QTRY_COMPARE_WITH_TIMEOUT(selector->count(), 3, 30000);
  QCOMPARE(selector->itemText(0), QStringLiteral("0100"));
  QCOMPARE(selector->itemText(1), QStringLiteral("0101"));
  QCOMPARE(selector->itemText(2), QStringLiteral("0102"));
  for (const char* ip : {"127.0.7.2", "127.0.7.3", "127.0.7.4"})
    QVERIFY2(loader.logHas(QStringLiteral("IP address:          ") + QLatin1String(ip)), ip);
  QCOMPARE(loader.captureCaption(), QStringLiteral("Capture"));
  QVERIFY(!loader.timer().isActive());
  QVERIFY(sim.sync());                                // no capture follows the answers
  QCOMPARE(sim.count(QStringLiteral(" cmd 3 ")), 3);  // one capture, answered by three units
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eCaptureTest::liveRebootEntersLoaderModeOnlyWithTheRightCode() {
  Sim sim(QStringLiteral("127.0.7.3"));
  QVERIFY(sim.start({QStringLiteral("--access-code"), QStringLiteral("Open sesame"),
                     QStringLiteral("--capture-needs-code")}));
  Loader loader(QStringLiteral("127.0.7.3"));
  auto* code = loader.widget<QLineEdit>("Edit1");

  // A plain capture is answered, but the running unit stays out of loader mode.
  loader.click("BLDR_Mode");
  QTRY_VERIFY_WITH_TIMEOUT(loader.logHas(QStringLiteral("UVQ Status:          0000")), 30000);
  QVERIFY(!loader.service().loaderMode());
  QVERIFY(loader.captureCaption() != QStringLiteral("Capture"));  // still counting down
  QCOMPARE(loader.timer().role(), uvq::TimerRole::DiscoverySupervisor);
  loader.click("StopCapture");
  QCOMPARE(loader.captureCaption(), QStringLiteral("Capture"));

  // The wrong code: the reboot is sent and answered, loader mode is not reached.
  code->setText(QStringLiteral("open sesame"));
  loader.widget<QPushButton>("Button1")->click();  // clear the log
  loader.click("CapturewCode");
  QVERIFY(loader.logHas(QStringLiteral("Sending Reboot Command - Click Capture Next")));
  QTRY_VERIFY_WITH_TIMEOUT(loader.logHas(QStringLiteral("UVQ Status:          0000")), 30000);
  QVERIFY(!loader.logHas(QStringLiteral("  in loader mode")));
  loader.click("BLDR_Mode");
  // The capture is answered, and the window has taken the answer (its repeats every half
  // second may have followed meanwhile on a slow machine).
  QTRY_VERIFY_WITH_TIMEOUT(sim.count(QStringLiteral(" cmd 3 ")) >= 3, 30000);
  QTRY_VERIFY_WITH_TIMEOUT(loader.log().count(QStringLiteral("UVQ Status:          0000")) >= 2,
                           30000);
  QVERIFY(!loader.service().loaderMode());
  QVERIFY(!loader.logHas(QStringLiteral("  in loader mode")));
  loader.click("StopCapture");

  // The right code, then Capture: loader mode.
  code->clear();
  QTest::keyClicks(code, QStringLiteral("Open sesame"));
  loader.click("CapturewCode");
  QTRY_VERIFY_WITH_TIMEOUT(loader.logHas(QStringLiteral("  in loader mode")), 30000);
  QVERIFY(loader.capture());
  QVERIFY(loader.widget("BErase")->isEnabled());
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eCaptureTest::replyWithWrongSequenceIsOnlyLogged() {
  Sim sim(QStringLiteral("127.0.7.4"));
  QVERIFY(sim.start({QStringLiteral("--wrong-seq"), QStringLiteral("1")}));
  Loader loader(QStringLiteral("127.0.7.4"));

  loader.click("BLDR_Mode");
  const QRegularExpression outOfSequence(
      QStringLiteral("^\\*\\*ERROR Out of Sequence Control PDU Seq: (\\d+)$"));
  QTRY_VERIFY_WITH_TIMEOUT(loader.log().indexOf(outOfSequence) >= 0, 30000);
  const QRegularExpressionMatch match = outOfSequence.match(loader.log().at(0));
  QVERIFY2(match.hasMatch(), qPrintable(loader.logText()));
  QVERIFY(match.captured(1).toInt() != 0);  // the capture went out as number 0
  // Nothing else: no report, no unit listed, still in the capture, not in loader mode. The
  // capture is repeated every half second until stopped, so on a slow machine a repeat and its
  // answer may have come meanwhile: each gives the same one line.
  for (const QString& line : loader.log())
    QVERIFY2(outOfSequence.match(line).hasMatch(), qPrintable(loader.logText()));
  QCOMPARE(loader.widget<QComboBox>("CUVQselect")->count(), 0);
  QVERIFY(!loader.service().loaderMode());
  bool counting = false;
  const int attemptsLeft = loader.captureCaption().toInt(&counting);
  QVERIFY2(counting && attemptsLeft >= 0 && attemptsLeft <= 149,
           qPrintable(loader.captureCaption()));
  QCOMPARE(loader.timer().role(), uvq::TimerRole::DiscoverySupervisor);
  QVERIFY(loader.timer().isActive());
  loader.click("StopCapture");
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eCaptureTest::badDatagramsAreLoggedAndReceptionGoesOn_data() {
  QTest::addColumn<QString>("address");
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("problemLine");
  QTest::newRow("over-long") << QStringLiteral("127.0.7.5") << QStringLiteral("over-long")
                             << QStringLiteral("Datagram dropped: Message too long (300 bytes)");
  QTest::newRow("zero-length") << QStringLiteral("127.0.7.6") << QStringLiteral("zero")
                               << QStringLiteral("Datagram dropped: UDP Receive Error = 0.");
  QTest::newRow("short") << QStringLiteral("127.0.7.7") << QStringLiteral("short")
                         << QStringLiteral(
                                "Short reply of 10 bytes set aside (a status reply has at least "
                                "19)");
}

void E2eCaptureTest::badDatagramsAreLoggedAndReceptionGoesOn() {
  QFETCH(QString, address);
  QFETCH(QString, kind);
  QFETCH(QString, problemLine);
  Sim sim(address);
  QVERIFY(sim.start({QStringLiteral("--garbage"), kind}));
  Loader loader(address);

  // Each reply follows a bad datagram; the capture's reply is still handled.
  QVERIFY2(loader.capture(), qPrintable(loader.logText()));
  QTRY_VERIFY2_WITH_TIMEOUT(loader.logHas(problemLine), qPrintable(loader.logText()), 30000);
  QVERIFY(loader.log().indexOf(problemLine) <
          loader.log().indexOf(QStringLiteral("  in loader mode")));

  // And so is the next one: an erase is answered after another bad datagram (a repeat of the
  // same problem within a short while is counted rather than logged again).
  loader.widget<QPushButton>("BErase")->click();
  QTRY_VERIFY2_WITH_TIMEOUT(loader.logHas(QStringLiteral("Device Erased")),
                            qPrintable(loader.logText()), 30000);
  QVERIFY(sim.sync());
  QCOMPARE(sim.count(QStringLiteral(" cmd 6 ")), 1);
  QCOMPARE(loader.errorBoxes(), 0);
}

QTEST_MAIN(E2eCaptureTest)
#include "E2eCaptureTest.moc"
