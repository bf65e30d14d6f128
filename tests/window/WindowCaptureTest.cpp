// SPDX-License-Identifier: Apache-2.0
// Capture through the real widgets against a unit played on loopback: what goes on the wire,
// what the window shows, the timer's handler, the selector and closing during a hand-over.

#include <QElapsedTimer>
#include <QTemporaryFile>

#include <QThread>
#include "link/UdpLink.h"

#include "WindowTestSupport.h"
#include "window/QtSharedTimer.h"

using namespace uvq::window;
using namespace uvq::window::test;

namespace {

constexpr uint16_t kLoaderMode = 0x4000;
constexpr uint8_t kCaptureType = 3;

QByteArray CapturePdu(uint16_t sequence) {
  const char bytes[] = {'\x5A',
                        '\xA5',
                        0,
                        0,
                        static_cast<char>(sequence >> 8),
                        static_cast<char>(sequence & 0xFF),
                        kCaptureType};
  return QByteArray(bytes, sizeof bytes);
}

}  // namespace

class WindowCaptureTest : public QObject {
  Q_OBJECT

 private slots:
  void captureRoundTripThroughTheWidgets();
  void timerHandlerSendsTheNextCapture();
  void selectorPicksAndEditsReachTheEngine();
  void closeCompletesAPendingHandOver();
  void destroyingWithTheSelectorFocusedReachesNoEngine();
  void liveRebootSendsTheTypedAccessCode();
  void fileButtonHandsTheChosenFileToTheEngine();
  void aFailureWhileHandlingAReplyIsLoggedAndReceptionGoesOn();
};

void WindowCaptureTest::captureRoundTripThroughTheWidgets() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.21")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.21"), tone);
  QSignalSpy errors(form.get(), &TForm1::errorShown);
  form->show();
  auto* capture = Child<QPushButton>(*form, "BLDR_Mode");

  QTest::mouseClick(capture, Qt::LeftButton, {}, capture->rect().center());
  const QNetworkDatagram pdu = unit.next();
  QCOMPARE(pdu.data(), CapturePdu(0));
  QCOMPARE(unit.lastPort(), form->localPort());
  QVERIFY(!unit.hasPending());
  QCOMPARE(capture->text(), QStringLiteral("149"));
  QVERIFY(Child<QPushButton>(*form, "StopCapture")->isEnabled());
  QVERIFY(form->timer1().isActive());

  unit.answer(StatusReply(0, kCaptureType, 0x12AB, {127, 0, 4, 21}, kLoaderMode));
  QTRY_COMPARE(capture->text(), QStringLiteral("Capture"));
  const QStringList lines = LogLines(*form);
  QVERIFY2(lines.contains(QStringLiteral("UVQ ID:              12AB")),
           qPrintable(lines.join('|')));
  QVERIFY(lines.contains(QStringLiteral("IP address:          127.0.4.21")));
  QVERIFY(lines.contains(QStringLiteral("  in loader mode")));
  QVERIFY(lines.contains(QStringLiteral("Control PDU Seq #:   0")));
  QVERIFY(!form->timer1().isActive());
  QVERIFY(form->service().loaderMode());
  QCOMPARE(form->service().registry().selector().text(), std::string("12AB"));
  auto* selector = Child<QComboBox>(*form, "CUVQselect");
  QCOMPARE(selector->count(), 1);
  QCOMPARE(selector->currentText(), QStringLiteral("12AB"));
  QCOMPARE(errors.count(), 0);
}

void WindowCaptureTest::timerHandlerSendsTheNextCapture() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.22")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.22"), tone);
  form->show();
  auto* capture = Child<QPushButton>(*form, "BLDR_Mode");
  QTest::mouseClick(capture, Qt::LeftButton);
  QCOMPARE(unit.next().data(), CapturePdu(0));

  QtSharedTimer& timer = form->sharedTimer();
  QCOMPARE(timer.role(), uvq::TimerRole::DiscoverySupervisor);
  QCOMPARE(timer.interval(), 500);
  QVERIFY(timer.isActive());

  timer.tick();  // what the half-second timeout runs, without the wait
  QCOMPARE(unit.next().data(), CapturePdu(1));
  // On a slow machine the real half-second timer may have sent a capture meanwhile too: each
  // capture counts down once (150 attempts, numbered from 0).
  QCOMPARE(capture->text(), QString::number(150 - form->service().pdus().counter()));
  QVERIFY(timer.isActive());

  QTest::mouseClick(Child<QPushButton>(*form, "StopCapture"), Qt::LeftButton);
  QCOMPARE(capture->text(), QStringLiteral("Capture"));
  QVERIFY(!timer.isActive());
  QVERIFY(!Child<QPushButton>(*form, "StopCapture")->isEnabled());
  // Loopback delivers a datagram as it is sent, so every capture sent before the stop is in
  // the unit's socket already; nothing follows them.
  const uint16_t sent = form->service().pdus().counter();
  for (uint16_t number = 2; number < sent; ++number)
    QCOMPARE(unit.next().data(), CapturePdu(number));
  QVERIFY(!unit.hasPending());
}

