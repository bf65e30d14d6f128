// SPDX-License-Identifier: Apache-2.0
// A rollout station's feed on its own: claims from an in-memory store, sessions that are made
// but never sent on (or refused before their first datagram), times given by the test. Nothing
// waits for the clock.
#include <QtTest>

#include <arpa/inet.h>

#include <cstdio>
#include <memory>

#include "FakePorts.h"
#include "FakeRolloutStore.h"
#include "RolloutRun.h"
#include "RolloutView.h"
#include "SessionOutput.h"
#include "jobs/UnitJob.h"
#include "locks/UnitLock.h"

using namespace uvq;
using namespace uvq::cli;
using history::AttemptEnd;

namespace {

history::Claim ClaimAt(const char* address, int position) {
  history::Claim claim;
  claim.position = position;
  claim.target = address;
  in_addr raw{};
  ::inet_pton(AF_INET, address, &raw);
  claim.address = ntohl(raw.s_addr);
  return claim;
}

// One station's runner on a fake store, its output thrown away.
struct Station {
  test::FakeRolloutStore store;
  RolloutRequest request;
  history::RolloutDefinition definition;
  std::FILE* sink = std::fopen("/dev/null", "w");
  Output output{sink, Output::Mode::Text, Verbosity::Quiet, true};
  SessionOutput sessionEvents{output};
  std::unique_ptr<RolloutView> view;
  test::FixedClock clock;
  test::SilentTone tone;
  test::MemoryFileSystem files;
  std::unique_ptr<RolloutRunner> runner;

  explicit Station(RolloutView::Style style, int leaseSeconds = 60) {
    request.leaseSeconds = leaseSeconds;
    definition.name = "r";
    definition.imagePath = "/images/r.cry";
    definition.image = std::make_shared<const std::vector<uint8_t>>(24, uint8_t{0});
    view = std::make_unique<RolloutView>(style, "r", output);
    runner = std::make_unique<RolloutRunner>(
        RolloutRunner::Setup{request, store, definition, history::ClaimHolder{"st", "st:1:x"},
                             nullptr, *view, sessionEvents, SharedPorts{clock, tone, files}, 4});
  }
  ~Station() {
    runner.reset();
    view.reset();
    std::fclose(sink);
  }
};

}  // namespace

class RolloutRunnerTest : public QObject {
  Q_OBJECT

 private slots:
  // Nothing to claim while another station holds the units: the station asks again half a
  // second later, whether a live view redraws every second or nothing is shown at all.
  void nothingToClaimIsAskedAgainTwiceASecond_data() {
    QTest::addColumn<RolloutView::Style>("style");
    QTest::newRow("quiet") << RolloutView::Style::Quiet;
    QTest::newRow("lines") << RolloutView::Style::Lines;
  }
  void nothingToClaimIsAskedAgainTwiceASecond() {
    QFETCH(RolloutView::Style, style);
    Station s(style);
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
    Station s(RolloutView::Style::Quiet, 3);
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
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].outcome, std::string("claim_lost"));
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Interrupted);
  }

  // A renewal that no longer finds a unit under this station (another took it over, its clock
  // ahead of ours) ends that unit as claim_lost at once; a unit still held goes on.
  void unitTakenOverAtARenewalEndsAsClaimLost() {
    Station s(RolloutView::Style::Quiet, 60);
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

  // A unit whose last attempt failed is said as failed, with the rollout's way to put it back
  // instead of a plain run's advice, and its status once.
  void finalFailureLineSaysHowToPutTheUnitBack() {
    std::FILE* lines = std::tmpfile();
    QVERIFY(lines);
    {
      Output output{lines, Output::Mode::Text, Verbosity::Normal, true};
      RolloutView view(RolloutView::Style::Lines, "fw-2", output);
      SessionResult result;
      result.outcome = jobs::JobOutcome::NoAnswer;
      result.detail =
          "comms timeout while programming: 10 of 20 records, unit 0100 stopped "
          "answering; check its power and link, then " +
          std::string(jobs::kRunAgainAdvice);
      result.unit = "0100";
      result.finalStatus = 0x4000;
      history::AttemptVerdict verdict;
      verdict.progress = history::UnitProgress::Failed;
      view.unitEnded(ClaimAt("127.0.70.6", 3), result, AttemptEnd::Retryable, verdict);
      std::fflush(lines);
    }
    std::rewind(lines);
    char buffer[1024] = "";
    const size_t read = std::fread(buffer, 1, sizeof buffer - 1, lines);
    std::fclose(lines);
    const std::string text(buffer, read);
    QVERIFY2(text.find("] failed (unit 0100): comms timeout") != std::string::npos, text.c_str());
    QVERIFY2(text.find("program again") == std::string::npos, text.c_str());
    QVERIFY2(text.find("uvq rollout retry fw-2 --failed") != std::string::npos, text.c_str());
    QVERIFY2(text.find("4000") != std::string::npos, text.c_str());
  }

  // Units claimed together wait for free slots; one whose claim ran out meanwhile is let go
  // without ever being started.
  void claimedUnitThatWaitedPastItsLeaseIsLetGo() {
    Station s(RolloutView::Style::Quiet, 3);
    s.store.toHand = {ClaimAt("127.0.70.2", 0), ClaimAt("127.0.70.3", 1)};
    const TimePoint asked = SteadyClock::now();
    QVERIFY(s.runner->next(2, asked));
    QCOMPARE(s.store.count("claim"), 1);
    QVERIFY(s.runner->next(1, asked + std::chrono::seconds(10)) == nullptr);
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].position, 1);
    QCOMPARE(s.store.ended[0].outcome, std::string("claim_lost"));
  }

  // A unit another program holds is refused before anything is sent, and the store is told to
  // offer it again a little later without spending an attempt.
  void unitLockedElsewhereIsTriedLater() {
    const locks::LockAttempt held = locks::TryLockUnit("127.0.70.4", std::nullopt);
    QVERIFY2(held.lock, held.problem.c_str());
    Station s(RolloutView::Style::Quiet);
    s.store.toHand.push_back(ClaimAt("127.0.70.4", 0));
    const TimePoint now = SteadyClock::now();
    Session* session = s.runner->next(4, now);
    QVERIFY(session);
    session->start();
    QVERIFY(session->finished());
    QVERIFY(session->lockRefused());
    QCOMPARE(session->socket(), -1);
    s.runner->ended(*session, now);
    QCOMPARE(s.store.ended.size(), size_t{1});
    QCOMPARE(s.store.ended[0].end, AttemptEnd::Missing);
    QCOMPARE(s.store.ended[0].outcome, std::string("locked"));
    QVERIFY(s.store.ended[0].retryAfterMs > 0);
  }
};

QTEST_GUILESS_MAIN(RolloutRunnerTest)
#include "RolloutRunnerTest.moc"
