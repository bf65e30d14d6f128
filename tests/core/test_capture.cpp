// SPDX-License-Identifier: Apache-2.0
// Capture counts down on its button, repeats on the shared timer and ends on a loader-mode
// reply, on Stop Capture or after 150 unanswered requests; Live Reboot and Locate New.
#include <QtTest>

#include "WindowHarness.h"

using namespace uvq;
using namespace uvq::test;

class Capture : public QObject {
  Q_OBJECT
 private slots:
  void firstClickEmptiesTheSelectorAndSendsToUnitZero() {
    Harness h;
    h.registerUnit(0x0102, 0x0000);
    h.link.sent.clear();
    const uint16_t seq = h.engine.pdus().counter();
    h.engine.BLDR_ModeClick();
    QCOMPARE(h.engine.registry().count(), 0);
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("149"));
    QVERIFY(h.enabled(ControlId::StopCapture));
    QCOMPARE(h.link.sent,
             (std::vector<Bytes>{{0x5A, 0xA5, 0, 0, uint8_t(seq >> 8), uint8_t(seq), 3}}));
    QCOMPARE(h.timer.role, TimerRole::DiscoverySupervisor);
    QCOMPARE(h.timer.interval, 500);
    QVERIFY(h.timer.enabled);
    QVERIFY(h.engine.pdus().addressed() == (protocol::UvqId{1, 2}));  // left as it was
  }

  void unansweredCaptureTimesOutAfter150Requests() {
    Harness h;
    h.engine.BLDR_ModeClick();
    for (int i = 0; i < 149; ++i) h.fire();
    QCOMPARE(h.link.sent.size(), size_t(150));
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("0"));
    QVERIFY(h.log.lines.empty());
    h.fire();
    QCOMPARE(h.link.sent.size(), size_t(150));  // no 151st request
    QCOMPARE(h.log.lines, (std::vector<std::string>{"Capture Timeout"}));
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("Capture"));
    QVERIFY(!h.enabled(ControlId::StopCapture));
    QVERIFY(!h.timer.enabled);
  }

  void stopCaptureReturnsToIdleAndTheNextClickStartsAfresh() {
    Harness h;
    h.engine.BLDR_ModeClick();
    h.fire();
    h.engine.StopCaptureClick();
    QVERIFY(!h.timer.enabled);
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("Capture"));
    h.engine.BLDR_ModeClick();
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("149"));
  }

  void aClickDuringCaptureMakesAnExtraAttempt() {
    Harness h;
    h.engine.BLDR_ModeClick();
    for (int i = 0; i < 29; ++i) h.fire();
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("120"));
    h.registerUnit(0x0102, 0x0000);  // an unanswered unit is listed meanwhile
    h.engine.BLDR_ModeClick();
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("119"));
    QCOMPARE(h.engine.registry().count(), 1);        // not a new capture: nothing emptied
    QCOMPARE(h.link.sent.back()[2], uint8_t(0x01));  // addressed to the selected unit
  }

  void loaderModeReplyEndsTheCapture() {
    Harness h;
    h.engine.BSourceClick(std::optional<std::string>("fw.cry"));
    h.engine.BLDR_ModeClick();
    h.fire();
    h.answer(3, 0x0102, 0x4000);
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("Capture"));
    QCOMPARE(h.engine.captureAttempts(), uint16_t(0));
    QVERIFY(!h.timer.enabled);
    QVERIFY(!h.enabled(ControlId::StopCapture));
    QVERIFY(h.enabled(ControlId::BProgram));
    QCOMPARE(h.log.lines.back(), std::string("______________________________________"));
  }

  void replyWithoutLoaderModeLeavesTheCaptureRunning() {
    Harness h;
    h.engine.BLDR_ModeClick();
    h.answer(3, 0x0102, 0x0000);
    QVERIFY(h.timer.enabled);
    QCOMPARE(h.timer.role, TimerRole::DiscoverySupervisor);
    h.fire();  // next request addressed to the unit that answered
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 1, 3}));
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("148"));
  }

  void liveRebootSendsTheAccessCodeAndLeavesTheCaptureAlone() {
    Harness h;
    h.engine.CapturewCodeClick("abc");
    QCOMPARE(h.log.lines,
             (std::vector<std::string>{"Sending Reboot Command - Click Capture Next", ""}));
    QCOMPARE(h.link.sent, (std::vector<Bytes>{{0x5A, 0xA5, 0, 0, 0, 0, 3, 'a', 'b', 'c'}}));
    QCOMPARE(h.timer.armings, 0);
    QCOMPARE(h.controls.text(ControlId::BLDR_Mode), std::string("Capture"));
    h.engine.CapturewCodeClick("");
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 0, 0, 0, 1, 3}));
  }

  void anAccessCodeThatCannotBeSentIsRefusedWithOneLine() {
    Harness h;
    h.engine.CapturewCodeClick(std::string(250, 'k'));
    h.engine.CapturewCodeClick("\xE2\x82\xAC");
    QVERIFY(h.link.sent.empty());
    QCOMPARE(h.log.lines.size(), size_t(2));
    QVERIFY(h.log.lines[0].starts_with("Access code refused: longer than 249 bytes"));
    QVERIFY(h.log.lines[1].starts_with("Access code refused: a character is outside"));
    QCOMPARE(h.engine.pdus().counter(), uint16_t(0));
  }

  void locateEmptiesTheSelectorAndSendsUnitZero() {
    Harness h;
    h.registerUnit(0x0102);
    h.engine.BResetUVQClick();
    h.engine.LocateClick();
    QCOMPARE(h.engine.registry().count(), 0);
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 0, 0, 0, 2, 0}));
    QVERIFY(h.engine.pdus().addressed() == (protocol::UvqId{1, 2}));
  }
};

QTEST_GUILESS_MAIN(Capture)
#include "test_capture.moc"
