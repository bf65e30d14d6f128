// SPDX-License-Identifier: Apache-2.0
// The sign-off reports on histories and rollouts written by the real stores, on both engines,
// and their CSV, JSON and HTML forms.
#include <QTest>

#include <nlohmann/json.hpp>

#include "StoreChecks.h"
#include "TestDatabases.h"
#include "reports/RecordJson.h"
#include "reports/ReportFormats.h"
#include "store/history/OpenHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

using namespace uvq::history;
using namespace uvq::rollouts;
using namespace uvq::reports;
using store_checks::kShaA;
using store_checks::kShaB;
using store_checks::Row;

namespace {

// An attempt as a station records it: begun, and completed with `outcome` unless empty.
void Attempt(HistoryStore& store, OperationRow row, const std::string& outcome, int64_t ended,
             std::optional<uint16_t> status = std::nullopt) {
  row.id = store.begin(row);
  if (outcome.empty()) return;
  row.outcome = outcome;
  row.endedAt = ended;
  row.finalStatus = status;
  store.complete(row);
}

OperationRow Program(const std::string& unit, const std::string& target, int64_t started,
                     const std::string& sha = kShaA, const std::string& station = "s1") {
  OperationRow row = Row("p", unit, target, "program", started);
  row.imagePath = "/img/" + sha.substr(0, 4) + ".cry";
  row.imageSha256 = sha;
  row.station = station;
  return row;
}

const UnitReportRow* Find(const UnitReport& report, const std::string& unit,
                          const std::string& address) {
  for (const UnitReportRow& row : report.rows)
    if (row.unitId == unit && row.address == address) return &row;
  return nullptr;
}

RolloutDefinition Definition(const std::string& name, int units) {
  RolloutDefinition definition;
  definition.name = name;
  definition.createdAt = 1000;
  definition.createdBy = "s1";
  definition.imagePath = "/img/line.cry";
  definition.imageSha256 = kShaA;
  definition.image = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{1, 0, 2, 0});
  definition.successThreshold = 0;
  definition.errorThreshold = 100;
  definition.retries = 2;
  for (int i = 0; i < units; ++i)
    definition.targets.push_back(
        {"127.30.0." + std::to_string(i + 1), 0x7f1e0001u + static_cast<uint32_t>(i), "", 0});
  return definition;
}

AttemptResult Ended(int position, AttemptEnd end, const std::string& outcome,
                    const std::string& unit, std::optional<uint16_t> status = std::nullopt) {
  AttemptResult result;
  result.position = position;
  result.end = end;
  result.outcome = outcome;
  result.unitId = unit;
  result.status = status;
  return result;
}

UnitReport Sample() {
  UnitReport report;
  report.kind = "rollout";
  report.subject = "line <7> & \"B\"";
  report.facts = {"image /img/<b>.cry"};
  report.generatedAt = 1796000000000;
  UnitReportRow row;
  row.unitId = "0100";
  row.address = "127.30.0.1";
  row.imagePath = "=HYPERLINK(\"http://x\"),a.cry";
  row.imageSha256 = kShaA;
  row.outcome = "ok";
  row.status = 0x0002;
  row.station = "@line\x1b[2J";
  row.attempts = 2;
  row.finalAttemptAt = 1796000000500;
  report.rows.push_back(row);
  row.unitId = "0101";
  row.station = "<script>alert(1)</script>";
  row.imagePath = "-2+3";
  row.outcome = "unit_error";
  row.finalAttemptAt.reset();
  report.rows.push_back(row);
  return report;
}

}  // namespace

class ReportTest : public QObject {
  Q_OBJECT

  TestDatabases databases_;

 private slots:
  void initTestCase_data() { TestDatabases::AddEngines(); }
  void initTestCase() {
    const std::string problem = databases_.start();
    QVERIFY2(problem.empty(), problem.c_str());
  }

