// SPDX-License-Identifier: Apache-2.0
// One unit job against scripted units on a loopback address, through a real connected link:
// the unit chosen, what is sent to it, and how each job ends.
#include <poll.h>

#include <QtTest>
#include <memory>
#include <thread>

#include "FakePorts.h"
#include "ScriptedUnits.h"
#include "jobs/UnitJob.h"
#include "link/UdpLink.h"

using namespace uvq;
using namespace uvq::jobs;
using jobtest::ScriptedUnit;
using jobtest::ScriptedUnits;

namespace {

class Observer final : public JobObserver {
 public:
  void finished(const JobResult& result) override {
    ++finishedCalls;
    last = result;
  }
  // The job's phase as a display would read it at these moments.
  void loaderModeReached(protocol::UvqId) override {
    if (job) phases.push_back(job->phaseView());
  }
  void progress(const JobFigures&) override {
    if (job) phases.push_back(job->phaseView());
  }
  int finishedCalls = 0;
  JobResult last;
  const UnitJob* job = nullptr;
  std::vector<PhaseView> phases;
};

in_addr Address(const std::string& text) {
  in_addr address{};
  ::inet_pton(AF_INET, text.c_str(), &address);
  return address;
}

Image RecordsImage(size_t records) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(records * protocol::kRecordSize);
  for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = static_cast<uint8_t>(i * 13 + 5);
  return {"test.cry", bytes};
}

// One job on its own connected link, run to its end by a small loop of its own.
struct JobRun {
  JobRun(const std::string& address, JobPlan plan)
      : link(link::ConnectedTarget{Address(address), protocol::kUnitPort}) {
    plan.target = address;
    job = std::make_unique<UnitJob>(std::move(plan), JobPorts{link, log, clock, tone, files},
                                    &observer);
  }

  // Until the job has ended; false if it never does (a hang is a failure, not a wait).
  bool run(ScriptedUnits& units) {
    job->start();
    const auto guard = SteadyClock::now() + std::chrono::seconds(60);
    uint8_t buffer[protocol::kReplyImageSize];
    while (!job->finished() && SteadyClock::now() < guard) {
      units.pump();
      pollfd fds[2] = {{link.socketHandle(), POLLIN, 0}, {units.handle(), POLLIN, 0}};
      ::poll(fds, 2, units.answersPending() ? 1 : 5);
      for (;;) {
        const int n = link.receiveDatagram(buffer, sizeof buffer, 0);
        if (n <= 0) break;
        job->receive({buffer, static_cast<size_t>(n)});
      }
      job->onTime(SteadyClock::now());
      job->endIfStalled();
    }
    if (qEnvironmentVariableIsSet("UVQ_JOB_TEST_LOG"))
      for (const std::string& line : log.lines) qDebug("%s", line.c_str());
    return job->finished();
  }

  link::UdpLink link;
  test::RecordingLog log;
  test::FixedClock clock;
  test::SilentTone tone;
  test::MemoryFileSystem files;
  Observer observer;
  std::unique_ptr<UnitJob> job;
};

JobPlan ProgramPlan(size_t records, std::optional<uint16_t> unit = std::nullopt) {
  JobPlan plan;
  plan.kind = JobKind::Program;
  plan.image = RecordsImage(records);
  if (unit)
    plan.unit =
        protocol::UvqId{static_cast<uint8_t>(*unit >> 8), static_cast<uint8_t>(*unit & 0xFF)};
  plan.timing.captureIntervalMs = 100;
  plan.waitMs = 300;
  return plan;
}

}  // namespace

class UnitJobTest : public QObject {
  Q_OBJECT

 private slots:
  // The unit gets exactly the bytes of the image in memory; it is claimed once chosen, before
  // any capture; the result carries its figures and its own last status.
  void programSendsTheImageInMemoryAndVerifies() {
    ScriptedUnits site("127.0.9.1");
    site.units = {ScriptedUnit{.id = 0x0100}};
    site.imageRecords = 5;
    JobPlan plan = ProgramPlan(5);
    std::vector<int> capturesWhenClaimed;
    plan.claim = [&](protocol::UvqId unit) -> std::optional<std::string> {
      capturesWhenClaimed.push_back(site.units[0].captures);
      if (unit.value() != 0x0100) return "wrong unit";
      return std::nullopt;
    };
    const auto image = plan.image.bytes;
    JobRun run("127.0.9.1", std::move(plan));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY2(r.outcome == JobOutcome::Ok, r.detail.c_str());
    QCOMPARE(run.observer.finishedCalls, 1);
    QCOMPARE(capturesWhenClaimed, std::vector<int>{0});
    QCOMPARE(site.units[0].written, *image);
    QCOMPARE(r.recordsAcknowledged, uint64_t{5});
    QCOMPARE(r.recordsTotal, uint64_t{5});
    QVERIFY(r.unit && r.unit->value() == 0x0100);
    QCOMPARE(r.lastStatus.value(), uint16_t{0});  // out of loader mode, valid program
  }

