// SPDX-License-Identifier: Apache-2.0
// The session pool and the stop request on their own, without the command line: sessions aim
// at silent loopback peers of this suite (127.0.71.x), a feed made here, stops asked by the
// feed itself, so each case runs in milliseconds and waits for nothing but its own loop.
#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>

#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "FakePorts.h"
#include "LoopbackPeer.h"
#include "UnitsOnTheirThread.h"
#include "fleet/AddressSlots.h"
#include "fleet/Session.h"
#include "fleet/SessionPool.h"
#include "fleet/StopSource.h"
#include "jobs/ScriptedUnits.h"
#include "locks/UnitLock.h"

using namespace uvq;
using namespace uvq::fleet;

namespace {

ResolvedTarget At(const std::string& address) {
  ResolvedTarget target;
  target.text = target.addressText = address;
  ::inet_pton(AF_INET, address.c_str(), &target.address);
  return target;
}

struct Events final : SessionEvents {
  std::vector<const Session*> endedOnes;
  void logLine(std::string_view, std::string_view) override {}
  void ended(const Session& session) override { endedOnes.push_back(&session); }
};

// Hands out its sessions at once; asks to stop once every one of them has started.
struct StoppingFeed final : SessionFeed {
  std::vector<std::unique_ptr<Session>> sessions;
  StopSource* stop = nullptr;
  StopCause cause = StopCause::Terminate;
  size_t handed = 0;
  std::vector<Session*> back;
  Session* next(size_t, TimePoint) override {
    return handed < sessions.size() ? sessions[handed++].get() : nullptr;
  }
  void ended(Session& session, TimePoint) override { back.push_back(&session); }
  void tick(TimePoint) override {
    if (handed == sessions.size()) stop->request(cause);
  }
  std::optional<TimePoint> nextTick() const override { return TimePoint{}; }  // always due
  bool drained() const override { return false; }
};

// Hands out every session at once and is drained once all have started; past its guard it asks
// the pool to stop, so a case that never ends fails instead of hanging.
struct AllAtOnceFeed final : SessionFeed {
  std::vector<std::unique_ptr<Session>> sessions;
  StopSource stop;
  TimePoint guard = SteadyClock::now() + std::chrono::seconds(60);
  size_t handed = 0;
  Session* next(size_t, TimePoint) override {
    return handed < sessions.size() ? sessions[handed++].get() : nullptr;
  }
  void ended(Session&, TimePoint) override {}
  void tick(TimePoint now) override {
    if (now > guard) stop.request(StopCause::Terminate);
  }
  std::optional<TimePoint> nextTick() const override { return guard; }
  bool drained() const override { return handed == sessions.size(); }
};

// Notes which sessions had a socket of their own when their unit was chosen.
struct SocketWatch final : SessionEvents {
  std::vector<std::pair<std::string, bool>> ownSocket;  // unit, whether it had one
  void logLine(std::string_view, std::string_view) override {}
  void unitChosen(const Session& session, const std::string& unit) override {
    ownSocket.emplace_back(unit, session.socket() >= 0);
  }
  void ended(const Session&) override {}
};

jobs::JobPlan Locate(int waitMs) {
  jobs::JobPlan plan;
  plan.kind = jobs::JobKind::Locate;
  plan.waitMs = waitMs;
  return plan;
}

}  // namespace

class SessionPoolTest : public QObject {
  Q_OBJECT

  test::FixedClock clock_;
  test::SilentTone tone_;
  test::MemoryFileSystem files_;
  SharedPorts ports() { return {clock_, tone_, files_}; }

 private slots:
  // The first cause stays; the descriptor is readable once a stop was asked for.
  void stopSourceKeepsItsFirstCause() {
    StopSource stop;
    QVERIFY(!stop.requested());
    pollfd wait{stop.descriptor(), POLLIN, 0};
    QCOMPARE(::poll(&wait, 1, 0), 0);
    stop.request(StopCause::Hangup);
    stop.request(StopCause::Interrupt);
    QCOMPARE(stop.cause(), StopCause::Hangup);
    QCOMPARE(::poll(&wait, 1, 0), 1);
  }

  // A watch calls its work's stop once a stop is asked, on its own thread; one ended before any
  // stop was asked calls nothing. The stop is seen from the caller's thread by waiting on its
  // own descriptor, never by time.
  void stopWatchCallsOnceAStopIsAskedAndNotAfterItEnded() {
    StopSource stop;
    StopSource called;
    {
      StopWatch watch(stop, [&called] { called.request(StopCause::Terminate); });
      stop.request(StopCause::Interrupt);
      pollfd wait{called.descriptor(), POLLIN, 0};
      QCOMPARE(::poll(&wait, 1, 60000), 1);
    }
    QVERIFY(called.requested());

    StopSource untouched;
    int calls = 0;
    {
      StopWatch watch(untouched, [&calls] { ++calls; });
    }
    QCOMPARE(calls, 0);
  }

  // A stop request ends every session in flight as interrupted by its cause, hands each back
  // to the feed, and the pool returns the cause.
  void stopRequestEndsEverySessionInFlight() {
    LoopbackPeer first("127.0.71.1"), second("127.0.71.2");
    StopSource stop;
    Events events;
    StoppingFeed feed;
    feed.stop = &stop;
    for (const char* address : {"127.0.71.1", "127.0.71.2"})
      feed.sessions.push_back(
          std::make_unique<Session>(At(address), Locate(60000), events, ports()));
    SessionPool pool(4, &stop);
    QCOMPARE(pool.run(feed), StopCause::Terminate);
    QCOMPARE(feed.back.size(), size_t{2});
    for (const auto& session : feed.sessions) {
      QVERIFY(session->finished());
      QCOMPARE(session->result().outcome, jobs::JobOutcome::Interrupted);
      QCOMPARE(session->result().stoppedBy, StopCause::Terminate);
    }
    QCOMPARE(events.endedOnes.size(), size_t{2});
    QVERIFY(first.receive(0));  // each was asked before the stop
    QVERIFY(second.receive(0));
  }

