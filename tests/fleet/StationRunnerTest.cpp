// SPDX-License-Identifier: Apache-2.0
// The station loop on its own: a session pool fed by the station runner, against scripted units
// on a loopback address of this suite (127.0.74.x) answered from a thread of their own. Each
// case stops the pool from the station's events once what it checks has happened.
#include <QtTest>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "FakePorts.h"
#include "UnitsOnTheirThread.h"
#include "fleet/SessionPool.h"
#include "fleet/StationRunner.h"
#include "fleet/StopSource.h"
#include "jobs/ScriptedUnits.h"

using namespace uvq;
using namespace uvq::fleet;

namespace {

constexpr size_t kRecords = 4;

uint32_t HostOrder(const char* address) {
  in_addr raw{};
  ::inet_pton(AF_INET, address, &raw);
  return ntohl(raw.s_addr);
}

// What the station said, and a script run on its events: `onEvent` is asked after each one and
// may stop the pool. A case that never reaches its end stops at the guard and fails.
struct Watched final : StationEvents, SessionEvents {
  struct Said {
    std::string what;  // "started", "ended", "skipped"
    std::string unit;
    jobs::JobOutcome outcome = jobs::JobOutcome::Ok;
  };
  std::vector<Said> said;
  int locates = 0;
  int locatesSeeingNone = 0;
  StopSource stop;
  std::function<void(Watched&)> onEvent;
  TimePoint guard = SteadyClock::now() + std::chrono::seconds(60);
  bool guardPassed = false;

  int count(const std::string& what) const {
    int n = 0;
    for (const Said& s : said) n += s.what == what;
    return n;
  }
  void next() {
    if (onEvent) onEvent(*this);
  }
  void unitSkipped(const std::string&, const std::string& unit) override {
    said.push_back({"skipped", unit});
    next();
  }
  void unitStarted(const std::string&, const std::string& unit) override {
    said.push_back({"started", unit});
    next();
  }
  void unitEnded(const std::string&, const std::string& unit, const SessionResult& result,
                 double) override {
    said.push_back({"ended", unit, result.outcome});
    next();
  }
  void roundDone() override {
    if (SteadyClock::now() > guard) {
      guardPassed = true;
      stop.request(StopCause::Terminate);
    }
  }
  void logLine(std::string_view, std::string_view) override {}
  void ended(const Session& session) override {
    // A locate nobody answered ends as no answer; one the stop ended counts for nothing.
    if (session.kind() != jobs::JobKind::Locate ||
        session.result().outcome == jobs::JobOutcome::Interrupted)
      return;
    ++locates;
    if (session.result().units.empty()) ++locatesSeeingNone;
    next();
  }
};

// One station over one address until the events stop it.
struct Station {
  jobtest::ScriptedUnits site;
  test::FixedClock clock;
  test::SilentTone tone;
  test::MemoryFileSystem files;
  Watched watched;
  std::unique_ptr<StationRunner> runner;
  explicit Station(const char* address) : site(address) {
    site.imageRecords = kRecords;
    const uint32_t a = HostOrder(address);
    runner =
        std::make_unique<StationRunner>(StationRunner::Setup{{a, a},
                                                             20,
                                                             test::ScriptedProgramPlan(kRecords),
                                                             "sha",
                                                             nullptr,
                                                             watched,
                                                             watched,
                                                             {clock, tone, files}});
  }
  void run() {
    SessionPool pool(4, &watched.stop);
    runner->setPool(&pool);
    pool.run(*runner);
  }
};

}  // namespace

