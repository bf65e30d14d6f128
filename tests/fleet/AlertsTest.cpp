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
#include "alerts/AlertSender.h"
#include "alerts/RolloutWatch.h"

using uvq::alerts::AlertLimits;
using uvq::alerts::AlertSender;
using uvq::rollouts::RolloutEvent;

namespace {

// Answers POST /hook with the status the test chose for each attempt (the last one again after
// the list), keeping every body; held() makes it wait inside the handler until released.
class Receiver {
 public:
  explicit Receiver(const std::string& address, std::vector<int> statuses = {200})
      : address_(address), statuses_(std::move(statuses)) {
    server_.Post("/hook", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      bodies_.push_back(request.body);
      ++inside_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !hold_; });
      --inside_;
      const size_t n = bodies_.size() - 1;
      response.status = statuses_[std::min(n, statuses_.size() - 1)];
    });
    port_ = server_.bind_to_any_port(address_);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Receiver() {
    release();
    server_.stop();
    thread_.join();
  }
  bool ready() {
    return port_ > 0 && QTest::qWaitFor([this] { return server_.is_running(); }, 10000);
  }
  std::string url() const { return "http://" + address_ + ":" + std::to_string(port_) + "/hook"; }
  size_t count() {
    std::lock_guard lock(mutex_);
    return bodies_.size();
  }
  std::string body(size_t i) {
    std::lock_guard lock(mutex_);
    return bodies_.at(i);
  }
  void hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      hold_ = false;
    }
    changed_.notify_all();
  }
  // Until a request is inside the handler, held there.
  bool waitInside() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return inside_ > 0; });
  }
  int inside() {
    std::lock_guard lock(mutex_);
    return inside_;
  }

 private:
  std::string address_;
  std::vector<int> statuses_;
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> bodies_;
  bool hold_ = false;
  int inside_ = 0;
};

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
    Receiver receiver("127.0.73.1");
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
    Receiver flaky("127.0.73.2", {503, 200});
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

    Receiver broken("127.0.73.3", {500});
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

  // A receiver that holds its answer holds only the sender's thread: send() returns at once.
  void aSlowReceiverHoldsNobody() {
    Receiver slow("127.0.73.4");
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
    Receiver receiver("127.0.73.5");
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
