// SPDX-License-Identifier: Apache-2.0
// The history command's own parts: the times it reads and the table, CSV and JSON it writes.
#include <QtTest>

#include <nlohmann/json.hpp>

#include "reports/HistoryText.h"
#include "reports/RecordJson.h"
#include "store/history/HistoryTime.h"

using namespace uvq::reports;

class HistoryPartsTest : public QObject {
  Q_OBJECT

 private slots:
  void timeBounds() {
    const uvq::history::HistoryMillis now = 1'765'000'000'000;  // 2025-12-06T05:46:40Z
    QCOMPARE(uvq::history::ParseTimeBound("7d", now), now - 7 * 86'400'000LL);
    QCOMPARE(uvq::history::ParseTimeBound("12h", now), now - 12 * 3'600'000LL);
    QCOMPARE(uvq::history::ParseTimeBound("30m", now), now - 30 * 60'000LL);
    QCOMPARE(uvq::history::ParseTimeBound("2025-12-06", now), 1'764'979'200'000LL);
    // A date as the upper bound takes in the whole of that day.
    QCOMPARE(uvq::history::ParseTimeBound("2025-12-06", now, true),
             1'764'979'200'000LL + 86'400'000 - 1);
    QCOMPARE(uvq::history::ParseTimeBound("2025-12-06T05:46:40Z", now), now);
    QCOMPARE(uvq::history::ParseTimeBound("2025-12-06 05:46", now), now - 40'000);
    QCOMPARE(uvq::history::ParseTimeBound("2025-12-06T05:46:40.25", now, true), now + 250);
    QCOMPARE(uvq::history::MillisIsoUtc(now + 7),
             QString("2025-12-06T05:46:40.007Z").toStdString());
    for (const char* wrong : {"", "d", "7", "7w", "-7d", "2025-13-01", "2025-02-30", "2025-12-6",
                              "2025-12-06T24:00", "2025-12-06T05:46:40+01:00", "yesterday"})
      QVERIFY2(!uvq::history::ParseTimeBound(wrong, now), wrong);
  }

  // A history CSV opened in a spreadsheet: a station or detail anyone typed must not run as a
  // formula there, and quoting keeps a comma or a quote inside its cell.
  void csvCellsAreQuotedAndNeverFormulas() {
    uvq::history::OperationRow row;
    row.startedAt = 1000;
    row.station = "=HYPERLINK(\"http://127.0.0.1/\")";
    row.detail = "@SUM(1,2)";
    row.osUser = "plain";
    const std::string csv = HistoryRowsText({row}, HistoryForm::Csv);
    QVERIFY(csv.find(",\"'=HYPERLINK(\"\"http://127.0.0.1/\"\")\",plain,") != std::string::npos);
    QVERIFY(csv.find(",\"'@SUM(1,2)\",") != std::string::npos);
    uvq::history::UnitState unit;
    unit.unitId = "0100";
    unit.lastImagePath = "-x.cry";
    QVERIFY(UnitStatesText({unit}, HistoryForm::Csv).find(",'-x.cry,") != std::string::npos);
  }

  void rowNeverCompletedIsAbandoned() {
    uvq::history::OperationRow row;
    row.startedAt = 1000;
    row.operation = "program";
    row.detail = "a, \"quoted\" detail";
    QCOMPARE(ShownOutcome(row), std::string("abandoned"));
    const std::string csv = HistoryRowsText({row}, HistoryForm::Csv);
    QVERIFY(csv.find(",abandoned,,,\"a, \"\"quoted\"\" detail\",,\r\n") != std::string::npos);
    row.endedAt = 2000;
    row.outcome = "no_answer";
    QCOMPARE(ShownOutcome(row), std::string("no_answer"));
  }

  // Stored texts are anyone's: a file or station name with terminal controls (ESC, BEL, a C1
  // control, a byte that is not UTF-8) must reach no terminal raw, in any output.
  void storedTextNeverReachesTheTerminalRaw() {
    uvq::history::OperationRow row;
    row.startedAt = 1000;
    row.endedAt = 2000;
    row.outcome = "ok";
    row.operation = "program";
    row.imagePath = "evil\x1b]2;PWNED\x07\x1b[2J.cry";
    row.station = "st\x1b[31mATION\xc2\x9b\xff";
    row.detail = "a, \"quoted\"\rdetail";
    uvq::history::UnitState unit;
    unit.unitId = "0100";
    unit.lastImagePath = row.imagePath;
    unit.lastStation = row.station;
    const auto raw = [](const std::string& text) {
      for (unsigned char c : text)
        if ((c < 0x20 && c != '\n' && c != '\r') || c == 0x7f || c == 0xff) return true;
      return text.find("\xc2\x9b") != std::string::npos;
    };
    for (HistoryForm format : {HistoryForm::Table, HistoryForm::Csv}) {
      const std::string rows = HistoryRowsText({row}, format);
      const std::string units = UnitStatesText({unit}, format);
      QVERIFY2(!raw(rows), rows.c_str());
      QVERIFY2(!raw(units), units.c_str());
      QVERIFY(rows.find(R"(evil\x1B]2;PWNED\x07\x1B[2J.cry)") != std::string::npos);
      QVERIFY(units.find(R"(evil\x1B]2;PWNED\x07\x1B[2J.cry)") != std::string::npos);
      QVERIFY(rows.find(R"(st\x1B[31mATION\xC2\x9B\xFF)") != std::string::npos);
    }
    // CSV: the escaped detail keeps its own quoting; lines end in CR LF only.
    const std::string csv = HistoryRowsText({row}, HistoryForm::Csv);
    QVERIFY(csv.find(R"("a, ""quoted""\x0Ddetail")") != std::string::npos);
    QCOMPARE(std::count(csv.begin(), csv.end(), '\r'), 2);
    // JSON: the text is data, exactly, and a byte that is not UTF-8 is written \xHH.
    const std::string json = HistoryRowsText({row}, HistoryForm::Json);
    QVERIFY(!raw(json.substr(0, json.size() - 1)));
    const nlohmann::json parsed = nlohmann::json::parse(json);
    QCOMPARE(parsed["image"].get<std::string>(), row.imagePath);
    QCOMPARE(parsed["station"].get<std::string>(), std::string("st\x1b[31mATION\xc2\x9b\\xFF"));
  }

  // Groups are counted from 1 in every JSON form, as in the tables.
  void jsonGroupsCountFromOne() {
    uvq::history::OperationRow row;
    row.rollout = "fw-1";
    row.group = 0;
    QCOMPARE(nlohmann::json::parse(HistoryRowsText({row}, HistoryForm::Json))["group"].get<int>(),
             1);
    row.group.reset();
    QVERIFY(nlohmann::json::parse(HistoryRowsText({row}, HistoryForm::Json))["group"].is_null());
  }
};

QTEST_GUILESS_MAIN(HistoryPartsTest)
#include "HistoryPartsTest.moc"