void WindowCaptureTest::selectorPicksAndEditsReachTheEngine() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.23")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.23"), tone);
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));
  QTest::mouseClick(Child<QPushButton>(*form, "BLDR_Mode"), Qt::LeftButton);
  QCOMPARE(unit.next().data(), CapturePdu(0));
  // Two units answer the same capture; both are listed, in sorted order.
  unit.answer(StatusReply(0, kCaptureType, 0x12AB, {127, 0, 4, 23}, kLoaderMode));
  unit.answer(StatusReply(0, kCaptureType, 0x0042, {127, 0, 4, 99}, 0));
  auto* combo = Child<QComboBox>(*form, "CUVQselect");
  QTRY_COMPARE(combo->count(), 2);
  QCOMPARE(combo->itemText(0), QStringLiteral("0042"));
  QCOMPARE(combo->itemText(1), QStringLiteral("12AB"));
  const auto& registry = form->service().registry();
  QCOMPARE(combo->currentText(), QString::fromStdString(registry.selector().text()));

  // An arrow key picks the neighbouring item and the engine follows.
  combo->setFocus();
  combo->setCurrentIndex(1);
  QTest::keyClick(combo, Qt::Key_Up);
  QCOMPARE(registry.selector().currentIndex(), 0);
  QCOMPARE(registry.selector().text(), std::string("0042"));
  QVERIFY(registry.selectedUnit());
  QCOMPARE(registry.selectedUnit()->value(), uint16_t{0x0042});

  // Typing names a unit by its text.
  combo->lineEdit()->selectAll();
  QTest::keyClicks(combo->lineEdit(), QStringLiteral("12ab"));
  QCOMPARE(registry.selector().text(), std::string("12ab"));
  QVERIFY(registry.selectedUnit());
  QCOMPARE(registry.selectedUnit()->value(), uint16_t{0x12AB});
  QCOMPARE(combo->currentText(), QStringLiteral("12ab"));
}

void WindowCaptureTest::closeCompletesAPendingHandOver() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.24")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.24"), tone);
  form->show();
  QTest::mouseClick(Child<QPushButton>(*form, "BLDR_Mode"), Qt::LeftButton);
  QCOMPARE(unit.next().data(), CapturePdu(0));

  // The latest capture is answered (on a slow machine the half-second timer may have sent one
  // more by now).
  const auto latest = static_cast<uint16_t>(form->service().pdus().counter() - 1);
  unit.answer(StatusReply(latest, kCaptureType, 0x12AB, {127, 0, 4, 24}, kLoaderMode));
  // No events run here: the receive thread takes the reply from the socket and waits for the
  // window to take it.
  const int socket = form->link().socketHandle();
  QVERIFY(WaitUntilRead(socket));
  QVERIFY(!LogLines(*form).contains(QStringLiteral("  in loader mode")));

  // The stop waits at most the receive time-out; the bound only tells a hang from a slow
  // machine.
  QElapsedTimer closing;
  closing.start();
  QVERIFY(form->close());
  const qint64 closeMs = closing.elapsed();
  QVERIFY2(closeMs < 20000, qPrintable(QString::number(closeMs)));
  QVERIFY(LogLines(*form).contains(QStringLiteral("  in loader mode")));

  // Reception has ended: a later reply stays in the socket, unread and unhandled.
  const int linesAfterClose = LogLines(*form).size();
  unit.answer(StatusReply(latest, kCaptureType, 0x12AB, {127, 0, 4, 24}, kLoaderMode));
  QCoreApplication::processEvents();
  QCOMPARE(LogLines(*form).size(), linesAfterClose);
  QVERIFY(PendingBytes(socket) > 0);
}

