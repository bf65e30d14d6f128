// SPDX-License-Identifier: Apache-2.0
// The history command's own parts: the times it reads and the CSV it writes.
#include <QtTest>

#include "HistoryFormat.h"
#include "HistoryTime.h"

using namespace uvq::cli;

class HistoryPartsTest : public QObject {
  Q_OBJECT

 private slots:
  void timeBounds() {
    const HistoryMillis now = 1'765'000'000'000;  // 2025-12-06T05:46:40Z
    QCOMPARE(ParseTimeBound("7d", now), now - 7 * 86'400'000LL);
    QCOMPARE(ParseTimeBound("12h", now), now - 12 * 3'600'000LL);
    QCOMPARE(ParseTimeBound("30m", now), now - 30 * 60'000LL);
    QCOMPARE(ParseTimeBound("2025-12-06", now), 1'764'979'200'000LL);
    // A date as the upper bound takes in the whole of that day.
    QCOMPARE(ParseTimeBound("2025-12-06", now, true), 1'764'979'200'000LL + 86'400'000 - 1);
    QCOMPARE(ParseTimeBound("2025-12-06T05:46:40Z", now), now);
    QCOMPARE(ParseTimeBound("2025-12-06 05:46", now), now - 40'000);
    QCOMPARE(ParseTimeBound("2025-12-06T05:46:40.25", now, true), now + 250);
    QCOMPARE(MillisIsoUtc(now + 7), QString("2025-12-06T05:46:40.007Z").toStdString());
    for (const char* wrong : {"", "d", "7", "7w", "-7d", "2025-13-01", "2025-02-30", "2025-12-6",
                              "2025-12-06T24:00", "2025-12-06T05:46:40+01:00", "yesterday"})
      QVERIFY2(!ParseTimeBound(wrong, now), wrong);
  }

  void csvQuotesOnlyWhatNeedsIt() {
    QCOMPARE(CsvField("plain text"), std::string("plain text"));
    QCOMPARE(CsvField("a,b"), std::string("\"a,b\""));
    QCOMPARE(CsvField("say \"hi\""), std::string("\"say \"\"hi\"\"\""));
    QCOMPARE(CsvField("two\nlines"), std::string("\"two\nlines\""));
  }

  void rowNeverCompletedIsAbandoned() {
    uvq::history::OperationRow row;
    row.startedAt = 1000;
    row.operation = "program";
    row.detail = "a, \"quoted\" detail";
    QCOMPARE(ShownOutcome(row), std::string("abandoned"));
    const std::string csv = FormatRows({row}, HistoryFormat::Csv);
    QVERIFY(csv.find(",abandoned,,,\"a, \"\"quoted\"\" detail\"\r\n") != std::string::npos);
    row.endedAt = 2000;
    row.outcome = "no_answer";
    QCOMPARE(ShownOutcome(row), std::string("no_answer"));
  }
};

QTEST_GUILESS_MAIN(HistoryPartsTest)
#include "HistoryPartsTest.moc"
