// SPDX-License-Identifier: Apache-2.0
// A rollout's alerts against a local HTTP receiver (on its own 127.0.73.x address) that counts
// what it is sent: one POST per event with its fields, bounded retries, a sender that never
// holds up its caller, and the watch that hands the store's events over until its last look.
#include <httplib.h>

#include <QtTest>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "FakeRolloutStore.h"
#include "HookReceiver.h"
#include "alerts/AlertSender.h"
#include "alerts/RolloutWatch.h"

using uvq::alerts::AlertLimits;
using uvq::alerts::AlertSender;
using uvq::rollouts::RolloutEvent;

namespace {

RolloutEvent Event(const std::string& url, const std::string& state = "stopped") {
  return {"line-3", url, state, "group 2 stopped the rollout", 1'796'601'600'000};
}

// Quick pauses: the tests wait for conditions, never for the pauses.
constexpr AlertLimits kQuick{3, 2000, 1};

}  // namespace

class AlertsTest : public QObject {
  Q_OBJECT

 private slots:
  // One event, one POST, its fields as the receiver reads them.
  void anEventIsPostedOnceWithItsFields() {
    HookReceiver receiver("127.0.73.1");
    QVERIFY(receiver.ready());
    AlertSender sender(kQuick);
    sender.send(Event(receiver.url()));
    QVERIFY(sender.drain(30000));
    QCOMPARE(receiver.count(), size_t{1});
    const auto body = nlohmann::json::parse(receiver.body(0));
    QCOMPARE(body["rollout"].get<std::string>(), std::string("line-3"));
    QCOMPARE(body["state"].get<std::string>(), std::string("stopped"));
    QCOMPARE(body["reason"].get<std::string>(), std::string("group 2 stopped the rollout"));
    QCOMPARE(body["at"].get<std::string>(), std::string("2026-12-07T00:00:00.000Z"));
    QCOMPARE(body.size(), size_t{4});
  }

  // A refusal is tried again until taken, at most `attempts` times; then given up and said.
  void retriesAreBounded() {
    HookReceiver flaky("127.0.73.2", {503, 200});
    QVERIFY(flaky.ready());
    std::vector<std::string> problems;
    std::mutex problemsMutex;
    AlertSender sender(kQuick, [&](const std::string& problem) {
      std::lock_guard lock(problemsMutex);
      problems.push_back(problem);
    });
    sender.send(Event(flaky.url()));
    QVERIFY(sender.drain(30000));
    QCOMPARE(flaky.count(), size_t{2});

    HookReceiver broken("127.0.73.3", {500});
    QVERIFY(broken.ready());
    sender.send(Event(broken.url(), "done"));
    QVERIFY(sender.drain(30000));
    QCOMPARE(broken.count(), size_t{3});
    std::lock_guard lock(problemsMutex);
    QCOMPARE(problems.size(), size_t{1});
    QVERIFY2(problems[0].find("done alert of rollout 'line-3'") != std::string::npos,
             problems[0].c_str());
    QVERIFY(!uvq::alerts::ParseHttpUrl("https://127.0.73.3/hook"));
    QVERIFY(!uvq::alerts::ParseHttpUrl("http://user@127.0.73.3/hook"));
    QVERIFY(!uvq::alerts::ParseHttpUrl("http://127.0.73.3:99999/"));
    QCOMPARE(uvq::alerts::ParseHttpUrl("http://127.0.73.3:8080")->path, std::string("/"));
  }

