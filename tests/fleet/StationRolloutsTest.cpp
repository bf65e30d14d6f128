// SPDX-License-Identifier: Apache-2.0
// A station serving every rollout: one session pool fed by StationRollouts, rollouts in an
// in-memory store, scripted units on this suite's loopback addresses (127.0.76.x) answered from
// a thread of their own. Each case scripts the store from the station's events and stops the
// pool once what it checks has happened.
#include <QtTest>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakePorts.h"
#include "FakeRolloutStore.h"
#include "UnitsOnTheirThread.h"
#include "fleet/RolloutAlerts.h"
#include "fleet/RunLog.h"
#include "fleet/SessionPool.h"
#include "fleet/StationRollouts.h"
#include "fleet/StopSource.h"
#include "jobs/ScriptedUnits.h"

using namespace uvq;
using namespace uvq::fleet;
using rollouts::AttemptEnd;
using rollouts::RolloutState;

namespace {

constexpr size_t kRecords = 4;

// Everything the station said, one line each ("a: ended 127.0.76.1", "joined a paused",
// "left a"), and a script run after each line that may change the store or stop the pool. A
// case that never reaches its end stops at the guard and fails.
struct Script final : StationRolloutsEvents, SessionEvents {
  struct PartEvents final : RolloutEvents {
    Script& script;
    std::string rollout;
    PartEvents(Script& s, std::string name) : script(s), rollout(std::move(name)) {}
    Watching watching() const override { return Watching::EndOnly; }
    void unitStarted(const rollouts::Claim& claim) override {
      script.say(rollout + ": started " + claim.target);
    }
    void unitRedone(const rollouts::Claim&) override {}
    void unitEnded(const rollouts::Claim& claim, const SessionResult& result, AttemptEnd,
                   const rollouts::AttemptVerdict&) override {
      script.say(rollout + ": ended " + claim.target + " " +
                 std::string(jobs::OutcomeIdentifier(result.outcome)));
    }
    void unitMissing(const rollouts::Claim&, int) override {}
    void counts(const rollouts::RolloutSummary&) override {}
    void stateChanged(RolloutState state, const std::string&, size_t) override {
      script.say(rollout + ": state " + std::string(rollouts::RolloutStateName(state)));
    }
    void historyProblem(const std::string&) override {}
    void notice(const std::string&) override {}
  };

  std::vector<std::string> said;
  std::vector<std::unique_ptr<PartEvents>> parts;
  std::vector<RolloutPart> leftParts;
  StopSource stop;
  std::function<void(Script&)> onEvent;
  TimePoint guard = SteadyClock::now() + std::chrono::seconds(60);
  bool guardPassed = false;

  bool saw(const std::string& line) const {
    return std::find(said.begin(), said.end(), line) != said.end();
  }
  int count(const std::string& line) const {
    return static_cast<int>(std::count(said.begin(), said.end(), line));
  }
  void say(std::string line) {
    said.push_back(std::move(line));
    if (onEvent) onEvent(*this);
  }
  RolloutEvents& joined(const rollouts::RolloutDefinition& rollout, RolloutState state) override {
    parts.push_back(std::make_unique<PartEvents>(*this, rollout.name));
    say("joined " + rollout.name + " " + std::string(rollouts::RolloutStateName(state)));
    return *parts.back();
  }
  void left(const std::string& rollout, const RolloutPart& part) override {
    leftParts.push_back(part);
    say("left " + rollout);
  }
  void refused(const std::string& rollout, const std::string&) override {
    say("refused " + rollout);
  }
  void notice(const std::string& line) override { say("notice " + line); }
  void roundDone() override {
    if (SteadyClock::now() > guard) {
      guardPassed = true;
      stop.request(StopCause::Terminate);
    }
  }
  void logLine(std::string_view, std::string_view) override {}
  void ended(const Session&) override {}
};

// Units at their own addresses, one scripted unit each, and rollouts of them in the store.
struct Station {
  std::vector<std::unique_ptr<jobtest::ScriptedUnits>> sites;
  test::FakeRolloutStore store;
  // Never sends here: the store has no events for it to claim.
  RolloutAlerts alerts{store, "st", 60000, {}};
  test::FixedClock clock;
  test::SilentTone tone;
  test::MemoryFileSystem files;
  Script script;
  std::unique_ptr<StationRollouts> station;
  size_t capacity;
  StopCause stoppedBy = StopCause::None;

