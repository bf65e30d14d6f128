// SPDX-License-Identifier: Apache-2.0
// The programming run: records on the wire byte for byte, progress, the watchdog, the abort
// paths, completion with its check boxes, and the file faults that must not pass as success.
#include <QtTest>
#include <algorithm>

#include "WindowHarness.h"

using namespace uvq;
using namespace uvq::test;

namespace {

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

// A unit 0102 in loader mode with `image` chosen as fw.cry.
struct ProgrammingHarness : Harness {
  explicit ProgrammingHarness(const Bytes& image) {
    files.files["fw.cry"].data = image;
    registerUnit(0x0102, 0x4000);
    engine.BSourceClick(std::optional<std::string>("fw.cry"));
    link.sent.clear();
    takeLog();
  }
  void ack(uint16_t status = 0x4010) { answer(4, 0x0102, status); }
  void start() {
    engine.BProgramClick();
    takeLog();
  }
  Bytes recordSent(size_t i) const { return {link.sent[i].begin() + 7, link.sent[i].end()}; }
};

}  // namespace

class Programming : public QObject {
  Q_OBJECT
 private slots:
  void a48ByteFileRunsToCompletionWithEveryEndStep() {
    const Bytes image = Pattern(48);
    ProgrammingHarness h(image);
    QVERIFY(h.enabled(ControlId::BProgram));
    h.engine.BProgramClick();
    QCOMPARE(h.takeLog(), (std::vector<std::string>{"Programming from fw.cry", "12:34:56.789"}));
    QCOMPARE(h.link.sent.size(), size_t(1));
    QCOMPARE(Bytes(h.link.sent[0].begin(), h.link.sent[0].begin() + 7),
             (Bytes{0x5A, 0xA5, 1, 2, 0, 0, 4}));
    QCOMPARE(h.recordSent(0), Bytes(image.begin(), image.begin() + 24));
    QCOMPARE(h.timer.role, TimerRole::ProgramSupervisor);
    QCOMPARE(h.timer.interval, 5000);
    QVERIFY(h.timer.enabled);
    QVERIFY(!h.enabled(ControlId::BProgram));  // busy

    h.ack();
    QCOMPARE(h.recordSent(1), Bytes(image.begin() + 24, image.end()));
    QCOMPARE(h.controls.text(ControlId::Form), std::string("50.00 %"));
    QVERIFY(h.log.lines.empty());  // nothing logged per record

    h.ack();
    QCOMPARE(h.controls.text(ControlId::Form),
             std::string("Ethernet Loader - Programing Completed"));
    QCOMPARE(h.tone.beeps, 1);
    QCOMPARE(h.log.lines.front(), std::string("Programming Complete"));
    QCOMPARE(h.log.lines[1], std::string("UVQ ID:              0102"));
    QCOMPARE(h.log.lines[h.log.lines.size() - 2], std::string("Auto Reset UVQ"));
    QCOMPARE(h.log.lines.back(), std::string("12:34:56.789"));
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 2, 9}));
    QCOMPARE(h.engine.registry().count(), 0);  // auto clear
    QVERIFY(!h.engine.fileOpen());
  }

  void aShortLastRecordReusesTheTailOfThePreviousOne() {
    const Bytes image = Pattern(50);
    ProgrammingHarness h(image);
    h.start();
    h.ack();
    h.ack();
    QCOMPARE(h.link.sent.size(), size_t(3));
    Bytes third(24);
    for (size_t i = 0; i < 24; ++i) third[i] = i < 2 ? image[48 + i] : image[24 + i];
    QCOMPARE(h.recordSent(2), third);
    h.ack();
    QCOMPARE(h.controls.text(ControlId::Form),
             std::string("Ethernet Loader - Programing Completed"));
    QCOMPARE(h.log.lines.front(), std::string("Programming Complete"));
  }

  void progressCountsEveryPduSoResendsPushItPast100() {
    ProgrammingHarness h(Pattern(48));
    h.controls.setChecked(ControlId::CheckBox1, false);
    h.controls.setChecked(ControlId::CheckBox2, false);
    h.controls.setChecked(ControlId::CheckBox3, false);
    h.start();
    h.fire();  // one resend of record 1
    QCOMPARE(h.link.sent.size(), size_t(2));
    QCOMPARE(h.recordSent(1), h.recordSent(0));
    h.ack();
    QCOMPARE(h.controls.text(ControlId::Form), std::string("100.00 %"));  // 2 PDUs of 2 records
    h.ack(0x4018);  // the end record's acknowledgement
    QCOMPARE(h.tone.beeps, 0);
    QCOMPARE(h.log.lines.back(), std::string("______________________________________"));
    QCOMPARE(h.link.sent.size(), size_t(3));   // no reset
    QCOMPARE(h.engine.registry().count(), 1);  // no clear
  }

  void watchdogResendsFourTimesThenFails() {
    ProgrammingHarness h(Pattern(48));
    h.engine.BProgramClick();
    for (int i = 0; i < 4; ++i) {
      h.fire();
      QCOMPARE(h.timer.interval, 5000);
    }
    QCOMPARE(h.link.sent.size(), size_t(5));
    for (size_t i = 0; i < 5; ++i) QCOMPARE(h.link.sent[i][5], uint8_t(i));  // new numbers
    h.takeLog();
    h.fire();
    QCOMPARE(h.link.sent.size(), size_t(5));
    QCOMPARE(h.log.lines,
             (std::vector<std::string>{"FAILED - Comms Timeout Error Programming UVQ"}));
    QVERIFY(!h.engine.fileOpen());
    QVERIFY(!h.timer.enabled);
    QVERIFY(h.enabled(ControlId::BProgram));  // ready state with the unit's stored 0x4000
  }

  void aStretchedWatchdogKeepsItsOwnIntervalAndResendCount() {
    Harness h(Timing{.programWatchdogMs = 12000, .programResends = 2});
    h.files.files["fw.cry"].data = Pattern(48);
    h.registerUnit(0x0102, 0x4000);
    h.engine.BSourceClick(std::optional<std::string>("fw.cry"));
    h.engine.BProgramClick();
    QCOMPARE(h.timer.interval, 12000);
    h.fire();
    h.fire();
    QCOMPARE(h.timer.interval, 12000);
    QVERIFY(h.engine.fileOpen());
    h.fire();
    QVERIFY(!h.engine.fileOpen());
    QCOMPARE(h.link.sent.size(), size_t(1 + 3));  // locate, then the record three times
    QCOMPARE(h.log.lines.back(), std::string("FAILED - Comms Timeout Error Programming UVQ"));
  }

  void anAcknowledgementOfAnEarlierCopyIsOutOfSequence() {
    ProgrammingHarness h(Pattern(48));
    h.start();
    h.fire();
    h.engine.ProcessStatusReply(Harness::reply(0, 4, 0x0102, 0x4010));
    QCOMPARE(h.log.lines, (std::vector<std::string>{"**ERROR Out of Sequence Control PDU Seq: 0"}));
    QCOMPARE(h.link.sent.size(), size_t(2));
  }

  void frameAndChecksumErrorsAbortWithTheirLinesInOrder() {
    ProgrammingHarness h(Pattern(96));
    h.start();
    h.ack(0x4000 | 0x0800 | 0x0040);
    const std::vector<std::string> head(h.log.lines.begin(), h.log.lines.begin() + 5);
    QCOMPARE(head,
             (std::vector<std::string>{"ERROR - Error during Programming",
                                       "  record frame length error", "  record checksum error",
                                       "  Programming Aborted", "UVQ ID:              0102"}));
    QCOMPARE(h.link.sent.size(), size_t(1));
    QVERIFY(!h.engine.fileOpen());
    QVERIFY(!h.timer.enabled);
  }

  // Every bit of the status word, alone in a record's acknowledgement, against what it must do
  // to a run: written out here on its own, so a bit made to abort (or no longer to) is noticed.
  void eachStatusBitAbortsTheRunOrNot_data() {
    QTest::addColumn<int>("bit");
    QTest::addColumn<QStringList>("abortLines");  // empty: the run goes on
    const QStringList goesOn;
    const auto recordError = [](const char* line) {
      return QStringList{"ERROR - Error during Programming", line, "  Programming Aborted"};
    };
    QTest::newRow("0x8000 pending reset") << 0x8000 << goesOn;
    QTest::newRow("0x4000 loader mode") << 0x4000 << goesOn;
    QTest::newRow("0x2000 user code invalid") << 0x2000 << goesOn;
    QTest::newRow("0x1000 not in loader mode")
        << 0x1000 << QStringList{"ERROR - System not in Loader Mode", "  Programming Aborted"};
    QTest::newRow("0x0800 frame length") << 0x0800 << recordError("  record frame length error");
    QTest::newRow("0x0400 multicast") << 0x0400 << goesOn;
    QTest::newRow("0x0200 framing") << 0x0200 << recordError("  record framing error");
    QTest::newRow("0x0100 unsupported record") << 0x0100 << goesOn;
    QTest::newRow("0x0080 record skipped") << 0x0080 << goesOn;
    QTest::newRow("0x0040 checksum") << 0x0040 << recordError("  record checksum error");
    QTest::newRow("0x0020 overwrite loader") << 0x0020 << goesOn;
    QTest::newRow("0x0010 record done") << 0x0010 << goesOn;
    QTest::newRow("0x0008 file done") << 0x0008 << goesOn;
    QTest::newRow("0x0004 EEPROM updated") << 0x0004 << goesOn;
    QTest::newRow("0x0002 missing end record") << 0x0002 << recordError("  missing Type 4 record");
    QTest::newRow("0x0001 no meaning") << 0x0001 << goesOn;
  }
  void eachStatusBitAbortsTheRunOrNot() {
    QFETCH(int, bit);
    QFETCH(QStringList, abortLines);
    ProgrammingHarness h(Pattern(96));
    h.start();
    h.ack(static_cast<uint16_t>(bit));
    if (abortLines.isEmpty()) {
      QVERIFY(h.log.lines.empty());
      QCOMPARE(h.link.sent.size(), size_t(2));  // the next record went out
      QVERIFY(h.engine.fileOpen());
      QVERIFY(!h.outcomes.run);
      return;
    }
    QVERIFY(h.log.lines.size() >= static_cast<size_t>(abortLines.size()));
    for (qsizetype i = 0; i < abortLines.size(); ++i)
      QCOMPARE(QString::fromStdString(h.log.lines[static_cast<size_t>(i)]), abortLines[i]);
    QCOMPARE(h.link.sent.size(), size_t(1));
    QVERIFY(!h.engine.fileOpen());
    QVERIFY(h.outcomes.run);
    QVERIFY(h.outcomes.run->end == (bit == 0x1000 ? RunEnd::NotInLoaderMode : RunEnd::RecordError));
  }

  // The file is finished only when the last record's acknowledgement says so; a unit saying it
  // on a middle record and not at the end holds no end record, which the window points out.
  void theFileIsFinishedOnlyWhenTheLastAcknowledgementSaysSo_data() {
    QTest::addColumn<int>("middleStatus");
    QTest::addColumn<int>("lastStatus");
    QTest::addColumn<bool>("finished");
    QTest::newRow("at the end") << 0x4010 << 0x4018 << true;
    QTest::newRow("in the middle only") << 0x4018 << 0x4010 << false;
    QTest::newRow("never") << 0x4010 << 0x4010 << false;
  }
  void theFileIsFinishedOnlyWhenTheLastAcknowledgementSaysSo() {
    QFETCH(int, middleStatus);
    QFETCH(int, lastStatus);
    QFETCH(bool, finished);
    ProgrammingHarness h(Pattern(72));
    h.start();
    h.ack();
    h.ack(static_cast<uint16_t>(middleStatus));
    h.ack(static_cast<uint16_t>(lastStatus));
    QVERIFY(h.outcomes.run && h.outcomes.run->end == RunEnd::Complete);
    QCOMPARE(h.outcomes.run->fileFinished, finished);
    QCOMPARE(h.tone.beeps, 1);  // completion as designed either way
    QCOMPARE(h.log.lines.front(), std::string("Programming Complete"));
    const std::string warning =
        "WARNING - Unit did not report the file finished: the image may lack its end record";
    const auto at = std::find(h.log.lines.begin(), h.log.lines.end(), warning);
    QCOMPARE(std::count(h.log.lines.begin(), h.log.lines.end(), warning), finished ? 0 : 1);
    if (!finished) QCOMPARE(*std::next(at), std::string("Auto Reset UVQ"));
  }

  void eachEndOfRunBoxActsAlone_data() {
    QTest::addColumn<int>("box");  // the one box ticked: 1 Beep, 2 Auto Reset, 3 Auto Clear
    for (int box : {1, 2, 3}) QTest::newRow(qPrintable(QString("CheckBox%1").arg(box))) << box;
  }
  void eachEndOfRunBoxActsAlone() {
    // The boxes are read when the last answer arrives: ticked during the run, they count.
    QFETCH(int, box);
    ProgrammingHarness h(Pattern(24));
    for (ControlId id : {ControlId::CheckBox1, ControlId::CheckBox2, ControlId::CheckBox3})
      h.controls.setChecked(id, false);
    h.start();
    const ControlId boxes[] = {ControlId::CheckBox1, ControlId::CheckBox2, ControlId::CheckBox3};
    h.controls.setChecked(boxes[box - 1], true);
    h.ack();
    QCOMPARE(h.tone.beeps, box == 1 ? 1 : 0);
    const bool reset = h.link.sent.back()[6] == 9;
    QCOMPARE(reset, box == 2);
    QCOMPARE(h.engine.registry().count(), box == 3 ? 0 : 1);
  }

  void notInLoaderModeTakesPrecedenceOverRecordErrors() {
    ProgrammingHarness h(Pattern(96));
    h.start();
    h.ack(0x1000 | 0x0800);
    const std::vector<std::string> head(h.log.lines.begin(), h.log.lines.begin() + 3);
    QCOMPARE(head,
             (std::vector<std::string>{"ERROR - System not in Loader Mode", "  Programming Aborted",
                                       "UVQ ID:              0102"}));
    QVERIFY(std::find(h.log.lines.begin(), h.log.lines.end(), "ERROR - Error during Programming") ==
            h.log.lines.end());
    QVERIFY(!h.engine.fileOpen());
  }

  void informationalBitsDoNotStopTheRun() {
    ProgrammingHarness h(Pattern(96));
    h.start();
    h.ack(0x0020);
    h.ack(0x0008 | 0x0100 | 0x0080);
    QCOMPARE(h.link.sent.size(), size_t(3));
    QVERIFY(h.engine.fileOpen());
  }

  void aLateCaptureReplyFromAnotherUnitCannotRedirectTheRun() {
    // The capture was PDU 0 and the run restarts the numbers at 0: a second unit's late answer
    // to the capture echoes the number of the first record.
    Harness h;
    h.files.files["fw.cry"].data = Pattern(72);
    h.engine.BLDR_ModeClick();
    h.answer(3, 0x0102, 0x4000);
    h.engine.BSourceClick(std::optional<std::string>("fw.cry"));
    h.engine.BProgramClick();
    h.takeLog();
    h.engine.ProcessStatusReply(Harness::reply(0, 3, 0x0304, 0x4000));
    QCOMPARE(h.log.lines,
             (std::vector<std::string>{"**ERROR Reply type 3 does not answer command 4, Seq: 0"}));
    QCOMPARE(h.engine.registry().selector().text(), std::string("0102"));
    h.answer(4, 0x0102, 0x4010);
    QCOMPARE(h.link.sent.back()[2], uint8_t(0x01));  // the next record still goes to 0102
    QCOMPARE(h.link.sent.back()[3], uint8_t(0x02));
  }

  void theFigureOfAnImageOver65535RecordsDoesNotWrap() {
    ProgrammingHarness h(Bytes(70000 * 24, 0x5A));
    h.start();
    for (int k = 1; k <= 65536; ++k) h.ack();
    QCOMPARE(h.controls.text(ControlId::Form), std::string("93.62 %"));
    QCOMPARE(h.engine.pdus().counter(), uint16_t(1));  // the wire's numbers still wrap
  }

  void aLateAcknowledgementIsNotReportedAsSuccess() {
    ProgrammingHarness h(Pattern(48));
    h.engine.BProgramClick();
    for (int i = 0; i < 5; ++i) h.fire();  // fails
    h.takeLog();
    h.controls.setText(ControlId::Form, "0.00 %");
    h.ack();  // the answer to the last resend arrives after all
    QCOMPARE(
        h.log.lines.front(),
        std::string("Record acknowledgement received while no programming run is in progress"));
    QVERIFY(std::find(h.log.lines.begin(), h.log.lines.end(), "Programming Complete") ==
            h.log.lines.end());
    QCOMPARE(h.controls.text(ControlId::Form), std::string("0.00 %"));
    QCOMPARE(h.tone.beeps, 0);
    QCOMPARE(h.link.sent.size(), size_t(5));   // no automatic reset
    QCOMPARE(h.engine.registry().count(), 1);  // no automatic clear
    QVERIFY(h.enabled(ControlId::BProgram));   // ready state applied
  }

  // The image is read whole when Program is clicked: overwriting the file in place with
  // another image of the same size, or cutting it short, mid-run changes nothing on the wire.
  void aFileChangedAfterProgramIsClickedStillSendsTheImageReadAtTheClick() {
    const Bytes image = Pattern(24 * 6);
    for (const bool overwrite : {true, false}) {
      ProgrammingHarness h(image);
      h.start();
      MemoryFile& file = h.files.files["fw.cry"];
      if (overwrite)
        file.data = Bytes(image.size(), 0xEE);
      else
        file.data.resize(58);
      while (!h.outcomes.run) h.ack(0x4018);
      QVERIFY(h.outcomes.run->end == RunEnd::Complete);
      Bytes sent;
      for (size_t i = 0; i < 6; ++i) {
        const Bytes record = h.recordSent(i);
        sent.insert(sent.end(), record.begin(), record.end());
      }
      QCOMPARE(sent, image);
      QCOMPARE(*h.service.runImage(), image);
      QCOMPARE(h.files.opened, std::vector<std::string>{"fw.cry"});  // opened once, read once
      QCOMPARE(h.log.lines.front(), std::string("Programming Complete"));
    }
  }

  // Whatever stops the image being read whole at the click refuses the run before anything is
  // sent, with one line naming the file and why; the controls stay ready for another try.
  void anImageThatCannotBeReadWholeIsRefusedBeforeAnythingIsSent() {
    struct Case {
      const char* name;
      void (*fault)(MemoryFile&);
      const char* line;
    };
    const Case cases[] = {
        {"read error", [](MemoryFile& f) { f.failReadAt = 0; },
         "Error reading file fw.cry: Input/output error"},
        {"size error", [](MemoryFile& f) { f.failSize = true; },
         "Error reading file fw.cry: Input/output error"},
        {"shrinks while read", [](MemoryFile& f) { f.truncateAt = 0; },
         "Error reading file fw.cry: the file ended after 10 of its 96 bytes"},
        {"larger than any image", [](MemoryFile& f) { f.sizeReported = kMaxImageBytes + 1; },
         "Error reading file fw.cry: it is 268435457 bytes, more than any image (256 MiB)"},
    };
    for (const Case& c : cases) {
      ProgrammingHarness h(Pattern(96));
      c.fault(h.files.files["fw.cry"]);
      h.engine.BProgramClick();
      QVERIFY2(h.log.lines == std::vector<std::string>{c.line}, c.name);
      QVERIFY2(h.link.sent.empty(), c.name);
      QVERIFY(!h.engine.fileOpen());
      QVERIFY(!h.timer.enabled);
      QVERIFY(h.enabled(ControlId::BProgram));
      QCOMPARE(h.outcomes.notStarted.size(), size_t(1));
      QVERIFY(h.outcomes.notStarted[0].reason == NotStartedReason::ImageNotOpened);
      QVERIFY(!h.outcomes.run);
    }
  }

  void fileFaultsAtTheStart() {
    {
      ProgrammingHarness h(Pattern(48));
      h.engine.BSourceClick(std::optional<std::string>("missing.cry"));
      h.engine.BProgramClick();
      QCOMPARE(h.log.lines, (std::vector<std::string>{"File missing.cry not found"}));
      QCOMPARE(h.timer.role, TimerRole::ProgramSupervisor);
      QVERIFY(!h.timer.enabled);
    }
    {
      ProgrammingHarness h(Pattern(48));
      h.files.notRegular["fifo.cry"] = "a FIFO";
      h.engine.BSourceClick(std::optional<std::string>("fifo.cry"));
      h.engine.BProgramClick();
      QCOMPARE(h.log.lines,
               (std::vector<std::string>{"File fifo.cry is a FIFO, not a regular file"}));
      QVERIFY(h.link.sent.empty());
    }
    {
      ProgrammingHarness h(Pattern(48));
      h.engine.BSourceClick(std::nullopt);  // cancelled: empty name
      QCOMPARE(h.controls.text(ControlId::ESource), std::string());
      h.engine.BProgramClick();
      QCOMPARE(h.log.lines, (std::vector<std::string>{"File  not found"}));
      QVERIFY(h.files.opened.empty());
    }
    {
      ProgrammingHarness h(Bytes{});
      h.engine.BProgramClick();
      QCOMPARE(h.log.lines, (std::vector<std::string>{"Error accessing file fw.cry"}));
      QVERIFY(!h.engine.fileOpen());
      QVERIFY(h.link.sent.empty());
    }
  }

  void aFileShorterThanOneRecordProgramsWithoutAFigure() {
    ProgrammingHarness h(Pattern(10));
    h.controls.setText(ControlId::Form, "before");
    h.start();
    QCOMPARE(h.link.sent.size(), size_t(1));
    const Bytes record = h.recordSent(0);
    QCOMPARE(Bytes(record.begin(), record.begin() + 10), Pattern(10));
    h.ack();
    QCOMPARE(h.controls.text(ControlId::Form),
             std::string("Ethernet Loader - Programing Completed"));
    QCOMPARE(h.log.lines.front(), std::string("Programming Complete"));
  }

  void programWithoutASelectedUnitSendsNothingAndFailsLater() {
    ProgrammingHarness h(Pattern(48));
    h.engine.Button2Click();
    h.engine.BProgramClick();
    QCOMPARE(h.log.lines.size(), size_t(2));
    QVERIFY(h.link.sent.empty());
    for (int i = 0; i < 5; ++i) h.fire();
    QCOMPARE(h.log.lines.back(), std::string("FAILED - Comms Timeout Error Programming UVQ"));
    QVERIFY(!h.enabled(ControlId::BProgram));  // ready state with status word 0
  }

  void aSendFailureEndsTheRunWithALinkError() {
    // The first record or one in the middle: the file is closed, no watchdog is left waiting
    // for an answer that cannot come, the ready state is back, and one line says why.
    for (const bool atStart : {true, false}) {
      ProgrammingHarness h(Pattern(72));
      if (atStart) {
        h.link.failNext = true;
        h.engine.BProgramClick();
      } else {
        h.start();
        h.link.failNext = true;
        h.ack();
      }
      QVERIFY(!h.engine.fileOpen());
      QVERIFY(!h.timer.enabled);
      QVERIFY(h.enabled(ControlId::BProgram));
      QVERIFY(h.log.lines.back().starts_with("FAILED - Send Error Programming UVQ: Socket Error"));
      QVERIFY(h.outcomes.run && h.outcomes.run->end == RunEnd::LinkError);
    }
  }

  void aRunKeepsItsUnitWhenAnotherAnswersInSequence() {
    // A stray acknowledgement from 0103 carries the right number: it is reported, but the rest
    // of the image still goes to 0102 and the selection stays there.
    ProgrammingHarness h(Pattern(72));
    h.start();
    h.engine.ProcessStatusReply(Harness::reply(0, 4, 0x0103, 0x4010));
    QCOMPARE(h.log.lines.front(), std::string("UVQ ID:              0103"));
    QCOMPARE(h.engine.registry().selector().text(), std::string("0102"));
    QVERIFY(h.timer.enabled);  // the run's watchdog still runs
    h.ack();
    QCOMPARE(h.link.sent.back()[3], uint8_t(0x02));
    h.ack();
    h.ack();
    QVERIFY(h.outcomes.run && h.outcomes.run->end == RunEnd::Complete);
    QCOMPARE(h.outcomes.run->acknowledged, uint64_t(3));
    QCOMPARE(h.link.sent.back(), (Bytes{0x5A, 0xA5, 1, 2, 0, 3, 9}));  // reset to 0102
  }

  // Capture takes the shared timer: the run is ended first, as any other ending ends it.
  void aCaptureDuringTheRunEndsItFirstThenCaptures() {
    const Bytes image = Pattern(72);
    ProgrammingHarness h(image);
    h.start();
    h.ack();
    h.engine.BLDR_ModeClick();
    QCOMPARE(h.log.lines,
             (std::vector<std::string>{"Programming stopped by Capture: 1 of 3 records written"}));
    QVERIFY(!h.engine.fileOpen());
    QVERIFY(h.outcomes.run && h.outcomes.run->end == RunEnd::Stopped);
    QCOMPARE(h.outcomes.run->acknowledged, uint64_t(1));
    QCOMPARE(h.link.sent.back()[6], uint8_t(3));  // the capture request went out
    QCOMPARE(h.timer.role, TimerRole::DiscoverySupervisor);
    QVERIFY(h.timer.enabled);

    // The unit confirms loader mode; a new run starts from the first record.
    h.answer(3, 0x0102, 0x4000);
    QVERIFY(h.enabled(ControlId::BProgram));
    h.start();
    QCOMPARE(h.recordSent(h.link.sent.size() - 1), Bytes(image.begin(), image.begin() + 24));
  }

  // During a run only the target acknowledges records; outside one, whoever answers is heard.
  void aReplyFromAnotherAddressDuringTheRunIsSetAside() {
    const DatagramOrigin forged{{127, 0, 0, 66}, {127, 0, 7, 30}};
    const DatagramOrigin target{{127, 0, 7, 30}, {127, 0, 7, 30}};
    ProgrammingHarness h(Pattern(48));
    h.start();
    const uint16_t seq = h.engine.pdus().lastNumberSent().value_or(0);
    for (int i = 0; i < 3; ++i)
      h.window.ProcessStatusReply(Harness::reply(seq, 4, 0x0102, 0x4018), forged);
    QCOMPARE(h.log.lines.front(),
             std::string("**ERROR Reply from 127.0.0.66 set aside: the programming run is with "
                         "127.0.7.30"));
    QCOMPARE(h.outcomes.setAside.size(), size_t(3));
    QVERIFY(h.outcomes.setAside.back().reason == SetAsideReason::OtherAddress);
    QCOMPARE(h.link.sent.size(), size_t(1));  // taken as no acknowledgement
    QVERIFY(h.engine.fileOpen() && h.timer.enabled);

    h.window.ProcessStatusReply(Harness::reply(seq, 4, 0x0102, 0x4010), target);
    QCOMPARE(h.link.sent.size(), size_t(2));
    h.answer(4, 0x0102, 0x4018);
    QVERIFY(h.outcomes.run && h.outcomes.run->end == RunEnd::Complete);

    h.window.LocateClick();
    const uint16_t locate = h.engine.pdus().lastNumberSent().value_or(0);
    h.window.ProcessStatusReply(Harness::reply(locate, 0, 0x0304, 0x0000), forged);
    QCOMPARE(h.engine.registry().count(), 1);
  }
};

QTEST_GUILESS_MAIN(Programming)
#include "test_programming.moc"