  // Sessions sharing the run's socket and one at an address already shared (a socket of its own)
  // run through the same loop: while the shared socket keeps bringing replies, the one on its
  // own socket is still read, and every unit gets its whole image.
  void sharedSessionsAndOneOnItsOwnSocketEachProgramTheirUnit() {
    constexpr size_t kRecords = 40;
    std::vector<std::unique_ptr<jobtest::ScriptedUnits>> sites;
    std::vector<jobtest::ScriptedUnits*> all;
    for (int i = 0; i < 4; ++i) {
      sites.push_back(
          std::make_unique<jobtest::ScriptedUnits>("127.0.71." + std::to_string(20 + i)));
      sites.back()->imageRecords = kRecords;
      sites.back()->units = {jobtest::ScriptedUnit{.id = static_cast<uint16_t>(0x0720 + i)}};
      all.push_back(sites.back().get());
    }
    sites[0]->units.push_back(jobtest::ScriptedUnit{.id = 0x0799});

    SocketWatch events;
    AllAtOnceFeed feed;
    const auto add = [&](const std::string& address, uint16_t id) {
      jobs::JobPlan plan = test::ScriptedProgramPlan(kRecords);
      plan.unit = protocol::UvqId{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
      feed.sessions.push_back(std::make_unique<Session>(At(address), plan, events, ports()));
    };
    for (int i = 0; i < 4; ++i)
      add("127.0.71." + std::to_string(20 + i), static_cast<uint16_t>(0x0720 + i));
    add("127.0.71.20", 0x0799);  // the address is shared already: a socket of its own
    {
      test::UnitsOnTheirThread units(all);
      SessionPool pool(8, &feed.stop);
      QCOMPARE(pool.run(feed), StopCause::None);
    }
    for (const auto& session : feed.sessions) {
      QVERIFY(session->finished());
      QVERIFY2(session->result().ok(), session->result().detail.c_str());
    }
    const std::vector<uint8_t> image(kRecords * protocol::kRecordSize, 0x5A);
    for (const auto& site : sites)
      for (const jobtest::ScriptedUnit& unit : site->units) QVERIFY(unit.written == image);
    QCOMPARE(events.ownSocket.size(), size_t{5});
    for (const auto& [unit, own] : events.ownSocket) QCOMPARE(own, unit == "0799");
  }

  // The pool's address table against a map, through many adds, moves and removals of
  // neighbouring addresses (long probe runs, runs that wrap around the table's end): every
  // address is found with its slot until it is removed, and never after.
  void addressTableAgreesWithAMap() {
    constexpr size_t kMost = 64;
    AddressSlots table(kMost);
    std::unordered_map<in_addr_t, size_t> model;
    std::mt19937 random(7);
    for (int step = 0; step < 20000; ++step) {
      // Station-like addresses (127.0.x.y, consecutive), in network order as sockets give them.
      const in_addr_t address = htonl(0x7F000000u + 0x0700u + random() % 160);
      if (random() % 3 == 0 || model.size() == kMost) {
        table.erase(address);
        model.erase(address);
      } else {
        const size_t slot = random() % kMost;
        table.set(address, slot);
        model[address] = slot;
      }
      QCOMPARE(table.size(), model.size());
      if (step % 50 == 0)
        for (uint32_t i = 0; i < 160; ++i) {
          const in_addr_t a = htonl(0x7F000000u + 0x0700u + i);
          const auto kept = model.find(a);
          QCOMPARE(table.find(a),
                   kept == model.end() ? std::nullopt : std::optional<size_t>(kept->second));
        }
    }
  }

  // A session whose claim has run out sends nothing more: not even its first datagram.
  void sessionPastItsClaimSendsNothing() {
    LoopbackPeer unit("127.0.71.3");
    Events events;
    jobs::JobPlan plan = Locate(60000);
    Session session(At("127.0.71.3"), plan, events, ports());
    const TimePoint now = SteadyClock::now();
    session.setRoundClock(&now);
    session.setClaimUntil(now);
    session.start();
    QVERIFY(session.finished());
    QCOMPARE(session.result().outcome, jobs::JobOutcome::ClaimLost);
    QVERIFY(!unit.receive(0));
  }

  // A unit another program holds: the session ends refused before its first datagram.
  void lockedUnitIsRefusedBeforeAnythingIsSent() {
    LoopbackPeer unit("127.0.71.4");
    const locks::LockAttempt held = locks::TryLockUnit("127.0.71.4", std::string("0100"));
    QVERIFY2(held.lock, held.problem.c_str());
    Events events;
    jobs::JobPlan plan;
    plan.kind = jobs::JobKind::Reset;
    plan.unit = protocol::UvqId{0x01, 0x00};
    Session session(At("127.0.71.4"), plan, events, ports());
    session.start();
    QVERIFY(session.finished());
    QVERIFY(session.lockRefused());
    QCOMPARE(session.result().outcome, jobs::JobOutcome::Refused);
    QVERIFY(!unit.receive(0));
  }
};

QTEST_GUILESS_MAIN(SessionPoolTest)
#include "SessionPoolTest.moc"
