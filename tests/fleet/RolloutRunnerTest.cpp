// SPDX-License-Identifier: Apache-2.0
// A rollout station's feed on its own: claims from an in-memory store, sessions that are made
// but never sent on (or refused before their first datagram), times given by the test, events
// noted as they come. Nothing waits for the clock.
#include <sqlite3.h>
#include <QtTest>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "FakePorts.h"
#include "FakeRolloutStore.h"
#include "HistoryRowsInMemory.h"
#include "fleet/RolloutRunner.h"
#include "fleet/RolloutStation.h"
#include "fleet/StopSource.h"
#include "jobs/UnitJob.h"
#include "locks/UnitLock.h"
#include "recording/StationFacts.h"
#include "store/db/Database.h"
#include "store/history/OpenHistoryStore.h"
#include "store/rollouts/EndSpool.h"
#include "store/rollouts/SqlRolloutStore.h"

using namespace uvq;
using namespace uvq::fleet;
using rollouts::AttemptEnd;
using rollouts::RolloutState;

namespace {

using test::ClaimAt;

// The claim token of a station process of this host that has ended (a child reaped at once).
std::string GoneProcessToken() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return recording::HostName() + ":" + std::to_string(child) + ":gone";
}

// What the runner reported, one word and the unit's address (or the state) an event.
struct NotedEvents final : RolloutEvents {
  Watching watchingAs = Watching::EndOnly;
  std::vector<std::string> said;

  int count(const std::string& word) const {
    int n = 0;
    for (const std::string& line : said) n += line.starts_with(word);
    return n;
  }
  Watching watching() const override { return watchingAs; }
  void unitStarted(const rollouts::Claim& claim) override {
    said.push_back("started " + claim.target);
  }
  void unitRedone(const rollouts::Claim& claim) override {
    said.push_back("redone " + claim.target);
  }
  void unitEnded(const rollouts::Claim& claim, const SessionResult&, AttemptEnd,
                 const rollouts::AttemptVerdict&) override {
    said.push_back("ended " + claim.target);
  }
  void unitMissing(const rollouts::Claim& claim, int) override {
    said.push_back("missing " + claim.target);
  }
  void counts(const rollouts::RolloutSummary&) override { said.push_back("counts"); }
  void stateChanged(RolloutState state, const std::string&, size_t) override {
    said.push_back("state " + std::string(rollouts::RolloutStateName(state)));
  }
  void historyProblem(const std::string& problem) override { said.push_back("history " + problem); }
  void notice(const std::string& line) override { said.push_back("notice " + line); }
  void inFlight(TimePoint, const SessionPool&) override { said.push_back("in flight"); }
};

struct NoSessionEvents final : SessionEvents {
  void logLine(std::string_view, std::string_view) override {}
  void ended(const Session&) override {}
};

// One station's runner on a fake store.
struct Station {
  test::FakeRolloutStore store;
  RolloutRunSettings settings;
  rollouts::RolloutDefinition definition;
  NotedEvents events;
  NoSessionEvents sessionEvents;
  test::FixedClock clock;
  test::SilentTone tone;
  test::MemoryFileSystem files;
  // Recorded stations: the history in memory behind its spool in a folder of the test's own.
  QTemporaryDir spoolDir;
  test::HistoryRowsInMemory* rows = nullptr;
  std::unique_ptr<history::SpoolingHistoryStore> history;
  std::unique_ptr<RolloutRunner> runner;

  // Ends kept while the store is away go here when the station keeps them on disk.
  rollouts::EndSpool endSpool{spoolDir.filePath("rollout-ends.spool").toStdString()};

  explicit Station(RolloutEvents::Watching watching, int leaseSeconds = 60, bool recorded = false,
                   const std::string& token = "st:1:x", bool keepEndsOnDisk = false) {
    if (recorded) {
      auto memory = std::make_unique<test::HistoryRowsInMemory>();
      rows = memory.get();
      history = std::make_unique<history::SpoolingHistoryStore>(
          std::move(memory), spoolDir.filePath("spool").toStdString());
    }
    events.watchingAs = watching;
    settings.leaseSeconds = leaseSeconds;
    definition.name = "r";
    definition.imagePath = "/images/r.cry";
    definition.image = std::make_shared<const std::vector<uint8_t>>(24, uint8_t{0});
    startProcess(token, keepEndsOnDisk);
  }
  // The station's process (run again: the one before is gone without a word).
  void startProcess(const std::string& token, bool keepEndsOnDisk) {
    runner = std::make_unique<RolloutRunner>(RolloutRunner::Setup{
        settings, store, definition, rollouts::ClaimHolder{"st", token}, history.get(),
        jobs::JobPlan{}, events, sessionEvents, SharedPorts{clock, tone, files}, 4, "cli",
        keepEndsOnDisk ? &endSpool : nullptr});
  }
  size_t endsOnDisk() const { return endSpool.read(store.location(), definition.name).size(); }
  // Up to three claims handed out one by one into a pool of four slots: their sessions, in
  // order (a null where none was started).
  std::vector<Session*> startClaims(std::deque<rollouts::Claim> claims, TimePoint now) {
    const size_t count = claims.size();
    store.toHand = std::move(claims);
    std::vector<Session*> sessions;
    for (size_t free = 4; sessions.size() < count; --free)
      sessions.push_back(runner->next(free, now));
    return sessions;
  }
};

}  // namespace