  // Every unit of the rollout in its order, with its claim's final state and the time of its
  // final attempt from the history; another rollout's rows on the same address do not count.
  void rolloutReportShowsEachUnitsFinalState() {
    const std::string db = databases_.newDb();
    auto history = OpenHistoryStore(db);
    auto rollouts = OpenRolloutStore(db);
    QVERIFY(rollouts->create(Definition("line7", 3)));
    const ClaimHolder a{"station-a", "ta"}, b{"station-b", "tb"};
    QCOMPARE(rollouts->claim("line7", {a, 2, 2000, 60000, std::nullopt}).size(), size_t{2});
    OperationRow first = Program("0100", "127.30.0.1", 2000, kShaA, "station-a");
    first.rollout = "line7";
    first.group = 0;
    Attempt(*history, first, "no_answer", 2100);
    rollouts->end("line7", a, Ended(0, AttemptEnd::Retryable, "no_answer", ""), 2100);
    OperationRow unitError = Program("0101", "127.30.0.2", 2000, kShaA, "station-a");
    unitError.rollout = "line7";
    Attempt(*history, unitError, "unit_error", 2300, 0x6002);
    rollouts->end("line7", a, Ended(1, AttemptEnd::UnitError, "unit_error", "0101", 0x6002), 2300);
    // The retry goes to the other station, and succeeds.
    QCOMPARE(rollouts->claim("line7", {b, 1, 3000, 60000, std::nullopt}).size(), size_t{1});
    OperationRow second = Program("0100", "127.30.0.1", 3000, kShaA, "station-b");
    second.rollout = "line7";
    Attempt(*history, second, "ok", 3500, 0x0002);
    rollouts->end("line7", b, Ended(0, AttemptEnd::Ok, "ok", "0100", 0x0002), 3500);
    // Later, and in another rollout: not this report's.
    OperationRow other = Program("0100", "127.30.0.1", 9000, kShaB);
    other.rollout = "other";
    Attempt(*history, other, "unit_error", 9100);

    const auto report = RolloutReport(*history, *rollouts, "line7", 10000);
    QVERIFY(report);
    QCOMPARE(report->kind, std::string("rollout"));
    QCOMPARE(report->rows.size(), size_t{3});
    const UnitReportRow& ok = report->rows[0];
    QCOMPARE(ok.unitId, std::string("0100"));
    QCOMPARE(ok.address, std::string("127.30.0.1"));
    QCOMPARE(ok.imageSha256, kShaA);
    QCOMPARE(ok.imagePath, std::string("/img/line.cry"));
    QCOMPARE(ok.outcome, std::string("ok"));
    QCOMPARE(ok.station, std::string("station-b"));
    QCOMPARE(ok.attempts, 2);
    QCOMPARE(ok.finalAttemptAt, std::optional<UtcMillis>(3500));
    QCOMPARE(ok.status, std::optional<uint16_t>(0x0002));
    const UnitReportRow& failed = report->rows[1];
    QCOMPARE(failed.unitId, std::string("0101"));
    QCOMPARE(failed.outcome, std::string("unit_error"));
    QCOMPARE(failed.attempts, 1);
    QCOMPARE(failed.finalAttemptAt, std::optional<UtcMillis>(2300));
    QCOMPARE(failed.status, std::optional<uint16_t>(0x6002));
    const UnitReportRow& untouched = report->rows[2];
    QCOMPARE(untouched.address, std::string("127.30.0.3"));
    QCOMPARE(untouched.outcome, std::string("pending"));
    QCOMPARE(untouched.attempts, 0);
    QVERIFY(!untouched.finalAttemptAt);
    const ReportTotals totals = report->totals();
    QCOMPARE(totals.units, 3);
    QCOMPARE(totals.ok, 1);
    QCOMPARE(totals.failed, 1);
    QCOMPARE(totals.pending, 1);
    QVERIFY(!RolloutReport(*history, *rollouts, "no-such", 10000));
  }

  // A unit is its ID at its address: the same ID at two addresses is two units. Each shows its
  // final attempt in the time asked and counts its attempts there; with an image, only the
  // units that carry it now (an erase of the program memory ends that).
  void unitsReportTakesEachUnitsFinalAttempt() {
    const std::string db = databases_.newDb();
    auto history = OpenHistoryStore(db);
    Attempt(*history, Program("0100", "127.31.0.1", 1000, kShaB), "no_answer", 1100);
    Attempt(*history, Program("0100", "127.31.0.1", 2000), "ok", 2500, 0x0002);
    Attempt(*history, Program("0100", "127.31.0.2", 2600, kShaA, "s2"), "ok", 2900);
    Attempt(*history, Program("0200", "127.31.0.3", 3000), "ok", 3400);
    OperationRow erase = Row("e", "0200", "127.31.0.3", "erase", 3600);
    erase.eraseKind = "program";
    Attempt(*history, erase, "ok", 3700);
    Attempt(*history, Program("0300", "127.31.0.4", 4000), "", 0);  // never completed
    Attempt(*history, Row("status", "0400", "127.31.0.5", "status", 4100), "ok", 4200);

    UnitReport all = UnitsReport(*history, {}, 5000);
    QCOMPARE(all.rows.size(), size_t{4});  // a status sighting is no programming attempt
    const UnitReportRow* first = Find(all, "0100", "127.31.0.1");
    QVERIFY(first);
    QCOMPARE(first->attempts, 2);
    QCOMPARE(first->outcome, std::string("ok"));
    QCOMPARE(first->imageSha256, kShaA);
    QCOMPARE(first->finalAttemptAt, std::optional<UtcMillis>(2500));
    QCOMPARE(first->status, std::optional<uint16_t>(0x0002));
    const UnitReportRow* moved = Find(all, "0100", "127.31.0.2");
    QVERIFY(moved);
    QCOMPARE(moved->attempts, 1);
    QCOMPARE(moved->station, std::string("s2"));
    const UnitReportRow* open = Find(all, "0300", "127.31.0.4");
    QVERIFY(open);
    // Its writer (this process, its store open) still lives: the attempt is running.
    QCOMPARE(open->outcome, std::string("running"));
    QCOMPARE(open->finalAttemptAt, std::optional<UtcMillis>(4000));

    UnitsReportFilter since;
    since.since = 1500;
    const UnitReport later = UnitsReport(*history, since, 5000);
    QCOMPARE(Find(later, "0100", "127.31.0.1")->attempts, 1);
    UnitsReportFilter until;
    until.until = 1500;
    const UnitReport earlier = UnitsReport(*history, until, 5000);
    QCOMPARE(earlier.rows.size(), size_t{1});
    QCOMPARE(earlier.rows[0].outcome, std::string("no_answer"));
    QCOMPARE(earlier.rows[0].imageSha256, kShaB);

    UnitsReportFilter image;
    image.image = kShaA;
    const UnitReport carriers = UnitsReport(*history, image, 5000);
    // 0200 was erased, 0300 never finished, 0400 was only asked: only 0100 carries the image.
    QVERIFY(!carriers.rows.empty());
    for (const UnitReportRow& row : carriers.rows) QCOMPARE(row.unitId, std::string("0100"));
    QVERIFY(Find(carriers, "0100", "127.31.0.2"));
    QVERIFY(carriers.subject.find(kShaA) != std::string::npos);
  }