  // A notify URL is refused at create unless the sender can use it: a URL that passed there
  // and then could never be told to would fail silently for the rollout's whole life.
  void aNotifyUrlIsRefusedUnlessItCanBeUsed_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("problem");  // empty: usable
    QTest::newRow("plain") << "http://127.0.73.9/hook"
                           << "";
    QTest::newRow("port and query") << "http://127.0.73.9:8080/hook?line=3"
                                    << "";
    QTest::newRow("query right after the host") << "http://127.0.73.9?line=3"
                                                << "";
    QTest::newRow("https") << "https://127.0.73.9/"
                           << "takes an http:// URL";
    QTest::newRow("no host") << "http:///hook"
                             << "needs a host";
    QTest::newRow("user name") << "http://me@127.0.73.9/"
                               << "needs a host";
    QTest::newRow("blank") << "http://127.0.73.9/a b"
                           << "holds a blank";
    QTest::newRow("port too big") << "http://127.0.73.9:99999/"
                                  << "needs a port";
    QTest::newRow("port missing") << "http://127.0.73.9:/"
                                  << "needs a port";
  }
  void aNotifyUrlIsRefusedUnlessItCanBeUsed() {
    QFETCH(QString, url);
    QFETCH(QString, problem);
    const auto said = uvq::alerts::NotifyUrlProblem(url.toStdString());
    QCOMPARE(said.has_value(), !problem.isEmpty());
    if (said) QVERIFY2(said->starts_with(problem.toStdString()), said->c_str());
    // What create accepts, the sender can post to, at the host as given.
    if (!said)
      QCOMPARE(uvq::alerts::ParseHttpUrl(url.toStdString())->host, std::string("127.0.73.9"));
  }

  // The query goes with the path; a fragment is never sent.
  void theQueryIsSentAndTheFragmentIsNot() {
    QCOMPARE(uvq::alerts::ParseHttpUrl("http://127.0.73.9?a=1")->path, std::string("/?a=1"));
    QCOMPARE(uvq::alerts::ParseHttpUrl("http://127.0.73.9/h?a=1#top")->path, std::string("/h?a=1"));
    QCOMPARE(uvq::alerts::ParseHttpUrl("http://127.0.73.9#top")->path, std::string("/"));
  }

  // A receiver that holds its answer holds only the sender's thread: send() returns at once.
  void aSlowReceiverHoldsNobody() {
    HookReceiver slow("127.0.73.4");
    QVERIFY(slow.ready());
    slow.hold();
    AlertSender sender(kQuick);
    sender.send(Event(slow.url()));
    QVERIFY(slow.waitInside());
    sender.send(Event(slow.url(), "done"));  // returns while the first is held
    QCOMPARE(slow.inside(), 1);
    QVERIFY(!sender.drain(0));
    slow.release();
    QVERIFY(sender.drain(30000));
    QCOMPARE(slow.count(), size_t{2});
  }

  // The watch looks every period and once more when stopped: an event the store had by then
  // (the rollout's end) is told too.
  void theWatchTellsWhatTheStoreHands() {
    HookReceiver receiver("127.0.73.5");
    QVERIFY(receiver.ready());
    AlertSender sender(kQuick);
    uvq::test::FakeRolloutStore store;
    const auto looks = [&] {
      std::lock_guard lock(store.eventsMutex);
      return store.eventLooks;
    };
    {
      uvq::alerts::RolloutWatch watch(store, "line-3", "bench-1", 5, 60000, sender,
                                      [] { return uvq::rollouts::UtcMillis{1000}; });
      QVERIFY(QTest::qWaitFor([&] { return looks() >= 2; }, 30000));
      {
        std::lock_guard lock(store.eventsMutex);
        store.eventsToClaim.push_back(Event(receiver.url(), "station_silent"));
      }
      QVERIFY(QTest::qWaitFor([&] { return receiver.count() == 1; }, 30000));
    }
    uvq::alerts::RolloutWatch last(store, "line-3", "bench-1", 3'600'000, 60000, sender,
                                   [] { return uvq::rollouts::UtcMillis{2000}; });
    {
      std::lock_guard lock(store.eventsMutex);
      store.eventsToClaim.push_back(Event(receiver.url(), "done"));
    }
    last.stop();
    QVERIFY(sender.drain(30000));
    QCOMPARE(receiver.count(), size_t{2});
    QVERIFY(receiver.body(1).find("\"done\"") != std::string::npos);
  }
};

QTEST_GUILESS_MAIN(AlertsTest)
#include "AlertsTest.moc"
