// SPDX-License-Identifier: Apache-2.0
// Erase under its watchdog, reset, Clear UVQ and changing a unit's address.
#include <QtTest>

#include "WindowHarness.h"

using namespace uvq;
using namespace uvq::test;

class Maintenance : public QObject {
  Q_OBJECT
 private slots:
  void eraseSendsItsCodeGoesBusyAndTimesOut() {
    for (auto [click, code] : {std::pair{&WindowUnderTest::BEraseClick, 6},
                               std::pair{&WindowUnderTest::BEraseEEClick, 8},
                               std::pair{&WindowUnderTest::BErasePRGClick, 7}}) {
      Harness h;
      h.registerUnit(0x0102, 0x4000);
      h.link.sent.clear();
      h.takeLog();
      (h.engine.*click)();
      QCOMPARE(h.link.sent, (std::vector<Bytes>{{0x5A, 0xA5, 1, 2, 0, 1, uint8_t(code)}}));
      QVERIFY(!h.enabled(ControlId::BErase));
      QCOMPARE(h.timer.role, TimerRole::CatchEraseError);
      QCOMPARE(h.timer.interval, 20000);
      h.fire();
      QCOMPARE(h.log.lines, (std::vector<std::string>{"ERROR - No response to ERASE command"}));
      QVERIFY(!h.timer.enabled);
      QVERIFY(h.enabled(ControlId::BErase));
      QVERIFY(!h.engine.loaderMode());
    }
  }

  void commandsWithoutASelectedUnitDoNothing() {
    Harness h;
    h.engine.BEraseClick();
    h.engine.BResetUVQClick();
    h.controls.setText(ControlId::EIPAddr, "10.0.0.5");
    h.controls.setChecked(ControlId::CBIPaddr, true);
    h.engine.BUpdateUVQClick();
    QVERIFY(h.link.sent.empty());
    QCOMPARE(h.engine.pdus().counter(), uint16_t(0));
    QCOMPARE(h.timer.armings, 0);
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string());
    // Each said so as an outcome of its own, not only by sending nothing.
    QVERIFY(h.outcomes.notStarted.size() >= 2);
    for (const NotStarted& why : h.outcomes.notStarted)
      QVERIFY(why.reason == NotStartedReason::NothingSelected);
    QVERIFY(h.outcomes.notStarted[0].operation == ServiceOperation::Erase);
    QVERIFY(h.outcomes.notStarted[1].operation == ServiceOperation::Reset);