  // A spreadsheet never runs a cell as a formula; quotes, commas and control bytes stay data.
  void csvNeutralisesFormulasAndEscapes() {
    const std::string csv = ReportCsv(Sample());
    QVERIFY(csv.starts_with(
        "unit,address,image_sha256,image,outcome,status,status_words,station,attempts,"
        "final_attempt\r\n"));
    QVERIFY2(csv.find(",\"'=HYPERLINK(\"\"http://x\"\"),a.cry\",") != std::string::npos,
             csv.c_str());
    QVERIFY2(csv.find(",'@line\\x1B[2J,") != std::string::npos, csv.c_str());
    QVERIFY2(csv.find(",'-2+3,") != std::string::npos, csv.c_str());
    QVERIFY(csv.find('\x1b') == std::string::npos);
    QCOMPARE(CsvCell("+1"), std::string("'+1"));
    QCOMPARE(CsvCell("a+1"), std::string("a+1"));
    QCOMPARE(CsvCell("\tx"), std::string("\\x09x"));  // no raw tab left to start a cell
    QCOMPARE(CsvCell("line\nbreak"), std::string("line\\x0Abreak"));
    // Heading, two rows, and nothing else.
    QCOMPARE(std::count(csv.begin(), csv.end(), '\n'), 3);
  }

  // The page carries the stored text as text only, needs nothing from elsewhere and names what
  // it covers, when it was made and its totals.
  void htmlEscapesAndStandsAlone() {
    const std::string html = ReportHtml(Sample());
    QVERIFY(html.find("<script") == std::string::npos);
    QVERIFY(html.find("&lt;script&gt;alert(1)&lt;/script&gt;") != std::string::npos);
    QVERIFY(html.find("Rollout line &lt;7&gt; &amp; &quot;B&quot;") != std::string::npos);
    QVERIFY(html.find("/img/&lt;b&gt;.cry") != std::string::npos);
    QVERIFY(html.find('\x1b') == std::string::npos);
    for (const char* outside : {"src=", "href=", "@import", "url(", "@font-face"})
      QVERIFY2(html.find(outside) == std::string::npos, outside);
    QVERIFY(html.find("size: A4") != std::string::npos);
    QVERIFY(html.find("Generated 2026-11-30T00:53:20.000Z (UTC)") != std::string::npos);
    QVERIFY(html.find("Units: 2") != std::string::npos);
    QVERIFY(html.find("ok: 1") != std::string::npos);
    QVERIFY(html.find("failed: 1") != std::string::npos);
  }

  // The JSON document's units are the rows' one JSON form; its heading counts them.
  void jsonIsTheRowsOneForm() {
    const UnitReport report = Sample();
    const nlohmann::json document = nlohmann::json::parse(ReportJson(report));
    QCOMPARE(document["report"].get<std::string>(), std::string("rollout"));
    QCOMPARE(document["totals"]["units"].get<int>(), 2);
    QCOMPARE(document["units"].size(), size_t{2});
    QVERIFY(document["units"][0] == ReportRowJson(report.rows[0]));
    QCOMPARE(document["units"][0]["status_words"].get<std::string>().substr(0, 4),
             std::string("0002"));
    QVERIFY(document["units"][1]["final_attempt"].is_null());
    QCOMPARE(ReportFileName(report, ReportFormat::Html),
             std::string("uvq-rollout-line__7_____B_.html"));
  }
};

QTEST_GUILESS_MAIN(ReportTest)
#include "ReportTest.moc"