class RolloutRunnerTest : public QObject {
  Q_OBJECT

 private slots:
  // Nothing to claim while another station holds the units: the station asks again half a
  // second later, whether a live view redraws every second or nothing is shown at all.
  void nothingToClaimIsAskedAgainTwiceASecond_data() {
    QTest::addColumn<RolloutEvents::Watching>("watching");
    QTest::newRow("end only") << RolloutEvents::Watching::EndOnly;
    QTest::newRow("changes") << RolloutEvents::Watching::Changes;
  }
  void nothingToClaimIsAskedAgainTwiceASecond() {
    QFETCH(RolloutEvents::Watching, watching);
    Station s(watching);
    const TimePoint now = SteadyClock::now();
    s.runner->tick(now);  // the view's own clocks set
    // Asked a second ago (as far as the runner knows) and nothing came.
    QVERIFY(s.runner->next(4, now - std::chrono::seconds(1)) == nullptr);
    QCOMPARE(s.store.count("claim"), 1);
    const std::optional<TimePoint> due = s.runner->nextTick();
    QVERIFY(due);
    QVERIFY2(*due <= SteadyClock::now(), "the next ask waits for another clock");
    QVERIFY(s.runner->next(4, SteadyClock::now()) == nullptr);
    QCOMPARE(s.store.count("claim"), 2);
  }

