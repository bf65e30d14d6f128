// SPDX-License-Identifier: Apache-2.0
// What the dispatcher does with each reply: sequence acceptance (also at the wrap), the
// addressed unit, every reply type, and the two control states.
#include <QtTest>

#include "WindowHarness.h"
#include "presenter/ControlStates.h"

using namespace uvq;
using namespace uvq::test;

class Dispatcher : public QObject {
  Q_OBJECT
 private slots:
  void nothingIsAcceptedBeforeTheFirstPdu() {
    Harness h;
    h.engine.ProcessStatusReply(Harness::reply(0, 3, 0x0102, 0x4000));
    h.engine.ProcessStatusReply(Harness::reply(65535, 3, 0x0102, 0x4000));
    QCOMPARE(h.log.lines,
             (std::vector<std::string>{"**ERROR Out of Sequence Control PDU Seq: 0",
                                       "**ERROR Out of Sequence Control PDU Seq: 65535"}));
    QCOMPARE(h.engine.registry().count(), 0);
    QVERIFY(h.engine.pdus().addressed().isZero());
  }

  void onlyTheLastNumberIsAcceptedIncludingAcrossTheWrap() {
    Harness h;
    h.engine.pdus().setCounter(41);
    h.engine.LocateClick();  // number 41
    h.engine.ProcessStatusReply(Harness::reply(40, 0, 0x0102, 0));
    QCOMPARE(h.takeLog(),
             (std::vector<std::string>{"**ERROR Out of Sequence Control PDU Seq: 40"}));
    h.engine.ProcessStatusReply(Harness::reply(41, 0, 0x0102, 0));
    QCOMPARE(h.engine.registry().count(), 1);

    h.engine.pdus().setCounter(65535);
    h.engine.LocateClick();  // number 65535, counter now 0
    QCOMPARE(h.engine.pdus().counter(), uint16_t(0));
    h.takeLog();
    h.engine.ProcessStatusReply(Harness::reply(65535, 0, 0x0102, 0));
    QCOMPARE(h.engine.registry().count(), 1);  // accepted: reported and registered again
    QCOMPARE(h.log.lines.front(), std::string("UVQ ID:              0102"));
  }

  void aReplyNamingAnotherCommandThanTheLastIsSetAsideWithALineOfItsOwn() {
    Harness h;
    h.registerUnit(0x0102);
    h.engine.BResetUVQClick();  // number 1, command 9
    h.takeLog();
    h.engine.ProcessStatusReply(Harness::reply(1, 3, 0x0102, 0x4000));
    QCOMPARE(h.takeLog(),
             (std::vector<std::string>{"**ERROR Reply type 3 does not answer command 9, Seq: 1"}));
    QVERIFY(h.outcomes.setAside.back().reason == SetAsideReason::OtherCommand);
    h.engine.ProcessStatusReply(Harness::reply(1, 9, 0x0102, 0x0000));
    QCOMPARE(h.log.lines.front(), std::string("UVQ ID:              0102"));
  }

  void firstAcceptedReplySetsTheAddressedUnitOthersAreOnlyReported() {
    Harness h;
    h.registerUnit(0x0102);
    QVERIFY(h.engine.pdus().addressed() == (protocol::UvqId{1, 2}));
    h.engine.BEraseClick();  // to 0102
    h.takeLog();
    h.answer(6, 0x0304, 0x0000, {10, 0, 0, 4});  // an erase reply from another unit
    QVERIFY(h.timer.enabled);
    QVERIFY(std::find(h.log.lines.begin(), h.log.lines.end(), "Device Erased") ==
            h.log.lines.end());
    QCOMPARE(h.engine.registry().selector().text(), std::string("0304"));
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.4"));
  }

  void eraseRepliesLogTheirOutcomeAboveTheReport() {
    for (auto [click, type, line] :
         {std::tuple{&WindowUnderTest::BEraseClick, 6, "Device Erased"},
          std::tuple{&WindowUnderTest::BErasePRGClick, 7, "PGM Memory Only Erased"},
          std::tuple{&WindowUnderTest::BEraseEEClick, 8, "EEPROM Erased"}}) {
      Harness h;
      h.registerUnit(0x0102);
      (h.engine.*click)();
      QVERIFY(h.timer.enabled);
      h.takeLog();
      h.answer(static_cast<uint8_t>(type), 0x0102, 0x4000);
      QVERIFY(!h.timer.enabled);
      QCOMPARE(h.log.lines.front(), std::string(line));
      QCOMPARE(h.log.lines[1], std::string("UVQ ID:              0102"));
      QVERIFY(h.enabled(ControlId::BErase));
    }
  }