  // The phase a display reads follows the job: capture until loader mode, then programming with
  // its records counted, each phase timed from its own start; done at the end.
  void phaseViewFollowsTheJob() {
    ScriptedUnits site("127.0.9.12");
    site.units = {ScriptedUnit{.id = 0x0100}};
    site.imageRecords = 4;
    JobRun run("127.0.9.12", ProgramPlan(4));
    run.observer.job = run.job.get();
    QVERIFY(run.job->phaseView().phase == UnitPhase::Search);
    QVERIFY(run.run(site));
    QVERIFY2(run.observer.last.outcome == JobOutcome::Ok, run.observer.last.detail.c_str());
    const std::vector<PhaseView>& seen = run.observer.phases;
    QCOMPARE(seen.size(), size_t{5});  // loader mode, then one per record
    QVERIFY(seen[0].phase == UnitPhase::Capture);
    QVERIFY(seen[0].phaseStarted >= seen[0].jobStarted);
    for (size_t i = 1; i < seen.size(); ++i) {
      QVERIFY(seen[i].phase == UnitPhase::Program);
      QCOMPARE(seen[i].done, uint64_t{i});
      QCOMPARE(seen[i].total, uint64_t{4});
      QVERIFY(seen[i].phaseStarted >= seen[0].phaseStarted);
      QVERIFY(seen[i].jobStarted == seen[0].jobStarted);
    }
    QVERIFY(run.job->phaseView().phase == UnitPhase::Done);
    // As the board and the lines show them.
    QCOMPARE(PhaseText(seen[2], seen[2].phaseStarted + std::chrono::milliseconds(4100)),
             std::string("program 2/4 4.1 s"));
    QCOMPARE(PhaseText(PhaseView{}, TimePoint{} + std::chrono::milliseconds(12000)),
             std::string("search 12.0 s"));
  }

