// SPDX-License-Identifier: Apache-2.0
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "StoreChecks.h"
#include "TestDatabases.h"
#include "store/db/Database.h"
#include "store/db/HistorySchema.h"
#include "store/history/OpenHistoryStore.h"
#include "store/rollouts/RolloutStore.h"
#include "store/rollouts/SqlRolloutStore.h"

using namespace uvq::rollouts;
using uvq::store::Dialect;
using uvq::store::SchemaStep;
using uvq::store::StoreError;
using uvq::store::StoreErrorKind;

namespace {

// Two of a group count the same way on every database.
// size:pending/running/ok/failed, then the skipped units when there are any.
std::string Counts(const GroupCounts& g) {
  return std::to_string(g.size) + ":" + std::to_string(g.pending) + "/" +
         std::to_string(g.running) + "/" + std::to_string(g.ok) + "/" + std::to_string(g.failed) +
         (g.skipped ? "~" + std::to_string(g.skipped) : std::string());
}

RolloutDefinition Definition(const std::string& name, const std::vector<int>& groupSizes,
                             int success = 95, int error = 10, int retries = 0) {
  RolloutDefinition definition;
  definition.name = name;
  definition.createdAt = 1000;
  definition.createdBy = "tester";
  definition.imagePath = "/img/" + name + ".cry";
  definition.imageSha256 = store_checks::kShaA;
  definition.image = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{1, 0, 2, 0});
  definition.successThreshold = success;
  definition.errorThreshold = error;
  definition.retries = retries;
  uint32_t address = 0x7f0a0001;
  for (size_t g = 0; g < groupSizes.size(); ++g)
    for (int i = 0; i < groupSizes[g]; ++i, ++address)
      definition.targets.push_back(
          {"127.10.0." + std::to_string(address & 0xff), address, "", static_cast<int>(g)});
  return definition;
}

ClaimRequest Ask(const std::string& station, const std::string& token, int count, UtcMillis now,
                 int leaseMs = 60000) {
  return {{station, token}, count, now, leaseMs, std::nullopt};
}

AttemptResult Result(int position, AttemptEnd end, int retryAfterMs = 0) {
  static const char* kOutcomes[] = {"ok", "unit_error", "no_answer", "no_answer", "interrupted"};
  AttemptResult result;
  result.position = position;
  result.end = end;
  result.outcome = kOutcomes[static_cast<int>(end)];
  result.retryAfterMs = retryAfterMs;
  return result;
}

std::vector<int> Positions(const std::vector<Claim>& claims) {
  std::vector<int> positions;
  for (const Claim& claim : claims) positions.push_back(claim.position);
  return positions;
}

// What the stations of a run saw, all of them together.
struct StationsRun {
  std::vector<std::string> verdicts;  // every end's stop reason that was set (a stop or done)
  int unitsClaimedAfterStop = 0;      // by claims asked after an end had said stopped
  int endsCounted = 0;                // ends that came back ok or failed
  std::vector<std::string> errors;
};

// `stations` threads, each with a connection of its own, claim `batch` units at a time of
// rollout `name` and end each (failed when `fails` says so) until they get none: one call per
// end, or all the ends of a claim in one call (`together`).
StationsRun RunStations(const std::string& db, const std::string& name, int stations, int batch,
                        bool (*fails)(int position), bool together = false) {
  StationsRun run;
  std::mutex mutex;
  std::atomic<bool> stopped{false};
  std::atomic<int> claimedAfterStop{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < stations; ++t)
    threads.emplace_back([&, t] {
      try {
        SqlRolloutStore store(uvq::store::OpenOwnDatabase(db));
        const ClaimHolder holder{"s" + std::to_string(t), "token" + std::to_string(t)};
        for (;;) {
          const bool afterStop = stopped;
          const auto claims = store.claim(name, {holder, batch, 2000, 600000, std::nullopt});
          if (claims.empty()) return;
          if (afterStop) claimedAfterStop += static_cast<int>(claims.size());
          std::vector<AttemptResult> results;
          for (const Claim& claim : claims)
            results.push_back(Result(
                claim.position, fails(claim.position) ? AttemptEnd::UnitError : AttemptEnd::Ok));
          std::vector<AttemptVerdict> verdicts;
          if (together) verdicts = store.endAll(name, holder, results, 2001);
          for (size_t i = 0; !together && i < results.size(); ++i)
            verdicts.push_back(store.end(name, holder, results[i], 2001));
          for (const AttemptVerdict& verdict : verdicts) {
            if (verdict.state == RolloutState::Stopped) stopped = true;
            std::lock_guard counted(mutex);
            if (!verdict.stopReason.empty()) run.verdicts.push_back(verdict.stopReason);
            if (verdict.progress == UnitProgress::Ok || verdict.progress == UnitProgress::Failed)
              ++run.endsCounted;
          }
        }
      } catch (const std::exception& error) {
        std::lock_guard lock(mutex);
        run.errors.push_back(error.what());
      }
    });
  for (auto& thread : threads) thread.join();
  run.unitsClaimedAfterStop = claimedAfterStop;
  return run;
}

// The groups' counts as the units themselves say them, "size:pending/running/ok/failed" each.
std::vector<std::string> CountedFromUnits(RolloutStore& store, const std::string& name) {
  std::vector<GroupCounts> groups;
  for (const RolloutUnit& unit : store.units(name, 0, 0)) {
    if (groups.size() <= static_cast<size_t>(unit.group)) groups.resize(unit.group + 1);
    GroupCounts& g = groups[unit.group];
    ++g.size;
    ++(unit.progress == UnitProgress::Pending   ? g.pending
       : unit.progress == UnitProgress::Running ? g.running
       : unit.progress == UnitProgress::Ok      ? g.ok
       : unit.progress == UnitProgress::Skipped ? g.skipped
                                                : g.failed);
  }
  std::vector<std::string> counts;
  for (const GroupCounts& g : groups) counts.push_back(Counts(g));
  return counts;
}

std::vector<std::string> CountedByStatus(RolloutStore& store, const std::string& name) {
  std::vector<std::string> counts;
  const auto status = store.status(name);
  for (const GroupCounts& g : status->summary.groups) counts.push_back(Counts(g));
  return counts;
}

}  // namespace

// Every case runs on SQLite and on PostgreSQL (the CTest fixture's server, or one of its own).
class RolloutStoreTest : public QObject {
  Q_OBJECT

  TestDatabases databases_;

  std::string NewDb() { return databases_.newDb(); }

 private slots:
  void initTestCase_data() { TestDatabases::AddEngines(); }
  void initTestCase() {
    const std::string problem = databases_.start();
    QVERIFY2(problem.empty(), problem.c_str());
  }