class StationRunnerTest : public QObject {
  Q_OBJECT
 private slots:
  // A unit found is programmed once; while it stays plugged in, later locates leave it be.
  void aUnitIsProgrammedOnceWhileItStaysPluggedIn() {
    Station s("127.0.74.1");
    s.site.units = {jobtest::ScriptedUnit{.id = 0x0741}};
    int locatesAtEnd = -1;
    s.watched.onEvent = [&](Watched& w) {
      if (w.count("ended") == 1 && locatesAtEnd < 0) locatesAtEnd = w.locates;
      if (locatesAtEnd >= 0 && w.locates >= locatesAtEnd + 5) w.stop.request(StopCause::Interrupt);
    };
    {
      test::UnitsOnTheirThread units(s.site);
      s.run();
    }
    QVERIFY(!s.watched.guardPassed);
    QCOMPARE(s.watched.count("started"), 1);
    QCOMPARE(s.watched.said.back().what, std::string("ended"));
    QVERIFY(s.watched.said.back().outcome == jobs::JobOutcome::Ok);
    QCOMPARE(s.site.units[0].captures, 1);
    QCOMPARE(s.site.units[0].written.size(), kRecords * protocol::kRecordSize);
    QCOMPARE(s.runner->ok(), 1);
    QVERIFY(s.runner->firstFailure() == jobs::JobOutcome::Ok);
  }

  // A unit that failed is not tried again while it stays plugged in; unplugged and plugged in
  // again, it is a new try.
  void aFailedUnitIsTriedAgainOnlyAfterItWasGone() {
    Station s("127.0.74.2");
    s.site.units = {jobtest::ScriptedUnit{.id = 0x0742}};
    s.site.statusAfterReset = [] { return uint16_t{0x2000}; };  // no valid program: verify fails
    std::unique_ptr<test::UnitsOnTheirThread> units;
    int locatesAtFailure = -1;
    int startsBeforeUnplugging = -1;
    s.watched.onEvent = [&](Watched& w) {
      if (w.count("ended") == 1 && locatesAtFailure < 0) locatesAtFailure = w.locates;
      // Five locates see the failed unit: then it is unplugged, and plugged in once a locate
      // found the address empty.
      if (locatesAtFailure >= 0 && startsBeforeUnplugging < 0 &&
          w.locates >= locatesAtFailure + 5) {
        startsBeforeUnplugging = w.count("started");
        units->plugged = false;
      }
      if (startsBeforeUnplugging >= 0 && w.locatesSeeingNone > 0) units->plugged = true;
      if (w.count("started") == 2) w.stop.request(StopCause::Interrupt);
    };
    units = std::make_unique<test::UnitsOnTheirThread>(s.site);
    s.run();
    units.reset();
    QVERIFY(!s.watched.guardPassed);
    QCOMPARE(startsBeforeUnplugging, 1);
    QVERIFY(s.watched.said[1].outcome == jobs::JobOutcome::UnitError);
    QCOMPARE(s.watched.count("started"), 2);
    QCOMPARE(s.runner->failed(), 1);
    QVERIFY(s.runner->firstFailure() == jobs::JobOutcome::UnitError);
  }

  // A unit the history says has the image is said once per plugging in, never programmed; one
  // that reports no valid program is programmed whatever the history says.
  void unitsKnownToHaveTheImageAreSkippedUnlessTheyRunNoProgram() {
    Station s("127.0.74.3");
    s.site.units = {jobtest::ScriptedUnit{.id = 0x0743},
                    jobtest::ScriptedUnit{.id = 0x0744, .userCodeInvalid = true}};
    const uint32_t a = HostOrder("127.0.74.3");
    s.runner->remember({{a, "0743"}, {a, "0744"}});
    s.watched.onEvent = [&](Watched& w) {
      if (w.count("ended") == 1 && w.locates >= 6) w.stop.request(StopCause::Interrupt);
    };
    {
      test::UnitsOnTheirThread units(s.site);
      s.run();
    }
    QVERIFY(!s.watched.guardPassed);
    QCOMPARE(s.watched.count("skipped"), 1);
    QCOMPARE(s.watched.said[0].unit, std::string("0743"));
    QCOMPARE(s.watched.count("started"), 1);
    QCOMPARE(s.site.units[0].captures, 0);
    QCOMPARE(s.site.units[1].captures, 1);
    QCOMPARE(s.runner->skipped(), 1);
  }
};

QTEST_GUILESS_MAIN(StationRunnerTest)
#include "StationRunnerTest.moc"