  // A claim is the right to send: once its lease has passed on the station's own clock, the
  // unit ends as claim_lost without a datagram, a renewal after that does not bring it back,
  // and the store hears it as interrupted (whoever holds the unit now goes on).
  void unitWhoseClaimRanOutEndsAsClaimLost() {
    Station s(RolloutEvents::Watching::EndOnly, 3);
    s.store.toHand.push_back(ClaimAt("127.0.70.1", 0));
    const TimePoint asked = SteadyClock::now();
    Session* session = s.runner->next(4, asked);
    QVERIFY(session);
    QVERIFY(session->claimUntil());
    // The lease less a margin, counted from before the claim was asked for.
    QVERIFY(*session->claimUntil() < asked + std::chrono::seconds(3));
    QVERIFY(*session->claimUntil() > asked + std::chrono::seconds(2));

    const TimePoint late = *session->claimUntil() + std::chrono::milliseconds(1);
    s.runner->tick(late);  // the renewal is due by then
    QCOMPARE(s.store.count("renew"), 1);
    QVERIFY(*session->claimUntil() < late);
    session->onTime(late);
    QVERIFY(session->finished());
    QCOMPARE(session->result().outcome, jobs::JobOutcome::ClaimLost);
    s.runner->ended(*session, late);
    s.runner->tick(late);  // the round's ends written
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].outcome, std::string("claim_lost"));
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Interrupted);
  }

  // A renewal that no longer finds a unit under this station (another took it over, its clock
  // ahead of ours) ends that unit as claim_lost at once; a unit still held goes on.
  void unitTakenOverAtARenewalEndsAsClaimLost() {
    Station s(RolloutEvents::Watching::EndOnly, 60);
    s.store.toHand = {ClaimAt("127.0.70.4", 0), ClaimAt("127.0.70.5", 1)};
    const TimePoint asked = SteadyClock::now();
    Session* first = s.runner->next(2, asked);
    Session* second = s.runner->next(1, asked);
    QVERIFY(first && second);
    s.store.takenOver = {1};
    const TimePoint renewal = asked + std::chrono::seconds(21);  // a third of the lease later
    s.runner->tick(renewal);
    QCOMPARE(s.store.count("renew"), 1);
    Session* lost = first->target() == "127.0.70.5" ? first : second;
    Session* kept = lost == first ? second : first;
    lost->onTime(renewal);
    QVERIFY(lost->finished());
    QCOMPARE(lost->result().outcome, jobs::JobOutcome::ClaimLost);
    QVERIFY(*kept->claimUntil() > renewal + std::chrono::seconds(30));
  }

  // Stopped between a claim and its start: the unit is handed back at once (ended as
  // interrupted, nothing sent) instead of staying held until its lease runs out; the unit in
  // flight is left to the pool's stop.
  void unitsClaimedButNotStartedAreHandedBackAtSettle() {
    Station s(RolloutEvents::Watching::EndOnly);
    s.store.toHand = {ClaimAt("127.0.70.8", 0), ClaimAt("127.0.70.9", 1)};
    QVERIFY(s.runner->next(2, SteadyClock::now()));
    QVERIFY(s.runner->hasClaimed());
    QCOMPARE(s.runner->settle(), size_t{0});
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].position, 1);
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Interrupted);
    QVERIFY(!s.store.held(1));
    QVERIFY(s.store.held(0));
    QVERIFY(!s.runner->hasClaimed());
  }

  // The units that end in one round of the pool go to the store in one call: due at once,
  // written before anything else is claimed; the next round's ends in a call of their own.
  void endsOfARoundGoInOneCall() {
    Station s(RolloutEvents::Watching::EndOnly);
    const TimePoint now = SteadyClock::now();
    const std::vector<Session*> sessions = s.startClaims(
        {ClaimAt("127.0.72.1", 0), ClaimAt("127.0.72.2", 1), ClaimAt("127.0.72.3", 2)}, now);
    QVERIFY(sessions[0] && sessions[1] && sessions[2]);
    s.store.toHand = {ClaimAt("127.0.72.4", 3)};
    for (Session* session : {sessions[1], sessions[0]}) {
      session->interrupt(StopCause::None);
      s.runner->ended(*session, now);
    }
    QCOMPARE(s.store.count("endAll"), 0);
    QVERIFY(!s.runner->drained());
    QVERIFY(s.runner->nextTick() && *s.runner->nextTick() <= now);  // the pool does not wait
    QVERIFY(s.runner->next(2, now));
    QCOMPARE(s.store.calls.back(), std::string("claim"));
    QCOMPARE(s.store.calls.at(s.store.calls.size() - 2), std::string("endAll"));
    QCOMPARE(s.store.endCalls, (std::vector<std::vector<int>>{{1, 0}}));  // in the order ended
    QCOMPARE(s.events.count("ended"), 2);

    sessions[2]->interrupt(StopCause::None);
    s.runner->ended(*sessions[2], now);
    s.runner->tick(now);
    s.runner->tick(now);
    QCOMPARE(s.store.endCalls, (std::vector<std::vector<int>>{{1, 0}, {2}}));
    QCOMPARE(s.store.count("end"), 0);
    QCOMPARE(s.store.refusedEnds, 0);
  }

  // Each verdict of a round's write is handled for its own unit: a unit another station took
  // meanwhile is said as ended without counting, the end that stopped the rollout stops the
  // claims at once (before the slot freed is filled), and nothing is written twice.
  void verdictsOfARoundAreHandledUnitByUnit() {
    Station s(RolloutEvents::Watching::EndOnly);
    const TimePoint now = SteadyClock::now();
    const std::vector<Session*> sessions = s.startClaims(
        {ClaimAt("127.0.72.5", 0), ClaimAt("127.0.72.6", 1), ClaimAt("127.0.72.7", 2)}, now);
    QVERIFY(sessions[0] && sessions[1] && sessions[2]);
    s.store.toHand = {ClaimAt("127.0.72.8", 3)};
    s.store.takenOver = {2};
    s.store.stopAtEnd = 1;
    for (Session* session : sessions) {
      session->interrupt(StopCause::None);
      s.runner->ended(*session, now);
    }
    QVERIFY(s.runner->next(3, now) == nullptr);
    QCOMPARE(s.store.count("claim"), 1);
    QCOMPARE(s.runner->state(), RolloutState::Stopped);
    QCOMPARE(s.runner->stopReason(), std::string("stopped by the end of 1"));
    QCOMPARE(s.events.count("state stopped"), 1);
    QCOMPARE(s.events.count("ended"), 3);
    QCOMPARE(s.store.ended.size(), size_t{2});
    QCOMPARE(s.store.refusedEnds, 1);
    QVERIFY(s.runner->drained());
    s.runner->tick(now);
    QCOMPARE(s.runner->settle(), size_t{0});
    QCOMPARE(s.store.endCalls.size(), size_t{1});
  }

  // Groups are made in the order given: N groups of nearly equal size, the first ones one
  // larger; or groups of K; never an empty group, even with more groups than units.
  void groupsAreMadeInTheOrderGiven() {
    const auto sizes = [](size_t count, int groups, int groupSize) {
      std::vector<int> sizes;
      for (size_t i = 0; i < count; ++i) {
        const int group = GroupOf(i, count, groups, groupSize);
        if (group == static_cast<int>(sizes.size())) sizes.push_back(0);
        if (group != static_cast<int>(sizes.size()) - 1)
          return std::vector<int>{-1};  // not in order
        ++sizes.back();
      }
      return sizes;
    };
    QCOMPARE(sizes(10, 3, 0), (std::vector<int>{4, 3, 3}));
    QCOMPARE(sizes(10, 0, 4), (std::vector<int>{4, 4, 2}));
    QCOMPARE(sizes(3, 5, 0), (std::vector<int>{1, 1, 1}));
    QCOMPARE(sizes(5, 0, 0), (std::vector<int>{5}));
    RolloutDraft draft;
    draft.name = "g";
    draft.image = std::make_shared<const std::vector<uint8_t>>(24, uint8_t{1});
    for (const char* address : {"127.0.71.1", "127.0.71.2", "127.0.71.3"}) {
      ResolvedTarget target;
      target.text = address;
      ::inet_pton(AF_INET, address, &target.address);
      draft.targets.push_back(target);
    }
    draft.targets[1].unitId = "0100";
    draft.groups = 2;
    const rollouts::RolloutDefinition definition = PlanRollout(draft);
    QCOMPARE(definition.targets.size(), size_t{3});
    QCOMPARE(definition.targets[2].group, 1);
    QCOMPARE(definition.targets[2].address, uint32_t{0x7F004703});
    QCOMPARE(definition.targets[1].unitId, std::string("0100"));
    QCOMPARE(definition.imageSha256.size(), size_t{64});
  }

  // A pause learned as a unit ends starts nothing new: the station claims nothing while the
  // rollout is paused, but stays and asks the rollout's state every second; at the resume it
  // claims again at once. A station told to end at a pause is drained instead.
  void pausedRolloutIsWaitedForUntilItsResume_data() {
    QTest::addColumn<bool>("exitOnPause");
    QTest::newRow("waits") << false;
    QTest::newRow("exit on pause") << true;
  }
  void pausedRolloutIsWaitedForUntilItsResume() {
    QFETCH(bool, exitOnPause);
    Station s(RolloutEvents::Watching::EndOnly);
    s.settings.exitOnPause = exitOnPause;
    s.store.toHand.push_back(ClaimAt("127.0.70.7", 0));
    const TimePoint start = SteadyClock::now();
    Session* first = s.runner->next(4, start);
    QVERIFY(first);
    s.store.state = RolloutState::Paused;
    s.store.toHand.push_back(ClaimAt("127.0.70.8", 1));
    s.runner->ended(*first, start);
    s.runner->tick(start);
    QCOMPARE(s.events.count("state paused"), 1);
    QCOMPARE(s.runner->drained(), exitOnPause);
    if (exitOnPause) return;

    const int claims = s.store.count("claim");
    QVERIFY(s.runner->next(4, start + std::chrono::milliseconds(1)) == nullptr);
    // Every second the state is asked again; nothing is claimed while it stays paused.
    for (int second = 1; second <= 3; ++second) {
      const TimePoint now = start + std::chrono::seconds(second);
      const std::optional<TimePoint> due = s.runner->nextTick();
      QVERIFY(due && *due <= now);
      s.runner->tick(now);
      QVERIFY(s.runner->next(4, now) == nullptr);
      QVERIFY(!s.runner->drained());
    }
    QVERIFY(s.store.count("renew") >= 3);
    QCOMPARE(s.store.count("claim"), claims);
    QCOMPARE(s.store.handedOut, std::vector<int>{0});

    s.store.state = RolloutState::Running;
    const TimePoint resumed = start + std::chrono::seconds(4);
    s.runner->tick(resumed);
    QCOMPARE(s.events.count("state running"), 1);
    Session* second = s.runner->next(4, resumed);
    QVERIFY(second);
    QCOMPARE(second->target(), std::string("127.0.70.8"));
  }

  // A station that joins a paused rollout claims nothing until the resume, and says it waits.
  void stationJoiningAPausedRolloutWaits() {
    Station s(RolloutEvents::Watching::EndOnly);
    s.store.state = RolloutState::Paused;
    s.store.toHand.push_back(ClaimAt("127.0.70.9", 0));
    s.runner->joinedAt(RolloutState::Paused);
    QCOMPARE(s.events.count("state paused"), 1);
    const TimePoint now = SteadyClock::now();
    QVERIFY(s.runner->next(4, now) == nullptr);
    QVERIFY(!s.runner->drained());
    QCOMPARE(s.store.count("claim"), 0);
    s.store.state = RolloutState::Cancelled;
    s.runner->tick(now + std::chrono::seconds(1));
    QVERIFY(s.runner->drained());
    QCOMPARE(s.store.count("claim"), 0);
  }

  // Units claimed together wait for free slots; one whose claim ran out meanwhile is let go
  // without ever being started.
  void claimedUnitThatWaitedPastItsLeaseIsLetGo() {
    Station s(RolloutEvents::Watching::EndOnly, 3);
    s.store.toHand = {ClaimAt("127.0.70.2", 0), ClaimAt("127.0.70.3", 1)};
    const TimePoint asked = SteadyClock::now();
    QVERIFY(s.runner->next(2, asked));
    QCOMPARE(s.store.count("claim"), 1);
    QVERIFY(s.runner->next(1, asked + std::chrono::seconds(10)) == nullptr);
    s.runner->tick(asked + std::chrono::seconds(10));
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].position, 1);
    QCOMPARE(s.store.ended[0].outcome, std::string("claim_lost"));
  }

  // The store goes away mid-run: said once; nothing is claimed or written meanwhile; a unit in
  // flight finishes while its claim holds and ends as claim_lost once its lease (not renewed)
  // has surely run out; the store is asked again with a growing pause. Once it answers, the
  // kept ends are written in order, each once, said once, and claims start again.
  void storeOutageKeepsEndsUntilItIsBack() {
    Station s(RolloutEvents::Watching::EndOnly, 60);
    s.store.toHand = {ClaimAt("127.0.76.1", 0), ClaimAt("127.0.76.2", 1), ClaimAt("127.0.76.3", 2)};
    const TimePoint asked = SteadyClock::now();
    Session* first = s.runner->next(4, asked);
    Session* second = s.runner->next(3, asked);
    Session* third = s.runner->next(2, asked);
    QVERIFY(first && second && third);
    const TimePoint claimedUntil = *third->claimUntil();
    s.store.toHand.push_back(ClaimAt("127.0.76.4", 3));

    s.store.down = true;
    const TimePoint lost = asked + std::chrono::seconds(21);  // the first renewal is due
    s.runner->tick(lost);
    QVERIFY(s.runner->storeDown());
    QCOMPARE(s.events.count("notice the rollout store cannot be reached"), 1);
    QCOMPARE(*third->claimUntil(), claimedUntil);  // kept, not stretched

    first->interrupt(StopCause::None);
    QVERIFY(first->finished());
    s.runner->ended(*first, lost);
    QVERIFY(s.runner->next(4, lost) == nullptr);
    QVERIFY(!s.runner->drained());
    QCOMPARE(s.store.count("endAll"), 0);
    QCOMPARE(s.store.count("claim"), 1);

    // Asked again after 1 s, then 2 s, 4 s...; said only once.
    TimePoint now = lost;
    for (const int seconds : {1, 2, 4, 8}) {
      const std::optional<TimePoint> due = s.runner->nextTick();
      QVERIFY(due);
      QCOMPARE(std::chrono::duration_cast<std::chrono::seconds>(*due - now).count(),
               int64_t{seconds});
      now = *due;
      s.runner->tick(now);
    }
    QCOMPARE(s.store.count("renew"), 5);
    QCOMPARE(s.events.count("notice the rollout store cannot be reached"), 1);

    second->interrupt(StopCause::None);
    s.runner->ended(*second, now);
    // The third's lease ran out meanwhile: it ends before its next datagram.
    now = claimedUntil + std::chrono::milliseconds(1);
    third->onTime(now);
    QVERIFY(third->finished());
    QCOMPARE(third->result().outcome, jobs::JobOutcome::ClaimLost);
    s.runner->ended(*third, now);
    QCOMPARE(s.store.count("endAll"), 0);
    QCOMPARE(s.events.count("ended"), 0);

    s.store.down = false;
    now = *s.runner->nextTick();
    s.runner->tick(now);
    QVERIFY(!s.runner->storeDown());
    QCOMPARE(s.store.ended.size(), size_t{3});
    QCOMPARE(s.store.ended[0].position, 0);
    QCOMPARE(s.store.ended[1].position, 1);
    QCOMPARE(s.store.ended[2].position, 2);
    QCOMPARE(s.store.ended[2].outcome, std::string("claim_lost"));
    QCOMPARE(s.store.endCalls, (std::vector<std::vector<int>>{{0, 1, 2}}));  // in one write
    QCOMPARE(s.store.refusedEnds, 0);
    QCOMPARE(s.events.count("ended"), 3);
    QCOMPARE(s.events.count("notice the rollout store answers again: 3 unit ends"), 1);
    Session* fourth = s.runner->next(4, now);
    QVERIFY(fourth);
    QCOMPARE(fourth->target(), std::string("127.0.76.4"));
    // Said once more only at the next outage.
    s.store.down = true;
    s.runner->tick(now + std::chrono::seconds(21));
    QCOMPARE(s.events.count("notice the rollout store cannot be reached"), 2);
  }

  // Writes that reached the store but lost their answer: an end sent again is not counted
  // again (the store takes an end only from the claim's holder), and a claim whose answer was
  // lost is found by the first renewal after and handed back without a datagram.
  void writesWhoseAnswersWereLostCountOnce() {
    Station s(RolloutEvents::Watching::EndOnly, 60);
    s.store.toHand = {ClaimAt("127.0.76.5", 0)};
    const TimePoint asked = SteadyClock::now();
    Session* session = s.runner->next(4, asked);
    QVERIFY(session);
    session->interrupt(StopCause::None);
    s.store.loseAnswers = 1;
    s.runner->ended(*session, asked);
    s.runner->tick(asked);
    QVERIFY(s.runner->storeDown());
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.events.count("ended"), 0);

    // Back: the end is sent again and refused; the unit is said to have ended once.
    TimePoint now = *s.runner->nextTick();
    s.runner->tick(now);
    QVERIFY(!s.runner->storeDown());
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.refusedEnds, 1);
    QCOMPARE(s.events.count("ended"), 1);

    s.store.toHand = {ClaimAt("127.0.76.6", 1)};
    s.store.loseAnswers = 1;
    QVERIFY(s.runner->next(4, now) == nullptr);
    QVERIFY(s.runner->storeDown());
    QCOMPARE(s.store.handedOut, (std::vector<int>{0, 1}));
    now = *s.runner->nextTick();
    s.runner->tick(now);
    QVERIFY(!s.runner->storeDown());
    QCOMPARE(s.store.ended.size(), size_t{2});
    QCOMPARE(s.store.ended[1].position, 1);
    QCOMPARE(s.store.ended[1].end, AttemptEnd::Interrupted);
    QCOMPARE(s.events.count("started 127.0.76.6"), 0);
  }

  // The database is gone for the history as for the rollouts: the unit's row is spooled as
  // it ends, and moved into the database with the unit's end once it is back: one row, complete.
  void historyRowsSpooledInTheOutageGoInWhenItIsBack() {
    Station s(RolloutEvents::Watching::EndOnly, 60, true);
    s.store.toHand = {ClaimAt("127.0.76.8", 0)};
    const TimePoint asked = SteadyClock::now();
    Session* session = s.runner->next(4, asked);
    QVERIFY(session);
    QCOMPARE(s.rows->begun.size(), size_t{1});
    s.store.down = true;
    s.rows->down = true;
    session->interrupt(StopCause::None);
    s.runner->ended(*session, asked);
    s.runner->tick(asked);  // the end's write meets the outage
    QVERIFY(s.runner->storeDown());
    QCOMPARE(s.history->spooledCount(), size_t{1});
    QCOMPARE(s.rows->completed.size(), size_t{0});

    s.store.down = false;
    s.rows->down = false;
    s.runner->tick(*s.runner->nextTick());
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.history->spooledCount(), size_t{0});
    QCOMPARE(s.rows->completed.size(), size_t{1});
    QCOMPARE(s.rows->completed[0].key, s.rows->begun[0].key);
    QCOMPARE(s.rows->completed[0].outcome, std::string("interrupted"));
  }

  // A station process killed during an outage loses none of its kept ends: each is on disk as
  // its unit ends, before any write to the store. Another process of the rollout writes them
  // once the store answers (after its own, in order) and takes them out of the spool; a store
  // that fails meanwhile leaves them there; an end written again after a crash between the
  // write and its removal is not counted twice; the ends of a process still alive are its own.
  void endsKeptInAnOutageOutliveTheStation() {
    Station s(RolloutEvents::Watching::EndOnly, 60, false, GoneProcessToken(), true);
    s.store.toHand = {ClaimAt("127.0.77.1", 0), ClaimAt("127.0.77.2", 1)};
    const TimePoint asked = SteadyClock::now();
    Session* first = s.runner->next(4, asked);
    Session* second = s.runner->next(3, asked);
    QVERIFY(first && second);
    s.store.down = true;
    s.runner->tick(asked + std::chrono::seconds(21));
    QVERIFY(s.runner->storeDown());
    for (Session* session : {first, second}) {
      session->interrupt(StopCause::None);
      s.runner->ended(*session, asked + std::chrono::seconds(21));
    }
    QCOMPARE(s.endsOnDisk(), size_t{2});
    QCOMPARE(s.store.count("endAll"), 0);

    // Killed without settling; another process of the station claims and meets an outage too.
    const std::string live = recording::HostName() + ":" + std::to_string(::getpid()) + ":live";
    s.store.down = false;
    s.startProcess(live, true);
    s.store.toHand = {ClaimAt("127.0.77.3", 2)};
    TimePoint now = SteadyClock::now();
    Session* third = s.runner->next(4, now);
    QVERIFY(third);
    s.store.down = true;
    now += std::chrono::seconds(21);
    s.runner->tick(now);
    third->interrupt(StopCause::None);
    s.runner->ended(*third, now);
    QCOMPARE(s.endsOnDisk(), size_t{3});
    QVERIFY_THROWS_EXCEPTION(store::StoreError,
                             ReplayKeptEnds(s.store, s.endSpool, "r", "st:9:other"));
    QCOMPARE(s.endsOnDisk(), size_t{3});

    s.store.down = false;
    s.runner->tick(*s.runner->nextTick());
    QVERIFY(!s.runner->storeDown());
    std::vector<int> ended;
    for (const rollouts::AttemptResult& result : s.store.ended) ended.push_back(result.position);
    QCOMPARE(ended, (std::vector<int>{2, 0, 1}));
    // Its own, then the gone process's ends together.
    QCOMPARE(s.store.endCalls, (std::vector<std::vector<int>>{{2}, {0, 1}}));
    QCOMPARE(s.store.refusedEnds, 0);
    QCOMPARE(s.endsOnDisk(), size_t{0});
    QCOMPARE(s.events.count("notice 2 unit ends kept by a stopped station process were written"),
             1);

    // The first end again, as a crash right after its write would leave it: refused, dropped.
    rollouts::SpooledEnd again;
    again.id = "again";
    again.rollout = "r";
    again.holder = {"st", GoneProcessToken()};
    again.result = s.store.ended[1];
    s.endSpool.keep(again);
    KeptEndsReplayed replayed = ReplayKeptEnds(s.store, s.endSpool, "r", "st:9:other");
    QCOMPARE(replayed.written, 0);
    QCOMPARE(replayed.refused, 1);
    QCOMPARE(s.store.ended.size(), size_t{3});
    QCOMPARE(s.endsOnDisk(), size_t{0});
    // A holder still alive writes its own ends.
    again.holder.token = live;
    s.endSpool.keep(again);
    replayed = ReplayKeptEnds(s.store, s.endSpool, "r", "st:9:other");
    QCOMPARE(replayed.written + replayed.refused, 0);
    QCOMPARE(s.endsOnDisk(), size_t{1});
  }

  // A database another process holds locked (a long write transaction) stops nothing: the
  // loop's calls wait briefly and meet it as an outage, the units in flight end meanwhile, and
  // once the lock is gone their ends and rows go in, each once.
  void lockedDatabaseIsAnOutageForTheLoop() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("history.sqlite3").toStdString();
    const auto connection = store::OpenOwnDatabase(path);
    rollouts::SqlRolloutStore store(connection);
    RolloutDraft draft;
    draft.name = "locked";
    draft.imagePath = "/images/locked.cry";
    draft.image = std::make_shared<const std::vector<uint8_t>>(24, uint8_t{0});
    for (const char* address : {"127.0.78.1", "127.0.78.2"}) {
      ResolvedTarget target;
      target.text = address;
      ::inet_pton(AF_INET, address, &target.address);
      draft.targets.push_back(target);
    }
    QVERIFY(store.create(PlanRollout(draft)));
    const rollouts::RolloutDefinition definition = *store.load("locked");
    history::SpoolingHistoryStore rows(history::OpenHistoryStore(connection),
                                       dir.filePath("history.spool").toStdString());
    const rollouts::EndSpool ends(dir.filePath("rollout-ends.spool").toStdString());
    RolloutRunSettings settings;
    NotedEvents events;
    NoSessionEvents sessionEvents;
    test::FixedClock clock;
    test::SilentTone tone;
    test::MemoryFileSystem files;
    const auto runner = std::make_unique<RolloutRunner>(RolloutRunner::Setup{
        settings, store, definition, rollouts::ClaimHolder{"st", "st:1:x"}, &rows, jobs::JobPlan{},
        events, sessionEvents, SharedPorts{clock, tone, files}, 4, "cli", &ends});
    QCOMPARE(connection->lockWaitMs(), store::kLoopLockWaitMs);

    TimePoint now = SteadyClock::now();
    Session* first = runner->next(4, now);
    Session* second = runner->next(3, now);
    QVERIFY(first && second);
    sqlite3* locker = nullptr;
    QCOMPARE(sqlite3_open(path.c_str(), &locker), SQLITE_OK);
    QCOMPARE(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    now += std::chrono::seconds(21);  // the renewal is due
    runner->tick(now);
    QVERIFY(runner->storeDown());
    for (Session* session : {first, second}) {
      session->interrupt(StopCause::None);
      runner->ended(*session, now);
    }
    QCOMPARE(ends.read(store.location(), "locked").size(), size_t{2});
    QCOMPARE(rows.spooledCount(), size_t{2});

    QCOMPARE(sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(locker);
    runner->tick(*runner->nextTick());
    QVERIFY(!runner->storeDown());
    QCOMPARE(ends.read(store.location(), "locked").size(), size_t{0});
    QCOMPARE(rows.spooledCount(), size_t{0});
    QCOMPARE(events.count("ended"), 2);
    for (const rollouts::RolloutUnit& unit : store.units("locked", 0, 0)) {
      QCOMPARE(unit.progress, rollouts::UnitProgress::Pending);
      QCOMPARE(unit.outcome, std::string("interrupted"));
      QVERIFY(unit.redo);
    }
    history::HistoryFilter filter;
    filter.rollout = "locked";
    const auto written = rows.query(filter);
    QCOMPARE(written.size(), size_t{2});
    for (const history::OperationRow& row : written)
      QCOMPARE(row.outcome, std::string("interrupted"));
  }

  // Ends go to disk only while the store is away: a run with the store there writes no spool.
  void endsGoToDiskOnlyInAnOutage() {
    Station s(RolloutEvents::Watching::EndOnly, 60, false, "st:1:x", true);
    s.store.toHand = {ClaimAt("127.0.77.4", 0)};
    const TimePoint now = SteadyClock::now();
    Session* session = s.runner->next(4, now);
    QVERIFY(session);
    session->interrupt(StopCause::None);
    s.runner->ended(*session, now);
    s.runner->tick(now);
    QCOMPARE(s.store.ended.size(), size_t{1});
    QVERIFY(!QFileInfo::exists(QString::fromStdString(s.endSpool.path())));
  }

  // A run stopped while the store is away writes its kept ends at the end if it can, and says
  // how many it could not.
  void endsKeptAtTheStopAreWrittenIfTheStoreIsBack_data() {
    QTest::addColumn<bool>("backAtTheStop");
    QTest::newRow("back") << true;
    QTest::newRow("still away") << false;
  }
  void endsKeptAtTheStopAreWrittenIfTheStoreIsBack() {
    QFETCH(bool, backAtTheStop);
    Station s(RolloutEvents::Watching::EndOnly, 60);
    s.store.toHand = {ClaimAt("127.0.76.7", 0)};
    const TimePoint asked = SteadyClock::now();
    Session* session = s.runner->next(4, asked);
    QVERIFY(session);
    s.store.down = true;
    session->interrupt(StopCause::Interrupt);
    s.runner->ended(*session, asked);
    s.store.down = !backAtTheStop;
    QCOMPARE(s.runner->settle(), backAtTheStop ? size_t{0} : size_t{1});
    QCOMPARE(s.store.ended.size(), backAtTheStop ? size_t{1} : size_t{0});
    QCOMPARE(s.events.count("notice 1 unit end could not be written"), backAtTheStop ? 0 : 1);
  }

  // Lines and events say the units in flight every few seconds, once they have worked a while,
  // and only while there are any; the station's wait wakes for it.
  void unitsInFlightAreSaidEveryFewSeconds() {
    Station s(RolloutEvents::Watching::Changes);
    SessionPool pool(4, nullptr);
    s.runner->setPool(&pool);
    s.store.toHand.push_back(ClaimAt("127.0.70.10", 0));
    const TimePoint t0 = SteadyClock::now();
    Session* session = s.runner->next(4, t0);
    QVERIFY(session);
    s.runner->tick(t0);
    QCOMPARE(s.events.count("in flight"), 0);
    QVERIFY(*s.runner->nextTick() <= t0 + std::chrono::seconds(5));
    s.runner->tick(t0 + std::chrono::seconds(5));
    QCOMPARE(s.events.count("in flight"), 1);
    s.runner->tick(t0 + std::chrono::seconds(7));
    QCOMPARE(s.events.count("in flight"), 1);
    session->interrupt(StopCause::Interrupt);
    s.runner->ended(*session, t0 + std::chrono::seconds(8));
    s.runner->tick(t0 + std::chrono::seconds(10));
    QCOMPARE(s.events.count("in flight"), 1);
    // The next unit to start is said only once it too has worked a while.
    s.store.toHand.push_back(ClaimAt("127.0.70.11", 1));
    QVERIFY(s.runner->next(4, t0 + std::chrono::seconds(30)));
    s.runner->tick(t0 + std::chrono::seconds(30));
    s.runner->tick(t0 + std::chrono::seconds(31));
    QCOMPARE(s.events.count("in flight"), 1);
    s.runner->tick(t0 + std::chrono::seconds(35));
    QCOMPARE(s.events.count("in flight"), 2);
  }

  // A silent unit is searched for only as long as the search time (the station's own before the
  // rollout's), then its attempt ends as no answer, retried as any no answer; a renewal while it
  // is searched notes its phase and since when, in the renewal's one call.
  void silentUnitEndsAfterTheSearchTime() {
    Station s(RolloutEvents::Watching::EndOnly, 60);
    s.definition.searchSeconds = 20;
    s.settings.searchSeconds = 3;
    s.store.toHand.push_back(ClaimAt("127.0.70.9", 5));
    const TimePoint asked = SteadyClock::now();
    Session* session = s.runner->next(4, asked);
    QVERIFY(session);
    session->start();
    const jobs::PhaseView view = session->phase();
    QVERIFY(view.phase == jobs::UnitPhase::Search);

    const rollouts::UtcMillis utcBefore = recording::NowUtcMillis();
    s.runner->tick(asked + std::chrono::seconds(21));  // the renewal is due
    const rollouts::UtcMillis utcAfter = recording::NowUtcMillis();
    QCOMPARE(s.store.count("renew"), 1);
    QCOMPARE(s.store.phasesNoted.size(), size_t{1});
    QCOMPARE(s.store.phasesNoted[0].size(), size_t{1});
    const rollouts::UnitPhaseNote& note = s.store.phasesNoted[0][0];
    QCOMPARE(note.position, 5);
    QCOMPARE(note.phase, std::string("search"));
    QVERIFY(note.phaseStarted >= utcBefore - 21000 && note.phaseStarted <= utcAfter - 11000);

    session->onTime(view.jobStarted + std::chrono::seconds(3));
    QVERIFY(session->finished());
    QCOMPARE(session->result().outcome, jobs::JobOutcome::NoAnswer);
    s.runner->ended(*session, asked + std::chrono::seconds(21));
    s.runner->tick(asked + std::chrono::seconds(21));
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Retryable);
    QCOMPARE(s.store.ended[0].outcome, std::string("no_answer"));
  }

  // A unit another program holds is refused before anything is sent, and the store is told to
  // offer it again a little later without spending an attempt.
  void unitLockedElsewhereIsTriedLater() {
    const locks::LockAttempt held = locks::TryLockUnit("127.0.70.4", std::nullopt);
    QVERIFY2(held.lock, held.problem.c_str());
    Station s(RolloutEvents::Watching::EndOnly);
    s.store.toHand.push_back(ClaimAt("127.0.70.4", 0));
    const TimePoint now = SteadyClock::now();
    Session* session = s.runner->next(4, now);
    QVERIFY(session);
    session->start();
    QVERIFY(session->finished());
    QVERIFY(session->lockRefused());
    QCOMPARE(session->socket(), -1);
    s.runner->ended(*session, now);
    s.runner->tick(now);
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Missing);
    QCOMPARE(s.store.ended[0].outcome, std::string("locked"));
    QVERIFY(s.store.ended[0].retryAfterMs > 0);
  }
};

QTEST_GUILESS_MAIN(RolloutRunnerTest)
#include "RolloutRunnerTest.moc"