  void typesWithoutActionOnlyRefreshTheIpDisplay() {
    Harness h;
    h.registerUnit(0x0102);
    h.controls.setText(ControlId::EIPAddr, "stale");
    h.engine.BResetUVQClick();
    h.takeLog();
    for (uint8_t type : {uint8_t(5), uint8_t(10), uint8_t(255)}) {
      h.answer(type, 0x0102, 0x0000);
      QVERIFY(h.log.lines.empty());
      QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));
      h.controls.setText(ControlId::EIPAddr, "stale");
    }
  }

  void invalidateClearsLoaderModeAndReports() {
    Harness h;
    h.registerUnit(0x0102);
    QVERIFY(h.engine.loaderMode());
    h.engine.SendInvalidateCommand();
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 1, 2}));
    h.takeLog();
    h.answer(2, 0x0102, 0x4000);
    QVERIFY(!h.engine.loaderMode());
    QCOMPARE(h.log.lines.front(), std::string("UVQ program space invalidated"));
  }

  void shortRepliesAreSetAsideWithOneLine() {
    Harness h;
    h.engine.LocateClick();
    Bytes r = Harness::reply(0, 0, 0x0102, 0x4000);
    r.resize(18);
    h.engine.ProcessStatusReply(r);
    QCOMPARE(h.takeLog(),
             (std::vector<std::string>{
                 "Short reply of 18 bytes set aside (a status reply has at least 19)"}));
    QCOMPARE(h.engine.registry().count(), 0);
    r = Harness::reply(0, 0, 0x0102, 0x4000);
    r.resize(19);
    h.engine.ProcessStatusReply(r);  // 19 bytes carry every field
    QCOMPARE(h.engine.registry().count(), 1);
  }

  void aFloodOfSetAsideRepliesIsSummedUpOncePerSecond() {
    Harness h;
    h.registerUnit(0x0102);
    h.takeLog();
    for (int i = 0; i < 50; ++i) h.engine.ProcessStatusReply(Harness::reply(900 + i, 0, 1, 0));
    QCOMPARE(h.log.lines.size(), size_t(5));  // a few lines a second, as they are
    QCOMPARE(h.log.lines[4], std::string("**ERROR Out of Sequence Control PDU Seq: 904"));
    QCOMPARE(h.outcomes.setAside.size(), size_t(50));  // every one is still told
    h.takeLog();
    h.clock.ms += 1000;
    h.engine.BResetUVQClick();
    h.answer(9, 0x0102, 0x0000);  // the exchange goes on; the count comes first
    QCOMPARE(h.log.lines.front(),
             std::string("45 more bad datagrams set aside in the last second"));
    QCOMPARE(h.log.lines[1], std::string("UVQ ID:              0102"));
    h.takeLog();
    h.engine.ProcessStatusReply(Harness::reply(7, 0, 1, 0));  // a new second: logged again
    QCOMPARE(h.log.lines, (std::vector<std::string>{"**ERROR Out of Sequence Control PDU Seq: 7"}));
  }

  void readyAndBusyStatesFollowTheTable() {
    Harness h;
    h.controls.setEnabled(ControlId::StopCapture, true);
    h.timer.enabled = true;
    h.readyState(0x0000);
    for (ControlId id :
         {ControlId::Locate, ControlId::BLDR_Mode, ControlId::BResetUVQ, ControlId::CBIPaddr,
          ControlId::BErase, ControlId::BEraseEE, ControlId::BErasePRG, ControlId::StopCapture})
      QVERIFY(h.enabled(id));
    for (ControlId id : {ControlId::BProgram, ControlId::EIPAddr, ControlId::BUpdateUVQ})
      QVERIFY(!h.enabled(id));
    QVERIFY(h.timer.enabled);
    QVERIFY(!h.engine.loaderMode());

    h.readyState(0x4000);  // no file chosen
    for (ControlId id :
         {ControlId::Locate, ControlId::BLDR_Mode, ControlId::BResetUVQ, ControlId::CBIPaddr,
          ControlId::BErase, ControlId::BEraseEE, ControlId::BErasePRG})
      QVERIFY(h.enabled(id));
    QVERIFY(!h.timer.enabled);
    QVERIFY(!h.enabled(ControlId::StopCapture));
    QVERIFY(!h.enabled(ControlId::BProgram));
    QVERIFY(h.engine.loaderMode());

    h.engine.BSourceClick(std::optional<std::string>("a.cry"));
    QVERIFY(h.enabled(ControlId::BProgram));  // chosen while in loader mode
    h.readyState(0x4000);
    QVERIFY(h.enabled(ControlId::BProgram));

    h.controls.setEnabled(ControlId::BLDR_Mode, false);
    h.busyState();
    QVERIFY(!h.engine.loaderMode());
    QVERIFY(!h.enabled(ControlId::BLDR_Mode));  // the busy state leaves Capture alone
    for (ControlId id : {ControlId::Locate, ControlId::BResetUVQ, ControlId::BProgram,
                         ControlId::CBIPaddr, ControlId::EIPAddr, ControlId::BUpdateUVQ,
                         ControlId::BErase, ControlId::BEraseEE, ControlId::BErasePRG})
      QVERIFY(!h.enabled(id));
  }

  void anOperationStartedFromAnOutcomeIsRefused() {
    // An outcome listener that calls back would run one operation inside another.
    struct CallsBack : LoaderOutcomes {
      LoaderService* service = nullptr;
      bool refused = false;
      void unitReported(const UnitReport&) override {
        try {
          service->locate();
        } catch (const std::logic_error&) {
          refused = true;
        }
      }
    } listener;
    Harness h;
    listener.service = &h.service;
    h.service.addListener(&listener);
    h.registerUnit(0x0102);
    QVERIFY(listener.refused);
    QCOMPARE(h.link.sent.size(), size_t(1));  // only the first locate went out
    QCOMPARE(h.engine.registry().count(), 1);
    h.service.removeListener(&listener);
  }

  void clearingTheIpMarkRunsItsHandler() {
    Harness h;
    h.registerUnit(0x0102, 0x0000);
    h.controls.setChecked(ControlId::CBIPaddr, true);
    h.engine.CBIPaddrClick();
    QVERIFY(h.enabled(ControlId::EIPAddr));
    h.controls.setText(ControlId::EIPAddr, "typed");
    h.readyState(0);
    QVERIFY(!h.controls.isChecked(ControlId::CBIPaddr));
    QVERIFY(!h.enabled(ControlId::EIPAddr));
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));  // refreshed
  }
};

QTEST_GUILESS_MAIN(Dispatcher)
#include "test_dispatcher.moc"