  Station(std::initializer_list<const char*> addresses, size_t slots) : capacity(slots) {
    uint16_t id = 0x0761;
    for (const char* address : addresses) {
      sites.push_back(std::make_unique<jobtest::ScriptedUnits>(address));
      sites.back()->imageRecords = kRecords;
      sites.back()->units = {jobtest::ScriptedUnit{.id = id++}};
    }
    RolloutRunSettings settings;
    station = std::make_unique<StationRollouts>(StationRollouts::Setup{
        settings, store, rollouts::ClaimHolder{"st", "st:1:x"}, nullptr,
        test::ScriptedProgramPlan(kRecords), script, script, SharedPorts{clock, tone, files},
        capacity, std::chrono::milliseconds(10), nullptr, &alerts});
  }
  // A rollout of the units at these addresses, its positions from `first` on.
  void add(const std::string& name, std::vector<const char*> addresses, int first,
           RolloutState state = RolloutState::Running) {
    test::FakeRolloutStore::Named& named = store.byName[name];
    named.state = state;
    named.definition.name = name;
    named.definition.imagePath = "/nonexistent/uvq-test/" + name + ".cry";  // the stored copy
    named.definition.image = test::ScriptedProgramPlan(kRecords).image.bytes;
    named.definition.imageSha256 = Sha256Of(*named.definition.image);
    for (const char* address : addresses) named.toHand.push_back(test::ClaimAt(address, first++));
  }
  void run() {
    std::vector<jobtest::ScriptedUnits*> all;
    for (auto& site : sites) all.push_back(site.get());
    test::UnitsOnTheirThread units(all);
    SessionPool pool(capacity, &script.stop);
    station->setPool(&pool);
    stoppedBy = pool.run(*station);
    station->leaveAll(stoppedBy);
  }
  bool programmed(size_t site) const {
    const jobtest::ScriptedUnit& unit = sites[site]->units[0];
    return unit.captures == 1 && unit.written.size() == kRecords * protocol::kRecordSize;
  }
};

}  // namespace

class StationRolloutsTest : public QObject {
  Q_OBJECT
 private slots:
  // Two rollouts share one slot and are both served; one created while the station runs is
  // picked up at the next look. A rollout whose image was changed is refused, and said once
  // however often it is looked at.
  void rolloutsAreServedAndOneCreatedLaterIsPickedUp() {
    Station s({"127.0.76.1", "127.0.76.2", "127.0.76.3"}, 1);
    s.add("a", {"127.0.76.1"}, 0);
    s.add("b", {"127.0.76.2"}, 10);
    s.add("bad", {"127.0.76.9"}, 90);
    s.store.byName["bad"].definition.imageSha256 = std::string(64, '0');
    s.script.onEvent = [&](Script& w) {
      if (w.saw("a: ended 127.0.76.1 ok") && w.saw("b: ended 127.0.76.2 ok") &&
          !s.store.byName.contains("c"))
        s.add("c", {"127.0.76.3"}, 20);
      if (w.saw("left c")) w.stop.request(StopCause::Interrupt);
    };
    s.run();
    QVERIFY(!s.script.guardPassed);
    QVERIFY(s.programmed(0) && s.programmed(1) && s.programmed(2));
    QCOMPARE(s.store.ended.size(), size_t{3});
    for (const rollouts::AttemptResult& end : s.store.ended) QCOMPARE(end.end, AttemptEnd::Ok);
    QCOMPARE(s.script.count("joined a running"), 1);
    QCOMPARE(s.script.count("left a"), 1);  // nothing left: not joined again at later looks
    QCOMPARE(s.script.count("refused bad"), 1);
    QVERIFY(s.store.count("unfinished") > 3);
    QCOMPARE(s.station->ok(), 3);
    QCOMPARE(s.script.leftParts.size(), size_t{3});
    for (const RolloutPart& part : s.script.leftParts) QVERIFY(part.noWorkLeft);
  }