void WindowCaptureTest::destroyingWithTheSelectorFocusedReachesNoEngine() {
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.25"), tone);
  form->show();
  QApplication::setActiveWindow(form.get());
  QVERIFY(QTest::qWaitForWindowActive(form.get()));
  form->service().registry().selector().add("0042");
  form->service().registry().selector().add("12AB");
  auto* combo = Child<QComboBox>(*form, "CUVQselect");
  combo->setFocus();
  QTest::keyClicks(combo->lineEdit(), QStringLiteral("12"));
  // The field shows what was typed, as the service holds it: no completion to "12AB".
  QCOMPARE(combo->lineEdit()->text(), QStringLiteral("12"));
  QCOMPARE(form->service().registry().selector().text(), std::string("12"));
  QVERIFY(combo->lineEdit()->hasFocus());

  // Closing moves the focus out of the selector. Nothing is picked on the operator's behalf,
  // and nothing the widgets signal while they go may reach the service after its end.
  int picksWhileClosing = 0;
  QObject observer;
  connect(combo, &QComboBox::activated, &observer, [&] { ++picksWhileClosing; });
  form.reset();
  QCOMPARE(picksWhileClosing, 0);
}

void WindowCaptureTest::liveRebootSendsTheTypedAccessCode() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.26")));
  SilentTone tone;
  auto form = MakeForm(QStringLiteral("127.0.4.26"), tone);
  form->show();
  Child<QLineEdit>(*form, "Edit1")->setText(QString::fromUtf8("T\u00fcr7"));
  QTest::mouseClick(Child<QPushButton>(*form, "CapturewCode"), Qt::LeftButton);
  // The code travels one byte per character: the window hands it over as UTF-8, not as bytes
  // of some local encoding.
  QCOMPARE(unit.next().data(), CapturePdu(0) + QByteArray("T\xFCr7"));
  QVERIFY(LogLines(*form).contains(QStringLiteral("Sending Reboot Command - Click Capture Next")));
}

void WindowCaptureTest::fileButtonHandsTheChosenFileToTheEngine() {
  SilentTone tone;
  int asked = 0;
  FormOptions options;
  options.targetHost = "127.0.4.27";
  options.tone = &tone;
  options.chooseFile = [&] {
    ++asked;
    return std::optional<std::string>("/no/such/dir/new image.cry");
  };
  TForm1 form(std::move(options));
  form.show();
  QTest::mouseClick(Child<QPushButton>(form, "BSource"), Qt::LeftButton);
  QCOMPARE(asked, 1);
  QCOMPARE(Child<QLineEdit>(form, "ESource")->text(), QStringLiteral("/no/such/dir/new image.cry"));
  QVERIFY(form.service().sourceSelected());
  QVERIFY(!Child<QPushButton>(form, "BProgram")->isEnabled());  // not in loader mode yet
}

QTEST_MAIN(WindowCaptureTest)
#include "WindowCaptureTest.moc"

void WindowCaptureTest::aFailureWhileHandlingAReplyIsLoggedAndReceptionGoesOn() {
  UnitSocket unit;
  QVERIFY(unit.bind(QStringLiteral("127.0.4.29")));
  QTemporaryFile image;
  QVERIFY(image.open());
  image.write(QByteArray(24, '\x11'));  // one record: its answer completes the run
  image.flush();
  SilentTone tone;
  FormOptions options;
  options.targetHost = "127.0.4.29";
  options.tone = &tone;
  options.chooseFile = [&] { return std::optional<std::string>(image.fileName().toStdString()); };
  TForm1 form(std::move(options));
  QSignalSpy errors(&form, &TForm1::errorShown);

  Child<QPushButton>(form, "BLDR_Mode")->click();
  unit.next();
  unit.answer(StatusReply(0, kCaptureType, 0x0102, {127, 0, 4, 29}, kLoaderMode));
  QTRY_VERIFY(form.service().loaderMode());
  Child<QPushButton>(form, "BSource")->click();
  Child<QPushButton>(form, "BProgram")->click();
  QCOMPARE(unit.next().data().size(), 31);

  // The automatic reset after the run cannot be sent: a name that no lookup can resolve.
  form.link().setHost(std::string(70, 'x'));
  unit.answer(StatusReply(0, 4, 0x0102, {127, 0, 4, 29}, kLoaderMode));
  QTRY_VERIFY(LogLines(form).join('|').contains(QStringLiteral("Reply handling failed: ")));
  QCOMPARE(errors.count(), 0);  // logged, not shown in a box

  // Reception goes on: the next datagram is still handled.
  unit.answer(StatusReply(7, 4, 0x0102, {127, 0, 4, 29}, kLoaderMode));
  QTRY_VERIFY(
      LogLines(form).contains(QStringLiteral("**ERROR Out of Sequence Control PDU Seq: 7")));
}
