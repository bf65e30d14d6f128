// SPDX-License-Identifier: Apache-2.0
// A person's action on a rollout, from the front end's word to the store's answer, on a store
// in memory that keeps what it was asked.
#include <QTest>

#include <arpa/inet.h>

#include "FakeRolloutStore.h"
#include "fleet/RolloutActions.h"

using namespace uvq;
using namespace uvq::fleet;
using rollouts::RolloutAction;

class RolloutActionsTest : public QObject {
  Q_OBJECT

 private slots:
  // Each action's word; resume with its failures accepted is an action of its own; words of
  // other commands name none.
  void wordsNameTheirActions() {
    QCOMPARE(RolloutActionOf("pause"), RolloutAction::Pause);
    QCOMPARE(RolloutActionOf("resume"), RolloutAction::Resume);
    QCOMPARE(RolloutActionOf("resume", true), RolloutAction::AcceptFailures);
    QCOMPARE(RolloutActionOf("cancel"), RolloutAction::Cancel);
    QCOMPARE(RolloutActionOf("approve"), RolloutAction::Approve);
    QCOMPARE(RolloutActionOf("skip"), RolloutAction::Skip);
    QCOMPARE(RolloutActionOf("retry"), RolloutAction::RetryFailed);
    for (const char* other : {"run", "create", "status", "", "Pause"})
      QVERIFY(!RolloutActionOf(other));
    QCOMPARE(ActorOf("ann").name, std::string("ann"));
    QVERIFY(!ActorOf("").name.empty());  // the OS user
  }

  // A skip reaches the store with its address in host order and the target as given, under the
  // order's actor; a skip without one unit's address never reaches it. The store's "no such
  // rollout" and "not now" come back typed, in words.
  void anActionReachesTheStoreOrIsRefusedTyped() {
    using Refusal = RolloutActionDone::Refusal;
    test::FakeRolloutStore store;
    store.actAnswer = {true, true, "", rollouts::RolloutState::Running, 2, 0};
    RolloutActionOrder skip{"line-3", RolloutAction::Skip, "127.0.79.20", {"ann", "bench"}};
    const RolloutActionDone done = ActOnRollout(store, skip);
    QCOMPARE(done.refusal, Refusal::None);
    QCOMPARE(done.result.unitsReset, 2);
    QCOMPARE(store.acted.size(), size_t{1});
    QCOMPARE(store.calls.back(), std::string("act line-3"));
    QCOMPARE(store.acted[0].address, uint32_t{0x7F004F14});
    QCOMPARE(store.acted[0].target, std::string("127.0.79.20"));
    QCOMPARE(store.acted[0].actor.name, std::string("ann"));
    QVERIFY(store.acted[0].now > 0);

    skip.skipTarget = "127.0.79";
    QCOMPARE(ActOnRollout(store, skip).refusal, Refusal::BadTarget);
    QCOMPARE(store.acted.size(), size_t{1});

    store.actAnswer = {};
    const RolloutActionDone missing = ActOnRollout(store, {"gone", RolloutAction::Pause, {}, {}});
    QCOMPARE(missing.refusal, Refusal::NoSuchRollout);
    QVERIFY(missing.problem.find("'gone'") != std::string::npos);

    store.actAnswer = {true, false, "it is done", rollouts::RolloutState::Done, 0, 0};
    const RolloutActionDone late = ActOnRollout(store, {"line-3", RolloutAction::Cancel, {}, {}});
    QCOMPARE(late.refusal, Refusal::NotNow);
    QCOMPARE(late.problem, std::string("'line-3': it is done"));
  }
};

QTEST_APPLESS_MAIN(RolloutActionsTest)
#include "RolloutActionsTest.moc"