  // A paused rollout is joined and waited for: nothing of it starts while another rollout is
  // served; resumed, its unit is programmed.
  void aPausedRolloutIsWaitedForUntilItsResume() {
    Station s({"127.0.76.4", "127.0.76.5"}, 2);
    s.add("p", {"127.0.76.4"}, 0, RolloutState::Paused);
    s.add("q", {"127.0.76.5"}, 10);
    s.script.onEvent = [&](Script& w) {
      if (w.saw("q: ended 127.0.76.5 ok") && w.saw("joined p paused") &&
          s.store.byName["p"].state == RolloutState::Paused) {
        QVERIFY(!w.saw("p: started 127.0.76.4"));
        s.store.byName["p"].state = RolloutState::Running;
      }
      if (w.saw("p: ended 127.0.76.4 ok")) w.stop.request(StopCause::Interrupt);
    };
    s.run();
    QVERIFY(!s.script.guardPassed);
    QVERIFY(s.script.saw("p: state running"));
    QVERIFY(s.programmed(0) && s.programmed(1));
    QCOMPARE(s.script.count("joined p paused"), 1);
  }

  // A stop ends the run: the units in flight are ended in the store (none stays held), every
  // rollout still joined is left with the stop's cause.
  void aStopEndsTheUnitsInFlightAndLeavesEveryRollout() {
    Station s({"127.0.76.6", "127.0.76.7"}, 4);
    for (auto& site : s.sites) site->units[0].delayMs = 30;  // long enough to be stopped
    s.add("x", {"127.0.76.6"}, 0);
    s.add("y", {"127.0.76.7"}, 10);
    s.script.onEvent = [&](Script& w) {
      if (w.saw("x: started 127.0.76.6") && w.saw("y: started 127.0.76.7"))
        w.stop.request(StopCause::Terminate);
    };
    s.run();
    QVERIFY(!s.script.guardPassed);
    QCOMPARE(s.stoppedBy, StopCause::Terminate);
    QCOMPARE(s.store.ended.size(), size_t{2});
    for (int position : {0, 10}) QVERIFY(!s.store.held(position));
    QCOMPARE(s.script.leftParts.size(), size_t{2});
    for (const RolloutPart& part : s.script.leftParts)
      QCOMPARE(part.stoppedBy, StopCause::Terminate);
  }

  // Only a rollout with a notify URL is watched, and only while the station is joined to it; the
  // watch has its last look as the station leaves (the rollout's end is told too).
  void onlyARolloutWithANotifyUrlIsWatchedWhileJoined() {
    Station s({"127.0.76.10", "127.0.76.11"}, 2);
    s.add("told", {"127.0.76.10"}, 0);
    s.store.byName["told"].definition.notifyUrl = "http://127.0.76.250:9/hook";
    s.add("quiet", {"127.0.76.11"}, 10);
    std::map<std::string, std::string> watchedAt;  // event -> the rollouts watched then
    int looksAtLeave = -1;
    s.script.onEvent = [&](Script& w) {
      std::string watched;
      for (const std::string& name : s.alerts.watching()) watched += name + " ";
      watchedAt[w.said.back()] = watched;
      if (w.said.back() == "left told") {
        std::lock_guard lock(s.store.eventsMutex);
        looksAtLeave = s.store.eventLooks;
      }
      if (w.saw("left told") && w.saw("left quiet")) w.stop.request(StopCause::Interrupt);
    };
    s.run();
    QVERIFY(!s.script.guardPassed);
    QCOMPARE(watchedAt.at("told: started 127.0.76.10"), std::string("told "));
    QVERIFY(watchedAt.at("quiet: started 127.0.76.11").find("quiet") == std::string::npos);
    QVERIFY(watchedAt.at("left told").find("told") == std::string::npos);
    QVERIFY(looksAtLeave >= 1);
    QVERIFY(s.alerts.watching().empty());
  }

  // The store cannot be asked for rollouts: said once, asked again, and the rollouts are served
  // once it answers.
  void aStoreThatCannotBeAskedIsSaidOnceAndAskedAgain() {
    Station s({"127.0.76.8"}, 1);
    s.add("z", {"127.0.76.8"}, 0);
    s.store.unfinishedFailures = 3;
    s.script.onEvent = [&](Script& w) {
      if (w.saw("z: ended 127.0.76.8 ok")) w.stop.request(StopCause::Interrupt);
    };
    s.run();
    QVERIFY(!s.script.guardPassed);
    int outages = 0;
    for (const std::string& line : s.script.said)
      outages += line.starts_with("notice the rollout store cannot be asked");
    QCOMPARE(outages, 1);
    QVERIFY(s.script.saw("notice the rollout store answers again"));
    QVERIFY(s.programmed(0));
    QVERIFY(s.store.count("unfinished") > 3);
  }
};

QTEST_GUILESS_MAIN(StationRolloutsTest)
#include "StationRolloutsTest.moc"