    // "Clear UVQ" leaves the buttons as they were; an erase naming no unit then changes nothing.
    h.registerUnit(0x0102, 0x4000);
    h.engine.Button2Click();
    h.link.sent.clear();
    h.engine.BErasePRGClick();
    QVERIFY(h.link.sent.empty());
    QVERIFY(h.enabled(ControlId::BErase));  // no busy state
    QVERIFY(!h.timer.enabled);
  }

  // Outcomes of operations that never began: a second erase while one is under way, a
  // program without an image, a capture answered without loader mode (with its status).
  void operationsThatCannotStartSayWhy() {
    Harness h;
    h.registerUnit(0x0102, 0x4000);
    h.service.erase(EraseKind::Device);
    const size_t sent = h.link.sent.size();
    h.service.erase(EraseKind::Data);
    QCOMPARE(h.link.sent.size(), sent);
    QVERIFY(!h.outcomes.notStarted.empty());
    QVERIFY(h.outcomes.notStarted.back().reason == NotStartedReason::Busy);
    h.fire();  // the first erase times out

    h.service.program();
    QVERIFY(h.outcomes.notStarted.back().operation == ServiceOperation::Program);
    QVERIFY(h.outcomes.notStarted.back().reason == NotStartedReason::NoImage);

    h.service.capture();
    h.answer(3, 0x0102, 0x2000);
    QVERIFY(h.outcomes.notStarted.back().operation == ServiceOperation::Capture);
    QVERIFY(h.outcomes.notStarted.back().reason == NotStartedReason::NotInLoaderMode);
    QCOMPARE(h.outcomes.notStarted.back().status, uint16_t{0x2000});
  }

  void resetChangesNoControlAndClearKeepsTheIpDisplay() {
    Harness h;
    h.registerUnit(0x0102, 0x0000);
    h.controls.setEnabled(ControlId::BProgram, true);
    h.engine.BResetUVQClick();
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 1, 9}));
    QVERIFY(h.enabled(ControlId::BProgram));
    h.engine.Button2Click();
    QCOMPARE(h.engine.registry().count(), 0);
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));
  }

  void modifyIpAddressEditsSendsAndRestores() {
    Harness h;
    h.registerUnit(0x0102, 0x0000);
    h.controls.setChecked(ControlId::CBIPaddr, true);
    h.engine.CBIPaddrClick();
    QVERIFY(h.enabled(ControlId::EIPAddr));
    QVERIFY(h.enabled(ControlId::BUpdateUVQ));
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));
    h.controls.setText(ControlId::EIPAddr, "10.0.0.5");
    h.engine.BUpdateUVQClick();
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 1, 1, 10, 0, 0, 5}));
    QVERIFY(!h.controls.isChecked(ControlId::CBIPaddr));
    QVERIFY(!h.enabled(ControlId::EIPAddr));
    QCOMPARE(h.controls.text(ControlId::EIPAddr),
             std::string("10.0.0.7"));  // until the unit answers
    h.answer(1, 0x0102, 0x0000, {10, 0, 0, 5});
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.5"));
    QVERIFY(h.enabled(ControlId::CBIPaddr));
    QCOMPARE(h.outcomes.addressAccepted, std::optional<bool>(true));

    // A unit that keeps its old address has not taken the new one.
    h.service.setUnitAddress(protocol::Ipv4Bytes{10, 0, 0, 9});
    h.answer(1, 0x0102, 0x0000, {10, 0, 0, 5});
    QCOMPARE(h.outcomes.addressAccepted, std::optional<bool>(false));
  }

  void aRejectedAddressSendsNothingButUsesANumber() {
    for (const char* bad : {"10.0.0.256", "10.0.0.-1", "10.0.0", "a.b.c.d"}) {
      Harness h;
      h.registerUnit(0x0102, 0x0000);
      h.link.sent.clear();
      h.controls.setChecked(ControlId::CBIPaddr, true);
      h.engine.CBIPaddrClick();
      h.controls.setText(ControlId::EIPAddr, bad);
      h.engine.BUpdateUVQClick();
      QVERIFY(h.link.sent.empty());
      QCOMPARE(h.engine.pdus().counter(), uint16_t(2));
      QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));  // refilled
    }
  }

  // The window's part of the machine-wide unit lock and of the new-address rule, through a
  // guard that stands in for the lock and the link's target.
  void unitGuardRefusesLoopbackAndLockedUnitsAndReleasesItsLock() {
    struct FakeGuard : presenter::UnitGuard {
      std::optional<protocol::Ipv4Bytes> target;
      std::optional<std::string> refusal;
      bool held = false;
      std::optional<protocol::Ipv4Bytes> targetAddress() override { return target; }
      std::optional<std::string> lockUnit(std::optional<protocol::UvqId>) override {
        if (!refusal) held = true;
        return refusal;
      }
      void unlockUnit() override { held = false; }
    } guard;
    Harness h;
    h.window.setUnitGuard(&guard);
    h.registerUnit(0x0102, 0x0000);
    const auto readdress = [&](const char* address) {
      h.link.sent.clear();
      h.controls.setChecked(ControlId::CBIPaddr, true);
      h.engine.CBIPaddrClick();
      h.controls.setText(ControlId::EIPAddr, address);
      h.engine.BUpdateUVQClick();
      return !h.link.sent.empty();
    };
    guard.target = protocol::Ipv4Bytes{10, 1, 2, 3};
    QVERIFY(!readdress("127.0.0.1"));
    QVERIFY(h.takeLog().back().starts_with("Refusing new address 127.0.0.1: a loopback address"));
    guard.target = protocol::Ipv4Bytes{127, 0, 3, 1};  // the emulated unit
    QVERIFY(readdress("127.0.0.2"));

    h.link.sent.clear();
    guard.refusal = "Unit locked elsewhere, nothing sent: 127.0.3.1 (unit 0102) is in use";
    h.engine.BEraseClick();
    QVERIFY(h.link.sent.empty());
    QCOMPARE(h.takeLog().back(), *guard.refusal);
    guard.refusal.reset();
    h.engine.BEraseClick();
    QVERIFY(!h.link.sent.empty());
    QVERIFY(guard.held);
    h.fire();  // the erase's watchdog ends it
    QVERIFY(!guard.held);
    h.engine.BProgramClick();  // no image chosen: no run, no lock kept
    QVERIFY(!guard.held);
  }

  void checkingTheBoxWithNoUnitIsUndone() {
    Harness h;
    h.controls.setChecked(ControlId::CBIPaddr, true);
    h.engine.CBIPaddrClick();
    QVERIFY(!h.controls.isChecked(ControlId::CBIPaddr));
    QVERIFY(!h.enabled(ControlId::EIPAddr));
  }
};

QTEST_GUILESS_MAIN(Maintenance)
#include "test_maintenance.moc"