  // A silent address is searched for no longer than the plan's search time, however many
  // attempts are left: the job's own deadline says when, and it ends as no answer.
  void silentUnitEndsWithinItsSearchTime() {
    ScriptedUnits site("127.0.9.11");
    JobPlan plan = ProgramPlan(2);
    plan.timing.captureAttempts = 150;
    plan.searchMs = 2000;
    JobRun run("127.0.9.11", std::move(plan));
    run.job->start();
    const TimePoint started = run.job->phaseView().jobStarted;
    const TimePoint bound = started + std::chrono::milliseconds(2000);
    run.job->onTime(bound - std::chrono::milliseconds(1));
    QVERIFY(!run.job->finished());
    QVERIFY(run.job->nextDeadline() && *run.job->nextDeadline() <= bound);
    run.job->onTime(bound);
    QVERIFY(run.job->finished());
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::NoAnswer);
    QVERIFY2(r.detail.find("no unit answered at 127.0.9.11") != std::string::npos &&
                 r.detail.find("searched for 2 s") != std::string::npos,
             r.detail.c_str());
    QVERIFY(!r.unit);
  }

  // A refused claim (a lock held elsewhere) changes nothing on the unit.
  void refusedClaimCapturesNothing() {
    ScriptedUnits site("127.0.9.2");
    site.units = {ScriptedUnit{.id = 0x0100}};
    JobPlan plan = ProgramPlan(3);
    plan.claim = [](protocol::UvqId) { return std::optional<std::string>("unit locked"); };
    JobRun run("127.0.9.2", std::move(plan));
    QVERIFY(run.run(site));
    QVERIFY(run.observer.last.outcome == JobOutcome::Refused);
    QCOMPARE(run.observer.last.detail, std::string("unit locked"));
    QCOMPARE(site.units[0].captures, 0);
  }

  // "File finished" on a middle record says nothing about the image: the last record's
  // acknowledgement decides.
  void fileFinishedOnlyOnAMiddleRecordIsNoSuccess() {
    ScriptedUnits site("127.0.9.3");
    site.units = {ScriptedUnit{.id = 0x0100}};
    site.imageRecords = 5;
    site.recordStatus = [](size_t index) -> uint16_t { return index == 2 ? 0x0018 : 0x0010; };
    JobRun run("127.0.9.3", ProgramPlan(5));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::UnitError);
    QVERIFY2(
        r.detail.find("never reported the file finished on its last record") != std::string::npos,
        r.detail.c_str());
  }

  // Error bits after the reset are no valid program, though neither loader mode nor
  // "user code invalid" is set.
  void errorBitsAfterTheResetFailVerify() {
    ScriptedUnits site("127.0.9.4");
    site.units = {ScriptedUnit{.id = 0x0100}};
    site.imageRecords = 2;
    site.statusAfterReset = [] { return uint16_t{0x9FFF & ~0x4000 & ~0x2000}; };
    JobPlan plan = ProgramPlan(2);
    plan.verifyMs = 300;
    JobRun run("127.0.9.4", std::move(plan));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::UnitError);
    QVERIFY2(r.detail.find("still reports") != std::string::npos, r.detail.c_str());
  }

  // Several units without an ID: refused before anything changes any of them.
  void severalUnitsWithoutAnIdAreRefused() {
    ScriptedUnits site("127.0.9.5");
    site.units = {ScriptedUnit{.id = 0x0100}, ScriptedUnit{.id = 0x0200, .delayMs = 20}};
    JobRun run("127.0.9.5", ProgramPlan(2));
    QVERIFY(run.run(site));
    QVERIFY(run.observer.last.outcome == JobOutcome::Refused);
    QVERIFY(run.observer.last.detail.find("0100 0200") != std::string::npos);
    QVERIFY(!run.observer.last.unit);
    QCOMPARE(site.units[0].captures + site.units[1].captures, 0);
  }

  // Two units behind one address, the other one answering late to every request: its late
  // answers are set aside (older numbers, other commands), never taken for the chosen unit's.
  void lateAnswersOfAnotherUnitNeverCount() {
    ScriptedUnits site("127.0.9.6");
    site.units = {ScriptedUnit{.id = 0x0100, .delayMs = 15}, ScriptedUnit{.id = 0x0200}};
    site.imageRecords = 40;
    JobRun run("127.0.9.6", ProgramPlan(40, 0x0200));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY2(r.outcome == JobOutcome::Ok, r.detail.c_str());
    QVERIFY(r.unit && r.unit->value() == 0x0200);
    QCOMPARE(site.units[0].captures, 0);
    QVERIFY(site.units[0].written.empty());
    QCOMPARE(site.units[1].written.size(), 40 * protocol::kRecordSize);
    QCOMPARE(r.lastStatus.value(), uint16_t{0});  // 0200's, never 0100's
  }

  // Seventeen units fill the table: the eighteenth, asked for by ID, is said to be behind a
  // full table, not silent.
  void fullUnitTableIsSaidSo() {
    ScriptedUnits site("127.0.9.7");
    for (uint16_t id = 1; id <= 17; ++id) site.units.push_back(ScriptedUnit{.id = id});
    site.units.push_back(ScriptedUnit{.id = 0x0100, .delayMs = 10});
    JobRun run("127.0.9.7", ProgramPlan(2, 0x0100));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::Refused);
    QVERIFY2(r.detail.find("table is full") != std::string::npos, r.detail.c_str());
    for (const ScriptedUnit& unit : site.units) QCOMPARE(unit.captures, 0);
  }

  // A unit falling silent mid-run: the failure says how far the run got and what to do.
  void watchdogFailureSaysWhereTheUnitWasLeft() {
    ScriptedUnits site("127.0.9.8");
    site.units = {ScriptedUnit{.id = 0x0100}};
    site.imageRecords = 6;
    site.recordStatus = [&site](size_t index) -> uint16_t {
      if (index == 2) site.units[0].silent = true;  // this one is answered, then nothing
      return 0x0010;
    };
    JobPlan plan = ProgramPlan(6);
    plan.timing.programWatchdogMs = 30;
    plan.timing.programResends = 1;
    JobRun run("127.0.9.8", std::move(plan));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::NoAnswer);
    QVERIFY2(r.detail.find("3 of 6 records written") != std::string::npos, r.detail.c_str());
    QVERIFY(r.detail.find("loader mode") != std::string::npos);
    QVERIFY(r.detail.find("run program again") != std::string::npos);
    QCOMPARE(r.resends, uint64_t{1});
  }

  // Nobody at the address: the failure names it and what to check; no unit is named.
  void noUnitAnsweredNamesTheTarget() {
    ScriptedUnits site("127.0.9.9");
    JobPlan plan = ProgramPlan(2);
    plan.timing.captureIntervalMs = 20;
    plan.timing.captureAttempts = 3;
    JobRun run("127.0.9.9", std::move(plan));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::NoAnswer);
    QVERIFY2(r.detail.find("no unit answered at 127.0.9.9 (3 attempts)") != std::string::npos,
             r.detail.c_str());
    QVERIFY(r.detail.find("check") != std::string::npos);
    QVERIFY(!r.unit);
    QCOMPARE(site.pdusReceived, 3);
  }

  // Locate lists every unit; with one unit it is the one named, with its status.
  void locateListsTheUnits() {
    ScriptedUnits site("127.0.9.10");
    site.units = {ScriptedUnit{.id = 0x0200, .loaderMode = true}, ScriptedUnit{.id = 0x0100}};
    JobPlan plan;
    plan.kind = JobKind::Locate;
    plan.waitMs = 100;
    JobRun run("127.0.9.10", std::move(plan));
    QVERIFY(run.run(site));
    const JobResult& r = run.observer.last;
    QVERIFY(r.outcome == JobOutcome::Ok);
    QCOMPARE(r.units.size(), size_t{2});
    QCOMPARE(r.units[0].id.value(), uint16_t{0x0100});  // by ID
    QCOMPARE(r.units[1].status, uint16_t{0x4000});
    QVERIFY(!r.unit);  // several listed: none is the one worked on
  }

  void timerBehavesLikeTheWindowsTimer() {
    DeadlineTimer timer;
    QVERIFY(!timer.deadline());
    timer.disable();
    timer.setHandler(uvq::TimerRole::ProgramSupervisor);
    timer.setInterval(50);
    const TimePoint before = SteadyClock::now();
    timer.enable();
    QVERIFY(timer.deadline());
    QVERIFY(*timer.deadline() >= before + std::chrono::milliseconds(50));
    QVERIFY(!timer.takeDue(before));  // not yet due
    // Due: hands out its role once and schedules the next tick like a repeating timer.
    const TimePoint late = *timer.deadline() + std::chrono::milliseconds(1);
    QCOMPARE(timer.takeDue(late).value(), uvq::TimerRole::ProgramSupervisor);
    QVERIFY(!timer.takeDue(late));
    QCOMPARE(*timer.deadline(), late + std::chrono::milliseconds(50));
    timer.disable();
    QVERIFY(!timer.takeDue(late + std::chrono::hours(1)));
    QVERIFY(!timer.deadline());
  }

  // On a run loop's round clock every start counts from the round's time, as it stands then:
  // a restart in a later round counts from that round.
  void timerOnARoundClockCountsFromTheRound() {
    TimePoint round = SteadyClock::now() - std::chrono::hours(1);
    DeadlineTimer timer;
    timer.useRoundClock(&round);
    timer.setInterval(5000);
    timer.enable();
    QCOMPARE(*timer.deadline(), round + std::chrono::milliseconds(5000));
    round += std::chrono::milliseconds(7);
    timer.enable();
    QCOMPARE(*timer.deadline(), round + std::chrono::milliseconds(5000));
    timer.useRoundClock(nullptr);  // back on the steady clock
    timer.enable();
    QVERIFY(*timer.deadline() > round + std::chrono::minutes(30));
  }

  void newIntervalWhileRunningRestartsTheWait() {
    DeadlineTimer timer;
    timer.setInterval(10);
    timer.enable();
    const TimePoint first = *timer.deadline();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    timer.setInterval(1000);
    QVERIFY(*timer.deadline() >= first + std::chrono::milliseconds(900));
  }
};

QTEST_GUILESS_MAIN(UnitJobTest)
#include "UnitJobTest.moc"