  // Two connections (as two processes have), four threads, 200 units: each unit is handed out
  // exactly once.
  void concurrentClaimsNeverShareAUnit() {
    const std::string db = NewDb();
    auto first = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto second = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    QVERIFY(first->create(Definition("busy", {200}, 95, 10)));
    std::vector<std::vector<int>> taken(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        RolloutStore& store = t % 2 ? *second : *first;
        const ClaimHolder holder{"s" + std::to_string(t), "token" + std::to_string(t)};
        for (;;) {
          const auto claims = store.claim("busy", {holder, 7, 2000, 600000, std::nullopt});
          if (claims.empty()) return;
          for (const Claim& claim : claims) {
            taken[t].push_back(claim.position);
            store.end("busy", holder, Result(claim.position, AttemptEnd::Ok), 2001);
          }
        }
      });
    for (auto& thread : threads) thread.join();
    std::vector<int> all;
    for (const auto& positions : taken) all.insert(all.end(), positions.begin(), positions.end());
    std::sort(all.begin(), all.end());
    QCOMPARE(all.size(), size_t{200});
    QVERIFY(std::adjacent_find(all.begin(), all.end()) == all.end());
    const auto status = first->status("busy");
    QCOMPARE(status->summary.state, RolloutState::Done);
    QCOMPARE(Counts(status->summary.groups.at(0)), std::string("200:0/0/200/0"));
    QCOMPARE(status->stations.size(), size_t{4});
  }

  // Eight stations, each its own connection, end units side by side: the rollout stops at the
  // very failure a single station stops it at (not one later), no unit is handed out once the
  // stop is known, and the groups' counts agree with the units.
  void concurrentEndsStopAtTheSameFailure() {
    const std::string db = NewDb();
    auto store = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    // One unit in five fails; 10 % of 400 stop the rollout: at the 40th failure.
    auto fails = [](int position) { return position % 5 == 2; };
    QVERIFY(store->create(Definition("alone", {400}, 95, 10)));
    QVERIFY(store->create(Definition("crowd", {400}, 95, 10)));
    const StationsRun alone = RunStations(db, "alone", 1, 1, fails);
    const StationsRun crowd = RunStations(db, "crowd", 8, 3, fails);
    QVERIFY2(crowd.errors.empty(), crowd.errors.empty() ? "" : crowd.errors.front().c_str());
    const std::string reason =
        "group 1 stopped the rollout: 40 of 400 units failed (10 %), error threshold 10 %";
    QCOMPARE(alone.verdicts, std::vector{reason});
    QCOMPARE(crowd.verdicts, std::vector{reason});  // said once, by the end that stopped it
    QCOMPARE(crowd.unitsClaimedAfterStop, 0);
    const auto status = store->status("crowd");
    QCOMPARE(status->summary.state, RolloutState::Stopped);
    QCOMPARE(status->summary.stopReason, reason);
    // Units in flight at the stop still end and count; none of them was claimed after it.
    QVERIFY(crowd.endsCounted < 400);
    QCOMPARE(CountedByStatus(*store, "crowd"), CountedFromUnits(*store, "crowd"));
    QCOMPARE(status->summary.groups.at(0).ok + status->summary.groups.at(0).failed,
             crowd.endsCounted);
  }

  // The same with each station's ends written together: the stop comes at the same failure,
  // said once; groups that pass still finish in order, the rollout done once, every count exact.
  void concurrentEndsTogetherStopAtTheSameFailure() {
    const std::string db = NewDb();
    auto store = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    QVERIFY(store->create(Definition("crowd", {400}, 95, 10)));
    QVERIFY(store->create(Definition("groups", {150, 150, 100}, 95, 10)));
    const StationsRun crowd = RunStations(
        db, "crowd", 8, 7, [](int position) { return position % 5 == 2; }, true);
    QVERIFY2(crowd.errors.empty(), crowd.errors.empty() ? "" : crowd.errors.front().c_str());
    const std::string reason =
        "group 1 stopped the rollout: 40 of 400 units failed (10 %), error threshold 10 %";
    QCOMPARE(crowd.verdicts, std::vector{reason});
    QCOMPARE(crowd.unitsClaimedAfterStop, 0);
    QCOMPARE(store->status("crowd")->summary.stopReason, reason);
    QCOMPARE(CountedByStatus(*store, "crowd"), CountedFromUnits(*store, "crowd"));
    const GroupCounts stopped = store->status("crowd")->summary.groups.at(0);
    QCOMPARE(stopped.ok + stopped.failed, crowd.endsCounted);
    QVERIFY(crowd.endsCounted < 400);

    // Claims larger than the ends one statement writes.
    const StationsRun groups = RunStations(
        db, "groups", 3, 120, [](int position) { return position % 50 == 7; }, true);
    QVERIFY2(groups.errors.empty(), groups.errors.empty() ? "" : groups.errors.front().c_str());
    QCOMPARE(groups.verdicts,
             std::vector<std::string>{"every group passed: 392 of 400 units succeeded"});
    QCOMPARE(groups.endsCounted, 400);
    QCOMPARE(CountedByStatus(*store, "groups"),
             (std::vector<std::string>{"150:0/0/147/3", "150:0/0/147/3", "100:0/0/98/2"}));
    QCOMPARE(CountedFromUnits(*store, "groups"), CountedByStatus(*store, "groups"));
  }

  // Ends written together give each the verdict it gets written alone, in the same order: the
  // end that crosses the threshold in the middle stops the rollout and says why, the later ones
  // find it stopped (and still count); a second end of a unit and an end of a unit not held
  // change nothing; retries, missing and interrupted units are kept as alone.
  void endsTogetherAreJudgedOneByOne() {
    auto store = OpenRolloutStore(NewDb());
    const ClaimHolder s{"s", "t"};
    const std::vector<AttemptResult> results = {
        Result(0, AttemptEnd::Ok),        Result(1, AttemptEnd::Retryable, 300),
        Result(2, AttemptEnd::UnitError), Result(3, AttemptEnd::Missing, 200),
        Result(2, AttemptEnd::Ok),        Result(4, AttemptEnd::UnitError),
        Result(9, AttemptEnd::Ok),        Result(5, AttemptEnd::Interrupted),
        Result(6, AttemptEnd::UnitError), Result(7, AttemptEnd::Ok),
        Result(42, AttemptEnd::Ok)};
    std::vector<std::vector<AttemptVerdict>> verdicts;
    std::vector<std::vector<std::string>> rows;
    for (const std::string name : {"alone", "together"}) {
      QVERIFY(store->create(Definition(name, {10, 5}, 50, 20, 1)));
      QCOMPARE(store->claim(name, Ask("s", "t", 8, 1000)).size(), size_t{8});  // not 8 and 9
      if (name == "alone") {
        verdicts.emplace_back();
        for (const AttemptResult& result : results)
          verdicts.back().push_back(store->end(name, s, result, 1100));
      } else {
        verdicts.push_back(store->endAll(name, s, results, 1100));
      }
      rows.emplace_back();
      for (const RolloutUnit& unit : store->units(name, 0, 0))
        rows.back().push_back(std::to_string(unit.position) + " " +
                              std::string(UnitProgressName(unit.progress)) + " " +
                              std::to_string(unit.attempts) + " " + unit.outcome + " " +
                              unit.station + (unit.redo ? " redo" : ""));
      rows.back().push_back(Counts(store->status(name)->summary.groups.at(0)));
    }
    const std::string reason =
        "group 1 stopped the rollout: 2 of 10 units failed (20 %), error threshold 20 %";
    QCOMPARE(verdicts[1].size(), results.size());
    for (size_t i = 0; i < results.size(); ++i) {
      const AttemptVerdict& alone = verdicts[0][i];
      const AttemptVerdict& together = verdicts[1][i];
      QCOMPARE(together.held, alone.held);
      QCOMPARE(together.progress, alone.progress);
      QCOMPARE(together.state, alone.state);
      QCOMPARE(together.stopReason, alone.stopReason);
      QCOMPARE(alone.stopReason, i == 5 ? reason : std::string());
      QCOMPARE(alone.state, i < 5 ? RolloutState::Running : RolloutState::Stopped);
    }
    QVERIFY(!verdicts[1][4].held);  // position 2 again
    QCOMPARE(verdicts[1][4].progress, UnitProgress::Failed);
    QVERIFY(!verdicts[1][6].held);                            // 9: not claimed
    QVERIFY(!verdicts[1][10].held);                           // 42: no such unit
    QCOMPARE(verdicts[1][8].progress, UnitProgress::Failed);  // after the stop: still counted
    QCOMPARE(rows[1], rows[0]);
    QCOMPARE(rows[1].back(), std::string("10:5/0/2/3"));
  }

  // Stations side by side through groups that pass: each group starts once the one before it
  // ended, the rollout is done once, and every count is exact.
  void concurrentEndsFinishGroupsInOrder() {
    const std::string db = NewDb();
    auto store = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto fails = [](int position) { return position % 50 == 7; };  // 2 %: under 10, over 95
    QVERIFY(store->create(Definition("groups", {150, 150, 100}, 95, 10)));
    const StationsRun crowd = RunStations(db, "groups", 6, 4, fails);
    QVERIFY2(crowd.errors.empty(), crowd.errors.empty() ? "" : crowd.errors.front().c_str());
    QCOMPARE(crowd.verdicts,
             std::vector<std::string>{"every group passed: 392 of 400 units succeeded"});
    QCOMPARE(crowd.endsCounted, 400);
    QCOMPARE(store->status("groups")->summary.state, RolloutState::Done);
    QCOMPARE(CountedByStatus(*store, "groups"),
             (std::vector<std::string>{"150:0/0/147/3", "150:0/0/147/3", "100:0/0/98/2"}));
    QCOMPARE(CountedFromUnits(*store, "groups"), CountedByStatus(*store, "groups"));
    QCOMPARE(store->list().at(0).groups.size(), size_t{3});
  }

  // Retries of the failed units, pauses and resumes while stations end units side by side: no
  // call fails (an action and the ends never wait for each other in a circle) and the counts
  // stay those of the units.
  void actionsBesideConcurrentEnds() {
    const std::string db = NewDb();
    auto store = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto fails = [](int position) { return position % 4 == 0; };
    QVERIFY(store->create(Definition("busy", {300}, 0, 100)));
    std::atomic<bool> done{false};
    std::vector<std::string> actionErrors;
    std::thread actor([&] {
      try {
        SqlRolloutStore own(uvq::store::OpenOwnDatabase(db));
        for (int i = 0; !done; ++i)
          own.act("busy",
                  i % 3 == 0   ? RolloutAction::RetryFailed
                  : i % 3 == 1 ? RolloutAction::Pause
                               : RolloutAction::Resume,
                  3000);
      } catch (const std::exception& error) {
        actionErrors.push_back(error.what());
      }
    });
    StationsRun crowd = RunStations(db, "busy", 6, 2, fails);
    done = true;
    actor.join();
    QVERIFY2(crowd.errors.empty(), crowd.errors.empty() ? "" : crowd.errors.front().c_str());
    QVERIFY2(actionErrors.empty(), actionErrors.empty() ? "" : actionErrors.front().c_str());
    QCOMPARE(CountedByStatus(*store, "busy"), CountedFromUnits(*store, "busy"));
    // Whatever the actions left, one station finishes the rollout from the counts kept.
    if (store->status("busy")->summary.state == RolloutState::Paused)
      store->act("busy", RolloutAction::Resume, 4000);
    RunStations(db, "busy", 1, 50, fails);
    QCOMPARE(store->status("busy")->summary.state, RolloutState::Done);
    QCOMPARE(CountedByStatus(*store, "busy"), (std::vector<std::string>{"300:0/0/225/75"}));
  }

  // A lease that ran out goes to another station, said to be a redo; the first station's end
  // then counts for nothing, its renewal takes nothing back.
  void expiredLeaseGoesToAnotherStation() {
    const std::string db = NewDb();
    auto a = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto b = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    QVERIFY(a->create(Definition("lease", {2})));
    QCOMPARE(Positions(a->claim("lease", Ask("A", "ta", 5, 1000, 1000))), (std::vector{0, 1}));
    QVERIFY(b->claim("lease", Ask("B", "tb", 5, 1999)).empty());
    const auto renewed = a->renew("lease", {"A", "ta"}, 1500, 1000);  // until 2500
    QCOMPARE(renewed.state, RolloutState::Running);
    QCOMPARE(renewed.held, (std::vector{0, 1}));
    QVERIFY(b->claim("lease", Ask("B", "tb", 5, 2499)).empty());
    const auto redone = b->claim("lease", Ask("B", "tb", 1, 2501));
    QCOMPARE(redone.size(), size_t{1});
    QVERIFY(redone[0].redo);
    QCOMPARE(redone[0].previousHolder, std::string("A"));
    const auto late = a->end("lease", {"A", "ta"}, Result(0, AttemptEnd::Ok), 2600);
    QVERIFY(!late.held);
    // The renewal says which units A still runs: the one B took over is not among them.
    const auto after = a->renew("lease", {"A", "ta"}, 2600, 1000);
    QCOMPARE(after.state, RolloutState::Running);
    QCOMPARE(after.held, std::vector{1});
    QCOMPARE(a->units("lease", 0, 1).at(0).station, std::string("B"));
    QCOMPARE(a->holders("lease", "A"), std::vector<std::string>{"ta"});
    QCOMPARE(a->holders("lease", "B"), std::vector<std::string>{"tb"});
    QVERIFY(b->end("lease", {"B", "tb"}, Result(0, AttemptEnd::Ok), 2700).held);
    // A station run again puts its dead process's units back at once, to be redone.
    QCOMPARE(a->takeOver("lease", "A", "ta", {"A", "ta2"}, 2800, 1000), 1);
    const auto back = a->claim("lease", Ask("A", "ta2", 5, 2800));
    QCOMPARE(Positions(back), std::vector{1});
    QVERIFY(back[0].redo);
    QCOMPARE(a->end("lease", {"A", "ta2"}, Result(1, AttemptEnd::Ok), 2900).state,
             RolloutState::Done);
    QCOMPARE(a->units("lease", 0, 0).at(0).redo, false);
  }

  // An end kept on disk by a station process that died is written later under the dead
  // process's claim: counted while the unit still runs under that claim (its lease may have run
  // out), refused when it reached the store before or another station took the unit meanwhile.
  void endOfAGoneProcessCountsOnce() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("kept", {3})));
    QCOMPARE(Positions(store->claim("kept", Ask("A", "ta", 3, 1000, 1000))),
             (std::vector{0, 1, 2}));
    QVERIFY(store->end("kept", {"A", "ta"}, Result(0, AttemptEnd::Ok), 1500).held);
    QCOMPARE(Positions(store->claim("kept", Ask("B", "tb", 1, 5000, 1000))), std::vector{1});
    // Replayed long after the lease: 0 again, 1 taken over, 2 still under A's claim.
    QVERIFY(!store->end("kept", {"A", "ta"}, Result(0, AttemptEnd::Ok), 6000).held);
    QVERIFY(!store->end("kept", {"A", "ta"}, Result(1, AttemptEnd::Ok), 6000).held);
    QVERIFY(store->end("kept", {"A", "ta"}, Result(2, AttemptEnd::Ok), 6000).held);
    QVERIFY(!store->end("kept", {"A", "ta"}, Result(2, AttemptEnd::Ok), 6001).held);
    QCOMPARE(CountedByStatus(*store, "kept"), (std::vector<std::string>{"3:0/1/2/0"}));
    QCOMPARE(CountedFromUnits(*store, "kept"), (std::vector<std::string>{"3:0/1/2/0"}));
  }

  // A group's failures stop the rollout at the attempt that crosses the error threshold; a group
  // that ended below the success threshold stops it too; retrying the failed units goes on.
  void thresholdsStopAndGateGroups() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("gate", {10, 10}, 90, 20)));
    const ClaimHolder s{"s", "t"};
    QCOMPARE(store->claim("gate", Ask("s", "t", 100, 1000)).size(), size_t{10});  // group 1 only
    for (int p = 0; p < 9; ++p) store->end("gate", s, Result(p, AttemptEnd::Ok), 1100);
    QVERIFY(store->claim("gate", Ask("s", "t", 100, 1150)).empty());  // group 1 not ended yet
    auto verdict = store->end("gate", s, Result(9, AttemptEnd::UnitError), 1200);
    QCOMPARE(verdict.progress, UnitProgress::Failed);
    QCOMPARE(verdict.state, RolloutState::Running);  // 9 of 10 succeeded: group 2 starts
    QCOMPARE(store->claim("gate", Ask("s", "t", 100, 1300)).size(), size_t{10});
    store->end("gate", s, Result(10, AttemptEnd::UnitError), 1400);
    verdict = store->end("gate", s, Result(11, AttemptEnd::UnitError), 1400);
    QCOMPARE(verdict.state, RolloutState::Stopped);
    const std::string reason =
        "group 2 stopped the rollout: 2 of 10 units failed (20 %), error threshold 20 %";
    QCOMPARE(verdict.stopReason, reason);
    QVERIFY(store->claim("gate", Ask("s", "t", 100, 1500)).empty());
    QVERIFY(store->end("gate", s, Result(12, AttemptEnd::Ok), 1500).held);  // in flight: counted
    auto status = store->status("gate");
    QCOMPARE(status->summary.stopReason, reason);
    QCOMPARE(Counts(status->summary.groups.at(1)), std::string("10:0/7/1/2"));
    QCOMPARE(status->failed.size(), size_t{3});
    QCOMPARE(status->running.size(), size_t{7});

    const auto retried = store->act("gate", RolloutAction::RetryFailed, 1600);
    QVERIFY(retried.applied);
    QCOMPARE(retried.unitsReset, 3);
    QCOMPARE(retried.state, RolloutState::Running);
    QCOMPARE(Positions(store->claim("gate", Ask("s", "t", 100, 1700))), std::vector{9});
    QVERIFY(!store->end("gate", s, Result(10, AttemptEnd::Ok), 1700).held);  // not claimed
    store->end("gate", s, Result(9, AttemptEnd::Ok), 1700);
    QCOMPARE(Positions(store->claim("gate", Ask("s", "t", 100, 1750))), (std::vector{10, 11}));
    for (int p : {10, 11, 13, 14, 15, 16, 17, 18, 19})
      verdict = store->end("gate", s, Result(p, AttemptEnd::Ok), 1800);
    QVERIFY(store->claim("gate", Ask("s", "t", 100, 1800)).empty());
    QCOMPARE(store->status("gate")->summary.state, RolloutState::Done);
    QCOMPARE(verdict.state, RolloutState::Done);

    QVERIFY(store->create(Definition("short", {4}, 95, 50)));
    store->claim("short", Ask("s", "t", 4, 1000));
    for (int p = 0; p < 3; ++p) store->end("short", s, Result(p, AttemptEnd::Ok), 1100);
    verdict = store->end("short", s, Result(3, AttemptEnd::UnitError), 1200);
    QCOMPARE(verdict.state, RolloutState::Stopped);
    QCOMPARE(verdict.stopReason,
             std::string("group 1 stopped the rollout: 3 of 4 units succeeded (75 %), success "
                         "threshold 95 %"));
  }

  // Retryable ends count and wait; Missing waits uncounted; Interrupted comes back as a redo.
  void retriesMissingAndInterruptedUnits() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("retry", {1}, 95, 100, 2)));
    const ClaimHolder s{"s", "t"};
    UtcMillis now = 1000;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      const auto claims = store->claim("retry", Ask("s", "t", 1, now));
      QCOMPARE(claims.size(), size_t{1});
      QCOMPARE(claims[0].attempts, attempt - 1);
      const auto verdict = store->end("retry", s, Result(0, AttemptEnd::Retryable, 500), now);
      QCOMPARE(verdict.progress, attempt <= 2 ? UnitProgress::Pending : UnitProgress::Failed);
      QVERIFY(store->claim("retry", Ask("s", "t", 1, now + 499)).empty());
      now += 500;
    }
    QCOMPARE(store->units("retry", 0, 0).at(0).attempts, 3);
    QCOMPARE(store->status("retry")->summary.state, RolloutState::Stopped);

    QVERIFY(store->create(Definition("jig", {1})));
    store->claim("jig", Ask("s", "t", 1, 1000));
    QCOMPARE(store->end("jig", s, Result(0, AttemptEnd::Missing, 300), 1000).progress,
             UnitProgress::Pending);
    QVERIFY(store->claim("jig", Ask("s", "t", 1, 1299)).empty());
    const auto again = store->claim("jig", Ask("s", "t", 1, 1300));
    QCOMPARE(again.size(), size_t{1});
    QCOMPARE(again[0].attempts, 0);
    QVERIFY(!again[0].redo);
    store->end("jig", s, Result(0, AttemptEnd::Interrupted), 1400);
    const auto redo = store->claim("jig", Ask("s2", "t2", 1, 1400));
    QCOMPARE(redo.size(), size_t{1});
    QVERIFY(redo[0].redo);
    QCOMPARE(redo[0].previousHolder, std::string("s"));
    QCOMPARE(redo[0].attempts, 0);
  }

  // A station serving every rollout is given those with units it could get in its range: running
  // or paused, with a unit pending or held under a lease that has run out; oldest first.
  void unfinishedRolloutsHaveWorkInTheRange() {
    auto store = OpenRolloutStore(NewDb());
    for (const char* name : {"both", "held", "paused", "cancelled"})
      QVERIFY(store->create(Definition(name, {std::string(name) == "both" ? 2 : 1})));
    QCOMPARE(store->claim("held", Ask("s", "t", 1, 1000, 1000)).size(), size_t{1});
    QVERIFY(store->act("paused", RolloutAction::Pause, 1000).applied);
    QVERIFY(store->act("cancelled", RolloutAction::Cancel, 1000).applied);
    using Names = std::vector<std::string>;
    QCOMPARE(store->unfinished(std::nullopt, 1500), (Names{"both", "paused"}));
    QCOMPARE(store->unfinished(std::nullopt, 2500), (Names{"both", "held", "paused"}));
    // Only "both" has a second unit (127.10.0.2).
    const std::pair<uint32_t, uint32_t> second{0x7f0a0002, 0x7f0a0002};
    QCOMPARE(store->unfinished(second, 2500), (Names{"both"}));
    const ClaimHolder s{"s", "t"};
    for (const Claim& claim : store->claim("both", Ask("s", "t", 2, 2500)))
      store->end("both", s, Result(claim.position, AttemptEnd::Ok), 2600);
    QCOMPARE(store->unfinished(second, 2700), Names{});
    QCOMPARE(store->unfinished(std::nullopt, 2700), (Names{"held", "paused"}));
  }

  // A station's row names its process and its lease. It runs while its last sign of life is
  // within its lease, is ended once its own process says so (not another process of the same
  // name), runs again at its next sign of life, and is gone once silent for longer than its
  // lease.
  void stationsEndOrAreGone() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("life", {3})));
    const UtcMillis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const ClaimHolder dead{"dead", "host-b:77:r2"}, done{"done", "host-c:9:r3"},
        live{"live", "host-a:4242:r1"};
    QCOMPARE(store->claim("life", Ask(dead.station, dead.token, 1, now - 120000, 30000)).size(),
             size_t{1});
    QCOMPARE(store->claim("life", Ask(done.station, done.token, 1, now - 1000)).size(), size_t{1});
    QCOMPARE(store->claim("life", Ask(live.station, live.token, 1, now - 1000)).size(), size_t{1});
    store->renew("life", live, now, 60000);
    store->stationEnded("life", {"done", "host-c:10:r4"}, now);  // another process: nothing
    const auto lives = [&] {
      std::vector<std::string> words;
      const auto status = store->status("life");
      for (const RolloutStation& s : status->stations)
        words.push_back(s.station + " " + std::string(StationLifeName(s.life)));
      return words;
    };
    using Words = std::vector<std::string>;
    QCOMPARE(lives(), (Words{"dead gone", "done running", "live running"}));
    store->stationEnded("life", done, now);
    QCOMPARE(lives(), (Words{"dead gone", "done ended", "live running"}));
    const auto stations = store->status("life")->stations;
    QCOMPARE(stations[0].host, std::string("host-b"));
    QCOMPARE(stations[0].pid, int64_t{77});
    QCOMPARE(stations[0].leaseMs, 30000);
    QCOMPARE(stations[1].endedAt, std::optional<UtcMillis>(now));
    QCOMPARE(stations[2].host, std::string("host-a"));
    QCOMPARE(stations[2].pid, int64_t{4242});
    // The ended station works again, the dead one comes back: both run.
    store->renew("life", done, now, 60000);
    store->renew("life", dead, now, 30000);
    QCOMPARE(lives(), (Words{"dead running", "done running", "live running"}));
    QVERIFY(!store->status("life")->stations[1].endedAt);
  }

  // Pause, resume, cancel and retry in the states that allow them; refused in words otherwise.
  void actionsFollowTheStates() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("acts", {2})));
    const ClaimHolder s{"s", "t"};
    QCOMPARE(store->claim("acts", Ask("s", "t", 1, 1000)).size(), size_t{1});
    QVERIFY(store->act("acts", RolloutAction::Pause, 1100).applied);
    QVERIFY(store->claim("acts", Ask("s", "t", 1, 1200)).empty());
    QCOMPARE(store->renew("acts", s, 1200, 1000).state, RolloutState::Paused);
    auto refused = store->act("acts", RolloutAction::Pause, 1200);
    QVERIFY(refused.found && !refused.applied && !refused.refusal.empty());
    QCOMPARE(store->end("acts", s, Result(0, AttemptEnd::Ok), 1300).state, RolloutState::Paused);
    QCOMPARE(store->act("acts", RolloutAction::Resume, 1400).state, RolloutState::Running);
    QVERIFY(!store->act("acts", RolloutAction::Resume, 1400).applied);
    store->claim("acts", Ask("s", "t", 1, 1500));
    // The last unit ends while paused: the rollout is judged when it is resumed.
    QVERIFY(store->act("acts", RolloutAction::Pause, 1600).applied);
    QCOMPARE(store->end("acts", s, Result(1, AttemptEnd::Ok), 1700).state, RolloutState::Paused);
    QCOMPARE(store->act("acts", RolloutAction::Resume, 1800).state, RolloutState::Done);
    QVERIFY(!store->act("acts", RolloutAction::Cancel, 1900).applied);

    QVERIFY(store->create(Definition("gone", {1})));
    QCOMPARE(store->act("gone", RolloutAction::Cancel, 1000).state, RolloutState::Cancelled);
    QVERIFY(store->claim("gone", Ask("s", "t", 1, 1100)).empty());
    for (auto action : {RolloutAction::Cancel, RolloutAction::Resume, RolloutAction::RetryFailed}) {
      refused = store->act("gone", action, 1200);
      QVERIFY(refused.found && !refused.applied && !refused.refusal.empty());
      QCOMPARE(refused.state, RolloutState::Cancelled);
    }
    QVERIFY(!store->act("nothing", RolloutAction::Pause, 1000).found);
    QCOMPARE(RolloutStateNamed("stopped"), std::optional(RolloutState::Stopped));
    QCOMPARE(RolloutStateNamed("gone"), std::nullopt);
  }

  // With --approve-groups no unit of the next group is handed out, to any station, until the
  // group is approved; every action is recorded once with its actor, origin and time.
  void waitingGroupIsClaimedOnlyOnceApproved() {
    const std::string db = NewDb();
    auto store = OpenRolloutStore(db);
    auto other = OpenRolloutStore(db);
    RolloutDefinition definition = Definition("gated", {2, 2, 1});
    definition.approveGroups = true;
    definition.actor = {"alice", "bench-1"};
    QVERIFY(store->create(definition));
    const ClaimHolder s{"s", "t"};
    QVERIFY(!store->act("gated", {RolloutAction::Approve, 1050, {"bob", "h"}, 0, {}}).applied);
    QCOMPARE(Positions(store->claim("gated", Ask("s", "t", 10, 1100))), (std::vector{0, 1}));
    for (int p : {0, 1}) store->end("gated", s, Result(p, AttemptEnd::Ok), 1200);
    for (RolloutStore* station : {store.get(), other.get()})
      QVERIFY(station->claim("gated", Ask("s", "t", 10, 1300)).empty());
    QVERIFY(store->workLeft("gated", std::nullopt));
    auto summary = store->status("gated")->summary;
    QCOMPARE(summary.state, RolloutState::Running);
    QCOMPARE(WaitingText(summary), std::string("waiting for approval of group 2"));
    QCOMPARE(WaitingText(store->list().at(0)), std::string("waiting for approval of group 2"));

    const auto approved = other->act("gated", {RolloutAction::Approve, 1400, {"bob", "h2"}, 0, {}});
    QVERIFY(approved.applied);
    QCOMPARE(approved.group, 1);
    QVERIFY(!store->status("gated")->summary.waitingGroup);
    // Approved once: a second approval finds nothing waiting.
    QVERIFY(!store->act("gated", {RolloutAction::Approve, 1450, {"bob", "h2"}, 0, {}}).applied);
    QCOMPARE(Positions(store->claim("gated", Ask("s", "t", 10, 1500))), (std::vector{2, 3}));
    for (int p : {2, 3}) store->end("gated", s, Result(p, AttemptEnd::Ok), 1600);
    QCOMPARE(store->status("gated")->summary.waitingGroup, std::optional(2));
    QVERIFY(
        store->act("gated", {RolloutAction::Approve, 1700, {"carol", "10.0.0.9"}, 0, {}}).applied);
    QCOMPARE(Positions(store->claim("gated", Ask("s", "t", 10, 1800))), std::vector{4});
    QCOMPARE(store->end("gated", s, Result(4, AttemptEnd::Ok), 1900).state, RolloutState::Done);

    QVERIFY(store->create(Definition("plain", {1, 1})));
    QVERIFY(!store->act("plain", RolloutAction::Approve, 2000).applied);
    const auto records = store->actions("gated", 0);
    QCOMPARE(records.size(), size_t{3});
    QCOMPARE(records[0].action, std::string("create"));
    QCOMPARE(records[0].actor, std::string("alice"));
    QCOMPARE(records[0].origin, std::string("bench-1"));
    QCOMPARE(records[0].at, int64_t{1000});
    QCOMPARE(records[1].action, std::string("approve"));
    QCOMPARE(records[1].detail, std::string("group 2"));
    QCOMPARE(records[1].actor, std::string("bob"));
    QCOMPARE(records[2].origin, std::string("10.0.0.9"));
    QCOMPARE(records[2].at, int64_t{1700});
    QCOMPARE(store->actions("", 0).size(), size_t{4});  // with plain's create
    QCOMPARE(store->actions("", 1).at(0).rollout, std::string("plain"));
  }

  // A skipped unit is never claimed and counts in no threshold; accepted failures let a stopped
  // rollout go on, and only new failures are judged.
  void skippedUnitsAndAcceptedFailures() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("skip", {4, 2}, 100, 50)));
    const ClaimHolder s{"s", "t"};
    const uint32_t base = 0x7f0a0001;
    auto skip = [&](uint32_t address, UtcMillis now) {
      return store->act("skip", {RolloutAction::Skip, now, {"op", "h"}, address, "127.10.0.x"});
    };
    QCOMPARE(skip(base + 1, 900).unitsReset, 1);
    QVERIFY(!skip(base + 1, 901).applied);    // already skipped
    QVERIFY(!skip(base + 100, 902).applied);  // not a unit of it
    QCOMPARE(Positions(store->claim("skip", Ask("s", "t", 10, 1000))), (std::vector{0, 2, 3}));
    QVERIFY(!skip(base + 2, 1050).applied);  // in flight
    for (int p : {0, 2}) store->end("skip", s, Result(p, AttemptEnd::Ok), 1100);
    auto verdict = store->end("skip", s, Result(3, AttemptEnd::UnitError), 1200);
    // Judged on the 3 units not skipped: below its success threshold.
    QCOMPARE(verdict.state, RolloutState::Stopped);
    QVERIFY(verdict.stopReason.find("2 of 3 units succeeded") != std::string::npos);
    QCOMPARE(Counts(store->status("skip")->summary.groups.at(0)), std::string("4:0/0/2/1~1"));
    QCOMPARE(CountedByStatus(*store, "skip"), CountedFromUnits(*store, "skip"));
    QVERIFY(!store->act("skip", RolloutAction::Resume, 1300).applied);
    const auto accepted =
        store->act("skip", {RolloutAction::AcceptFailures, 1300, {"op", "h"}, 0, {}});
    QVERIFY(accepted.applied);
    QCOMPARE(accepted.unitsReset, 1);
    QCOMPARE(accepted.state, RolloutState::Running);
    QVERIFY(!store->act("skip", RolloutAction::AcceptFailures, 1350).applied);  // not stopped
    QCOMPARE(store->status("skip")->summary.groups.at(0).accepted, 1);
    QCOMPARE(Positions(store->claim("skip", Ask("s", "t", 10, 1400))), (std::vector{4, 5}));
    store->end("skip", s, Result(4, AttemptEnd::Ok), 1500);
    verdict = store->end("skip", s, Result(5, AttemptEnd::UnitError), 1500);
    QCOMPARE(verdict.state, RolloutState::Stopped);  // a new failure is judged
    QCOMPARE(verdict.stopReason,
             std::string("group 2 stopped the rollout: 1 of 2 units failed (50 %), error "
                         "threshold 50 %"));
    // A failed unit skipped leaves the group passing once the rollout goes on.
    QCOMPARE(skip(base + 5, 1600).unitsReset, 1);
    QCOMPARE(CountedByStatus(*store, "skip"), CountedFromUnits(*store, "skip"));
    QCOMPARE(store->status("skip")->summary.groups.at(1).accepted, 0);
    QCOMPARE(store->act("skip", {RolloutAction::AcceptFailures, 1700, {"op", "h"}, 0, {}}).state,
             RolloutState::Done);
    // Retrying puts the accepted failure back: judged again once it ends.
    QCOMPARE(store->act("skip", RolloutAction::RetryFailed, 1800).unitsReset, 1);
    const auto retried = store->status("skip")->summary;
    QCOMPARE(retried.state, RolloutState::Running);
    QCOMPARE(retried.groups.at(0).accepted, 0);
    QCOMPARE(CountedByStatus(*store, "skip"), CountedFromUnits(*store, "skip"));
    QCOMPARE(Positions(store->claim("skip", Ask("s", "t", 10, 1900))), (std::vector{3}));
    QCOMPARE(store->end("skip", s, Result(3, AttemptEnd::UnitError), 2000).state,
             RolloutState::Stopped);
    std::vector<std::string> recorded;
    for (const ActionRecord& record : store->actions("skip", 0)) recorded.push_back(record.action);
    QCOMPARE(recorded,
             (std::vector<std::string>{"create", "skip", "accept", "skip", "accept", "retry"}));
  }

  // Two unfinished rollouts never send different images to one address; the same image, or one
  // after the other has finished, is fine.
  void conflictingRolloutIsRefusedAtCreate() {
    auto store = OpenRolloutStore(NewDb());
    QVERIFY(store->create(Definition("first", {3})));
    RolloutDefinition clash = Definition("second", {1});
    clash.targets[0].address += 2;  // the first's third unit
    clash.imageSha256 = store_checks::kShaB;
    const CreateResult refused = store->create(clash);
    QVERIFY(!refused);
    QCOMPARE(refused.conflict, std::string("first"));
    QVERIFY(!store->load("second").has_value());
    QCOMPARE(store->list().size(), size_t{1});
    clash.targets[0].address += 1;  // beside it
    clash.name = "beside";
    QVERIFY(store->create(clash));
    RolloutDefinition same = Definition("same", {2});
    QVERIFY(store->create(same));
    QVERIFY(store->act("first", RolloutAction::Cancel, 1100).applied);
    clash.name = "after";
    clash.targets[0].address -= 1;
    QVERIFY(store->create(clash));
  }

  // An event is claimed by one station only: a stop once each time the rollout gets there, a
  // station gone silent with units once per silence; nothing without a notify URL.
  void eventsAreClaimedOnce() {
    const std::string db = NewDb();
    auto a = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto b = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    RolloutDefinition definition = Definition("told", {2}, 100, 50);
    definition.notifyUrl = "http://127.0.0.1:9/hook";
    QVERIFY(a->create(definition));
    QVERIFY(a->create(Definition("quiet", {1})));
    QCOMPARE(a->claim("told", Ask("A", "ta", 1, 1000)).size(), size_t{1});
    QCOMPARE(b->claim("told", Ask("B", "tb", 1, 1000)).size(), size_t{1});
    QVERIFY(a->claimEvents("told", "A", 1500, 1000).empty());  // B seen 500 ms ago
    // B has not been heard from for longer than the silence: told once, by whoever is first.
    a->renew("told", {"A", "ta"}, 2100, 60000);
    const auto silent = a->claimEvents("told", "A", 2100, 1000);
    QCOMPARE(silent.size(), size_t{1});
    QCOMPARE(silent[0].state, std::string("station_silent"));
    QCOMPARE(silent[0].url, definition.notifyUrl);
    QVERIFY2(silent[0].reason.find("station B") != std::string::npos, silent[0].reason.c_str());
    QVERIFY(b->claimEvents("told", "C", 2200, 1000).empty());
    QVERIFY(a->end("told", {"A", "ta"}, Result(0, AttemptEnd::UnitError), 2300).held);
    QCOMPARE(a->status("told")->summary.state, RolloutState::Stopped);
    const auto stopped = b->claimEvents("told", "B", 2400, 100000);
    QCOMPARE(stopped.size(), size_t{1});
    QCOMPARE(stopped[0].state, std::string("stopped"));
    QVERIFY(stopped[0].reason.find("group 1") != std::string::npos);
    QVERIFY(a->claimEvents("told", "A", 2500, 100000).empty());
    // Taken up again and stopped again: another event.
    QVERIFY(a->act("told", {RolloutAction::RetryFailed, 2600, {"op", "h"}, 0, {}}).applied);
    QCOMPARE(a->claim("told", Ask("A", "ta", 1, 2700)).size(), size_t{1});
    a->end("told", {"A", "ta"}, Result(0, AttemptEnd::UnitError), 2800);
    QCOMPARE(a->claimEvents("told", "A", 2900, 100000).size(), size_t{1});
    QVERIFY(a->claimEvents("quiet", "A", 3000, 0).empty());
  }

  // The whole rollout reads back (binary image, targets, groups); a name in use is refused.
  void createdRolloutReadsBackWhole() {
    auto store = OpenRolloutStore(NewDb());
    RolloutDefinition definition = Definition("whole", {600, 424}, 80, 15, 3);
    std::vector<uint8_t> image(70000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i % 7 ? i : 0);
    definition.image = std::make_shared<const std::vector<uint8_t>>(image);
    definition.targets[5].unitId = "0105";
    definition.searchSeconds = 7;
    QVERIFY(store->create(definition));
    RolloutDefinition other = Definition("whole", {1});
    QVERIFY(!store->create(other));
    const auto loaded = store->load("whole");
    QVERIFY(loaded.has_value());
    QVERIFY(*loaded->image == image);
    QCOMPARE(loaded->targets.size(), size_t{1024});
    QCOMPARE(loaded->targets[5].unitId, std::string("0105"));
    QCOMPARE(loaded->targets[1023].group, 1);
    QCOMPARE(loaded->targets[1023].address, definition.targets[1023].address);
    QCOMPARE(loaded->imagePath, definition.imagePath);
    QCOMPARE(loaded->retries, 3);
    QCOMPARE(loaded->searchSeconds, 7);
    QVERIFY(!store->load("none").has_value());
    const auto list = store->list();
    QCOMPARE(list.size(), size_t{1});
    QCOMPARE(list[0].imageBytes, int64_t{70000});
    QCOMPARE(list[0].searchSeconds, 7);
    QCOMPARE(Counts(list[0].groups.at(1)), std::string("424:424/0/0/0"));
    const auto page = store->units("whole", 600, 10);
    QCOMPARE(page.size(), size_t{10});
    QCOMPARE(page[0].position, 600);
    QCOMPARE(page[0].group, 1);

    // A station limited to a range gets only those units, and knows when none are left.
    const uint32_t base = definition.targets[0].address;
    ClaimRequest ranged = Ask("s", "t", 100, 1000);
    ranged.range = std::pair{base + 10, base + 12};
    QCOMPARE(Positions(store->claim("whole", ranged)), (std::vector{10, 11, 12}));
    for (int p : {10, 11, 12}) store->end("whole", {"s", "t"}, Result(p, AttemptEnd::Ok), 1100);
    QVERIFY(!store->workLeft("whole", ranged.range));
    QVERIFY(store->workLeft("whole", std::nullopt));
    const auto status = store->status("whole");
    QCOMPARE(status->stations.at(0).station, std::string("s"));
    QCOMPARE(status->stations.at(0).lastSeen, int64_t{1100});
  }

  // A renewal notes the phases of its own units in flight, as of its time; a unit it does not
  // name keeps its phase, another station's units are not touched, and a new claim starts with
  // no phase.
  void renewalNotesPhasesOfItsUnits() {
    const std::string db = NewDb();
    auto a = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    auto b = std::make_unique<SqlRolloutStore>(uvq::store::OpenOwnDatabase(db));
    QVERIFY(a->create(Definition("phases", {3})));
    QCOMPARE(Positions(a->claim("phases", Ask("A", "ta", 2, 1000))), (std::vector{0, 1}));
    QCOMPARE(Positions(b->claim("phases", Ask("B", "tb", 1, 1000))), std::vector{2});
    const auto renewed =
        a->renewWithPhases("phases", {"A", "ta"}, 1500, 60000,
                           {{0, "program", 812, 2049, 1400}, {1, "search", 0, 0, 900}});
    QCOMPARE(renewed.held, (std::vector{0, 1}));
    // B names A's unit: nothing of A's changes.
    QCOMPARE(
        b->renewWithPhases("phases", {"B", "tb"}, 1600, 60000, {{0, "verify", 0, 0, 1590}}).held,
        std::vector{2});
    a->renewWithPhases("phases", {"A", "ta"}, 1700, 60000, {{1, "capture", 0, 0, 1650}});
    const auto running = a->status("phases")->running;
    QCOMPARE(running.size(), size_t{3});
    QCOMPARE(running[0].phase, std::string("program"));
    QCOMPARE(running[0].phaseDone, int64_t{812});
    QCOMPARE(running[0].phaseTotal, int64_t{2049});
    QCOMPARE(running[0].phaseStarted.value_or(0), int64_t{1400});
    QCOMPARE(running[0].phaseAt.value_or(0), int64_t{1700});
    QCOMPARE(running[1].phase, std::string("capture"));
    QCOMPARE(running[1].phaseStarted.value_or(0), int64_t{1650});
    QCOMPARE(running[2].phase, std::string());  // B's renewal named none of its own
    QCOMPARE(running[2].phaseAt.value_or(0), int64_t{1600});
    // Put back and claimed again: the old attempt's phase is gone.
    a->end("phases", {"A", "ta"}, Result(0, AttemptEnd::Interrupted), 1800);
    QCOMPARE(Positions(b->claim("phases", Ask("B", "tb", 1, 1900))), std::vector{0});
    const RolloutUnit again = a->units("phases", 0, 1).at(0);
    QCOMPARE(again.station, std::string("B"));
    QVERIFY(again.phase.empty() && !again.phaseAt && !again.phaseStarted);
  }

  // A server restarted between two calls costs no call: the connection is made again.
  void restartedServerIsConnectedAgain() {
    QFETCH_GLOBAL(QString, kind);
    if (kind != "postgres") QSKIP("a server's case");
    PgServer server;  // its own: the shared one is not stopped
    QVERIFY2(server.available(), server.problem().c_str());
    auto store = OpenRolloutStore(server.url());
    QVERIFY(store->create(Definition("restart", {2})));
    QCOMPARE(store->claim("restart", Ask("s", "t", 1, 1000)).size(), size_t{1});
    QVERIFY(server.stop());
    QVERIFY(server.start());
    QCOMPARE(store->end("restart", {"s", "t"}, Result(0, AttemptEnd::Ok), 1100).progress,
             UnitProgress::Ok);
    QCOMPARE(store->claim("restart", Ask("s", "t", 1, 1200)).size(), size_t{1});
  }

  // A rollout under way in a file of the version before the groups' counts keeps its counts,
  // and its ends go on from them.
  void rolloutUnderWayIsUpgraded() {
    QFETCH_GLOBAL(QString, kind);
    if (kind != "sqlite") QSKIP("the same steps run on PostgreSQL; the file case is SQLite's");
    const std::string path = NewDb();
    {
      sqlite3* raw = nullptr;
      QCOMPARE(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
      std::string sql;
      for (int step = 1; step <= 3; ++step)
        for (const auto& statement : SchemaStep(step, Dialect::Sqlite)) sql += statement + ";";
      sql +=
          "INSERT INTO rollouts(id, name, created_at, image_path, image_sha256, image, "
          "image_bytes, success_threshold, error_threshold, retries, state) VALUES "
          "(1, 'old', 1000, '/img/a.cry', 'x', x'0100', 2, 50, 90, 0, 'running');"
          "INSERT INTO rollout_units(rollout, position, rollout_group, target, address, "
          "progress, holder_token, lease_until) VALUES "
          "(1, 0, 0, 'a', 1, 'ok', '', NULL), (1, 1, 0, 'b', 2, 'failed', '', NULL), "
          "(1, 2, 0, 'c', 3, 'running', 't', 99999), (1, 3, 1, 'd', 4, 'pending', '', NULL), "
          "(1, 4, 1, 'e', 5, 'pending', '', NULL);"
          "PRAGMA application_id = 1431720264; PRAGMA user_version = 3;";
      QCOMPARE(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(raw);
    }
    auto store = OpenRolloutStore(path);
    QCOMPARE(CountedByStatus(*store, "old"), (std::vector<std::string>{"3:0/1/1/1", "2:2/0/0/0"}));
    QCOMPARE(store->list().at(0).groups.at(1).pending, 2);
    // The last unit of group 1 fails: 1 of 3 succeeded, under the success threshold of 50 %.
    const auto verdict = store->end("old", {"s", "t"}, Result(2, AttemptEnd::UnitError), 2000);
    QCOMPARE(verdict.state, RolloutState::Stopped);
    QCOMPARE(verdict.stopReason,
             std::string("group 1 stopped the rollout: 1 of 3 units succeeded (33 %), success "
                         "threshold 50 %"));
    QCOMPARE(CountedByStatus(*store, "old"), CountedFromUnits(*store, "old"));
    // Retrying the failed units takes them off the counts as well.
    QCOMPARE(store->act("old", RolloutAction::RetryFailed, 2100).unitsReset, 2);
    QCOMPARE(CountedByStatus(*store, "old"), (std::vector<std::string>{"3:2/0/1/0", "2:2/0/0/0"}));
    QCOMPARE(Positions(store->claim("old", Ask("s", "t", 5, 2200))), (std::vector{1, 2}));
  }

  // A file of the previous version gains the rollouts in place, its rows kept.
  void previousVersionIsUpgraded() {
    QFETCH_GLOBAL(QString, kind);
    if (kind != "sqlite") QSKIP("the same steps run on PostgreSQL; the file case is SQLite's");
    const std::string path = NewDb();
    {
      sqlite3* raw = nullptr;
      QCOMPARE(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
      std::string sql;
      for (int step = 1; step <= 2; ++step)
        for (const auto& statement : SchemaStep(step, Dialect::Sqlite)) sql += statement + ";";
      sql +=
          "INSERT INTO operations(row_key, started_at, unit_id, operation, detail) VALUES "
          "('k1', 1000, '0100', 'reset', 'kept');"
          "PRAGMA application_id = 1431720264; PRAGMA user_version = 2;";
      QCOMPARE(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(raw);
    }
    auto store = OpenRolloutStore(path);
    QVERIFY(store->create(Definition("after", {1})));
    QCOMPARE(uvq::history::OpenHistoryStore(path)->query({}).at(0).detail, std::string("kept"));
    QCOMPARE(OpenRolloutStore("sqlite://" + path)->list().size(), size_t{1});
    QVERIFY(store->claim("after", Ask("s", "t", 1, 1000)).size() == 1);
    QCOMPARE(store->end("after", {"s", "t"}, Result(0, AttemptEnd::Ok), 1100).state,
             RolloutState::Done);
    try {
      OpenRolloutStore("mysql://x");
      QFAIL("an unknown kind of database was accepted");
    } catch (const StoreError& error) {
      QCOMPARE(error.kind(), StoreErrorKind::Setting);
    }
  }
};

QTEST_GUILESS_MAIN(RolloutStoreTest)
#include "RolloutStoreTest.moc"
