// SPDX-License-Identifier: Apache-2.0
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <sys/stat.h>

#include "RolloutFill.h"
#include "ServeProcess.h"
#include "WebDriver.h"
#include "store/history/OpenHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

using nlohmann::json;

namespace {

const std::string kToken = "browser-test-token-0123456789";
// Markup in a name is shown as it is written, never run.
const std::string kRollout =
    "line 7 <img src=x onerror=\"window.pwned=1\"><script>window.pwned=2</script>";

// The text of one count of one group on the rollouts page ("ok", "failed", ...).
const char* const kGroupCount = R"(
  const card = [...document.querySelectorAll('section.rollout')]
      .find((c) => c.getAttribute('data-rollout') === arguments[0]);
  if (!card) return null;
  const counts = card.querySelectorAll('.groups [data-count="' + arguments[2] + '"]');
  return counts[arguments[1]] ? counts[arguments[1]].textContent : null;)";

// The content of the first file the browser finished saving whose name ends in `ending`.
std::string Downloaded(const WebDriver& browser, const std::string& ending) {
  const QDir folder(QString::fromStdString(browser.downloads()));
  QString found;
  // The browser puts an empty file of the final name in place before the download is written
  // (to a .crdownload file renamed over it at the end): a download is there once no
  // .crdownload is left and its file has bytes.
  (void)QTest::qWaitFor(
      [&] {
        found.clear();
        bool inProgress = false;
        for (const QString& name : folder.entryList(QDir::Files)) {
          if (name.endsWith(".crdownload")) inProgress = true;
          if (name.endsWith(QString::fromStdString(ending))) found = folder.filePath(name);
        }
        return !inProgress && !found.isEmpty() && QFileInfo(found).size() > 0;
      },
      60000);
  QFile file(found);
  if (found.isEmpty() || !file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

// A report page without the line that says when it was made.
std::string WithoutGenerationTime(std::string html) {
  const size_t at = html.find("<p>Generated ");
  if (at != std::string::npos) html.erase(at, html.find("</p>", at) - at);
  return html;
}

}  // namespace

// The real page in Debian's headless Chromium, served by `uvq serve`, while a station works on
// a rollout through the store: the groups fill, a failure appears with its words, and pause and
// resume work with the token and fail without it. Screenshots go to artefacts/dashboard in the
// build folder.
class DashboardBrowserTest : public QObject {
  Q_OBJECT

  QTemporaryDir scratch_;
  std::string artefacts_;

  bool Shot(WebDriver& browser, const std::string& name) {
    return browser.screenshot(artefacts_ + "/" + name + ".png");
  }

 private slots:
  void initTestCase() {
    QVERIFY(scratch_.isValid());
    artefacts_ = (qEnvironmentVariable("UVQ_BUILD_DIR") + "/artefacts/dashboard").toStdString();
    QVERIFY(QDir().mkpath(QString::fromStdString(artefacts_)));
  }

  void pageFollowsARolloutAndTakesActionsOnlyWithTheToken() {
    // The clock of the machine: the page says how long ago a station was last seen.
    const int64_t kNow = QDateTime::currentMSecsSinceEpoch();
    const std::string db = scratch_.filePath("history.sqlite3").toStdString();
    const QString tokenFile = scratch_.filePath("token");
    {
      QFile file(tokenFile);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(QByteArray::fromStdString(kToken + "\n"));
    }
    ::chmod(tokenFile.toLocal8Bit().constData(), 0600);

    auto store = uvq::rollouts::OpenRolloutStore(db);
    QVERIFY(store->create(rollout_fill::Definition(kRollout, 3, 6, 50)));
    QVERIFY(store->create(rollout_fill::Definition("line 8", 1, 4)));
    // A little history for the history and unit pages.
    {
      auto history = uvq::history::OpenHistoryStore(db);
      for (int i = 0; i < 6; ++i) {
        uvq::history::OperationRow row;
        // Two minutes apart: each ok attempt a step of its own in the pictures.
        row.startedAt = kNow - (6 - i) * 120'000;
        row.station = "bench-" + std::to_string(1 + i % 2);
        row.frontEnd = "cli";
        row.target = "127.30.0." + std::to_string(i + 1);
        row.unitId = "010" + std::to_string(i);
        row.operation = "program";
        row.imagePath = "/images/line.cry";
        row.imageSha256 = rollout_fill::kSha;
        row.records = 2;
        row.rollout = kRollout;
        row.group = 0;
        row.id = history->begin(row);
        row.endedAt = row.startedAt + 900;
        row.outcome = i == 2 ? "unit_error" : "ok";
        if (i == 2) row.finalStatus = 0x6042;
        history->complete(row);
      }
    }

    ServeProcess serve({"--db", QString::fromStdString(db), "--listen", "127.0.21.1:0",
                        "--allow-actions", "--token-file", tokenFile});
    QVERIFY2(serve.listening(), serve.problem().c_str());
    WebDriver browser(scratch_.filePath("browser").toStdString());
    QVERIFY2(browser.ready(), browser.problem().c_str());

    // The overview: both rollouts, nothing done yet.
    QVERIFY(browser.open(serve.url()));
    QVERIFY(browser.waitUntil(std::string("return (() => {") + kGroupCount + "})() === '6';",
                              {kRollout, 0, "pending"}));
    QVERIFY(Shot(browser, "1-overview-start"));
    // No station has shown up: the rollout says it waits for one; the clock is UTC.
    const json waiting = browser.run(R"(
      const card = [...document.querySelectorAll('section.rollout')]
          .find((c) => c.getAttribute('data-rollout') === arguments[0]);
      return [card.querySelector('.state').textContent,
              /live · \d\d:\d\d:\d\d UTC/.test(document.body.textContent)];)",
                                     {kRollout});
    QVERIFY2(waiting == json::array({"waiting for a station", true}), waiting.dump().c_str());

    // A station takes four units of the first group and ends three: the page follows by itself.
    rollout_fill::Station station(*store, kRollout, "bench-1");
    std::vector<uvq::rollouts::Claim> claims = station.claim(4, kNow);
    QCOMPARE(claims.size(), size_t{4});
    station.ok(claims[0], kNow + 100);
    station.ok(claims[1], kNow + 200);
    station.unitError(claims[2], kNow + 300);
    const std::string count = std::string("return (() => {") + kGroupCount + "})();";
    QVERIFY(
        browser.waitUntil(count.substr(0, count.size() - 1) + " === '2';", {kRollout, 0, "ok"}));
    QVERIFY(browser.run(count, {kRollout, 0, "failed"}) == json("1"));
    QVERIFY(browser.run(count, {kRollout, 0, "running"}) == json("1"));
    QVERIFY(browser.run(count, {kRollout, 1, "pending"}) == json("6"));
    // The name is text: no element was made from it and no script of it ran.
    const json shown = browser.run(R"(
      const card = [...document.querySelectorAll('section.rollout')]
          .find((c) => c.getAttribute('data-rollout') === arguments[0]);
      return [card.querySelector('.name').textContent, card.querySelectorAll('img, script').length,
              window.pwned === undefined];)",
                                   {kRollout});
    QVERIFY2(shown == json::array({kRollout, 0, true}), shown.dump().c_str());
    QVERIFY(Shot(browser, "2-overview-running"));

    // The rollout's own page, through its link: the failure with its outcome and status words.
    browser.run(R"(
      [...document.querySelectorAll('section.rollout')]
          .find((c) => c.getAttribute('data-rollout') === arguments[0])
          .querySelector('a.name').click();)",
                {kRollout});
    QVERIFY(browser.waitUntil(R"(
      const cells = [...document.querySelectorAll('td')].map((td) => td.textContent);
      return cells.includes('unit_error') && cells.some((t) => t.includes('record checksum error'));)"));
    QVERIFY(browser.run("return document.getElementById('rollout-name').textContent;") ==
            json(kRollout));
    QVERIFY(Shot(browser, "3-rollout-failure"));

    // Pause without the token: refused, and the rollout still runs.
    const auto click = [&](const std::string& action, const std::string& token) {
      browser.run(R"(
        document.getElementById('action-token').value = arguments[1];
        document.querySelector('button[data-action="' + arguments[0] + '"]').click();)",
                  {action, token});
    };
    click("pause", "");
    QVERIFY(browser.waitUntil(
        "return document.getElementById('action-message').textContent.includes('refused');"));
    click("pause", "not-the-token-at-all");
    // A refused token is said and not kept.
    QVERIFY(browser.waitUntil(
        "return document.getElementById('action-message').textContent.includes('not accepted') "
        "&& document.getElementById('action-token').value === '';"));
    QCOMPARE(store->status(kRollout)->summary.state, uvq::rollouts::RolloutState::Running);
    QVERIFY(Shot(browser, "4-pause-refused"));

    // With the token: paused, and the page says so; the station gets nothing more.
    click("pause", kToken);
    QVERIFY(browser.waitUntil(
        "return document.querySelector('h1 .state').getAttribute('data-state') === 'paused';"));
    QCOMPARE(store->status(kRollout)->summary.state, uvq::rollouts::RolloutState::Paused);
    QVERIFY(station.claim(2, kNow + 400).empty());
    QVERIFY(Shot(browser, "5-paused"));
    click("resume", kToken);
    QVERIFY(browser.waitUntil(
        "return document.getElementById('action-message').textContent.startsWith('resume: done') "
        "&& document.querySelector('h1 .state').getAttribute('data-state') === 'running';"));

    // The group ends while the page is open; the next one starts filling.
    station.ok(claims[3], kNow + 500);
    for (const auto& claim : station.claim(2, kNow + 600)) station.ok(claim, kNow + 700);
    std::vector<uvq::rollouts::Claim> next = station.claim(3, kNow + 800);
    QVERIFY(!next.empty());
    QCOMPARE(next.front().group, 1);
    station.ok(next.front(), kNow + 900);
    QVERIFY(browser.waitUntil(R"(
      const counts = document.querySelectorAll('.groups [data-count="ok"]');
      return counts.length === 3 && counts[0].textContent === '5' && counts[1].textContent === '1';)"));
    QVERIFY(Shot(browser, "6-second-group"));

    // The history, a unit and an image, as the command line words them.
    QVERIFY(browser.open(serve.url() + "history?outcome=unit_error"));
    QVERIFY(browser.waitUntil(R"(
      const rows = document.querySelectorAll('tbody tr[data-key]');
      return rows.length === 1 && rows[0].textContent.includes('unit_error');)"));
    QVERIFY(Shot(browser, "7-history-filtered"));
    QVERIFY(browser.open(serve.url() + "history"));
    QVERIFY(
        browser.waitUntil("return document.querySelectorAll('tbody tr[data-key]').length === 6;"));
    QVERIFY(Shot(browser, "8-history"));
    // An ID alone lists its units (one per address); a unit's page names ID and address.
    QVERIFY(browser.open(serve.url() + "units/0102"));
    QVERIFY(browser.waitUntil(
        "const rows = document.querySelectorAll('tbody tr[data-key]'); return rows.length === 1 "
        "&& rows[0].textContent.includes('127.30.0.3');"));
    QVERIFY(browser.open(serve.url() + "units/0102/127.30.0.3"));
    QVERIFY(browser.waitUntil(
        "return document.querySelectorAll('tbody tr[data-key]').length === 1 && "
        "document.querySelector('dl.facts').textContent.includes('127.30.0.3');"));
    QVERIFY(Shot(browser, "9-unit"));
    QVERIFY(browser.open(serve.url() + "images/" + rollout_fill::kSha));
    QVERIFY(browser.waitUntil(
        "return document.querySelector('.summary-line').textContent.startsWith('5 units');"));
    QVERIFY(Shot(browser, "10-image"));

    // The report buttons save `uvq report`'s files: the rollout's from its page, the units'
    // with the units page's filters (only the time each was made may differ).
    const QString dbArg = QString::fromStdString(db);
    QVERIFY(browser.open(serve.url() + "rollout?name=" +
                         QUrl::toPercentEncoding(QString::fromStdString(kRollout)).toStdString()));
    QVERIFY(browser.waitUntil("return !!document.querySelector('[data-report=\"csv\"]');"));
    QVERIFY(Shot(browser, "11-rollout-report-buttons"));
    browser.run("document.querySelector('[data-report=\"csv\"]').click();");
    const std::string csv = Downloaded(browser, ".csv");
    QVERIFY(!csv.empty());
    const std::string csvFromCli =
        UvqOutput({"report", "rollout", QString::fromStdString(kRollout), "--csv", "--db", dbArg});
    QVERIFY2(csv == csvFromCli, (csv + "\n" + csvFromCli).c_str());
    QVERIFY(browser.open(serve.url() + "units?station=bench-2"));
    QVERIFY(browser.waitUntil("return !!document.querySelector('[data-report=\"html\"]');"));
    browser.run("document.querySelector('[data-report=\"html\"]').click();");
    const std::string html = Downloaded(browser, "uvq-units.html");
    QVERIFY(html.find("station bench-2") != std::string::npos);
    const std::string htmlFromCli =
        UvqOutput({"report", "units", "--html", "--station", "bench-2", "--db", dbArg});
    QVERIFY2(WithoutGenerationTime(html) == WithoutGenerationTime(htmlFromCli),
             (html + "\n" + htmlFromCli).c_str());
    // The pictures, drawn by the page from the history: a step line per station with a dot per
    // ok attempt (bench-1 two, bench-2 three), 5 of 6 units ok at their first attempt, one kind
    // of failure.
    QVERIFY(browser.open(serve.url() + "rollout?name=" +
                         QUrl::toPercentEncoding(QString::fromStdString(kRollout)).toStdString()));
    const char* const kPictures = R"(
      const count = (selector) => document.querySelectorAll(selector).length;
      const text = document.querySelector('svg.chart-yield .yield-text');
      return [count('svg.chart-done path.series'), count('svg.chart-done circle.point'),
              count('svg.chart-failures rect.bar'), text ? text.textContent : ''];)";
    QVERIFY(browser.waitUntil(std::string("return JSON.stringify((() => {") + kPictures +
                              "})()) === JSON.stringify([2, 5, 1, '83.3 % first pass']);"));
    QVERIFY(Shot(browser, "12-rollout-pictures"));
    // The overview draws every station's last day: the same attempts here.
    QVERIFY(browser.open(serve.url()));
    QVERIFY(browser.waitUntil(std::string("return JSON.stringify((() => {") + kPictures +
                              "})()) === JSON.stringify([2, 5, 1, '83.3 % first pass']);"));
    QVERIFY(Shot(browser, "13-overview-pictures"));
    QVERIFY(browser.open(serve.url() + "rollout?name=" +
                         QUrl::toPercentEncoding(QString::fromStdString(kRollout)).toStdString()));
    QVERIFY(browser.waitUntil("return document.querySelectorAll('.stations a').length === 1;"));
    // A station's page, through its name on the rollout's page: its last day.
    browser.run(R"(
      [...document.querySelectorAll('.stations a')].find((a) => a.textContent === 'bench-1').click();)");
    QVERIFY(browser.waitUntil("return !!document.getElementById('station-name');"));
    QVERIFY(browser.open(serve.url() + "station?name=bench-2"));
    QVERIFY(browser.waitUntil(std::string("return JSON.stringify((() => {") + kPictures +
                              "})()) === JSON.stringify([1, 3, 0, '100.0 % first pass']);"));
    QVERIFY(Shot(browser, "14-station"));
    QVERIFY(browser.run("return window.pwned === undefined;") == true);
  }
};

QTEST_GUILESS_MAIN(DashboardBrowserTest)
#include "DashboardBrowserTest.moc"
