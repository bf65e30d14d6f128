// SPDX-License-Identifier: Apache-2.0
#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "link/ReceiveBuffer.h"
#include "link/ReceiveError.h"
#include "link/UdpLink.h"
#include "window/TCRecvThread.h"

using uvq::link::DatagramSource;
using uvq::link::ReceiveError;
using uvq::link::ReceiveFailure;
using uvq::link::UdpLink;
using uvq::window::TCRecvThread;
using namespace std::chrono_literals;

namespace {

// What reached the context's thread, and on which thread it ran.
struct Received {
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<std::optional<uvq::protocol::Ipv4Bytes>> senders;
  std::vector<std::string> log;
  std::vector<QThread*> threads;

  TCRecvThread::Deliver deliver() {
    return [this](std::span<const uint8_t> bytes, std::optional<uvq::protocol::Ipv4Bytes> sender) {
      threads.push_back(QThread::currentThread());
      datagrams.emplace_back(bytes.begin(), bytes.end());
      senders.push_back(sender);
    };
  }
  TCRecvThread::Report report() {
    return [this](const std::string& line) {
      threads.push_back(QThread::currentThread());
      log.push_back(line);
    };
  }
  size_t countLog(const std::string& line) const {
    return static_cast<size_t>(std::count(log.begin(), log.end(), line));
  }
  // Logged copies of `line` plus the repeats the suppressor counted instead.
  size_t occurrences(const std::string& line) const {
    size_t total = 0;
    bool afterLine = false;
    for (const std::string& entry : log) {
      if (entry == line) {
        ++total;
        afterLine = true;
      } else if (afterLine && entry.starts_with("(the previous message repeated ")) {
        total += std::stoul(entry.substr(31));
      } else if (entry.ends_with(" more bad datagrams set aside in the last second")) {
        total += std::stoul(entry);  // counted beyond the few lines a second
      } else {
        afterLine = false;
      }
    }
    return total;
  }
};

// A source whose reads fail like a socket that keeps reporting an error, until healed.
class FailingSource : public DatagramSource {
 public:
  std::atomic<int> calls{0};
  std::atomic<bool> healed{false};

  int receiveDatagram(uint8_t* buffer, int, int) override {
    ++calls;
    if (!healed.load())
      throw ReceiveError(ReceiveFailure::SocketError, "Socket Error # 111\nConnection refused");
    if (!deliveredOnce_.exchange(true)) {
      buffer[0] = 0x5A;
      return 1;
    }
    std::this_thread::sleep_for(10ms);
    return 0;
  }

 private:
  std::atomic<bool> deliveredOnce_{false};
};

// Passes reads through and tells the test when a datagram has been read.
class CountingSource : public DatagramSource {
 public:
  explicit CountingSource(DatagramSource& inner) : inner_(inner) {}
  std::atomic<int> datagramsRead{0};
  int receiveDatagram(uint8_t* buffer, int capacity, int timeoutMs) override {
    const int count = inner_.receiveDatagram(buffer, capacity, timeoutMs);
    if (count > 0) ++datagramsRead;
    return count;
  }

 private:
  DatagramSource& inner_;
};

// Turns a deadlock into a prompt failure instead of a hang until the suite's time limit.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, limit, [this] { return cancelled_; })) {
            std::fputs("Watchdog: stopAndWait did not return\n", stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    done_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool cancelled_ = false;
  std::thread thread_;
};

// How many copies of one repeated line may be logged in `elapsedMs`: the first, and one more
// per repeat window begun since. Bounds taken from the time a run really took hold on a slow
// machine as on a fast one.
size_t LinesAllowed(qint64 elapsedMs, qint64 windowMs) {
  return 2 + static_cast<size_t>(elapsedMs / windowMs);
}

}  // namespace

// Every case's unit side sends from its own 127.0.30.N address.
class TCRecvThreadTest : public QObject {
  Q_OBJECT

  QObject context_;  // lives on the test's (main) thread, like the window's engine

 private slots:
  void datagramsArriveInOrderOnTheContextThread() {
    LoopbackPeer unit("127.0.30.1");
    UdpLink link;
    link.setReceiveTimeout(100);
    uvq::link::EnlargeReceiveBuffer(link.socketHandle(), 4 << 20);  // the burst below must fit
    Received received;
    TCRecvThread thread(link, &context_, received.deliver(), received.report());
    thread.start();

    // Long before short: only the bytes of each datagram may be handed over. More than one
    // hand-over's worth, so nothing is lost or reordered where one batch ends.
    std::vector<std::vector<uint8_t>> sent;
    for (int round = 0; round < 30; ++round)
      for (size_t size : {256, 24, 1, 7, 200, 24})
        sent.push_back(Pattern(size, uint8_t(size + round)));
    QVERIFY(sent.size() > 2 * TCRecvThread::kBatchSize);
    for (const auto& bytes : sent) unit.sendTo(link.localPort(), bytes);

    QTRY_COMPARE_WITH_TIMEOUT(received.datagrams.size(), sent.size(), 30000);
    QCOMPARE(received.datagrams, sent);
    // Each comes with its sender's address, for the window's rule during a run.
    const uvq::protocol::Ipv4Bytes unitAddress{127, 0, 30, 1};
    for (const auto& sender : received.senders) QCOMPARE(sender, std::optional(unitAddress));
    for (QThread* ranOn : received.threads) QCOMPARE(ranOn, QThread::currentThread());
    QVERIFY(received.log.empty());
    thread.stopAndWait();
    QVERIFY(thread.isFinished());
  }

  void badDatagramsAreReportedOnceEachAndReceptionGoesOn() {
    LoopbackPeer unit("127.0.30.2");
    UdpLink link;
    link.setReceiveTimeout(100);
    Received received;
    TCRecvThread thread(link, &context_, received.deliver(), received.report());
    thread.start();

    unit.sendTo(link.localPort(), {});
    unit.sendTo(link.localPort(), Pattern(300, 1));
    unit.sendTo(link.localPort(), Pattern(257, 2));
    unit.sendTo(link.localPort(), Pattern(24, 3));

    QTRY_COMPARE_WITH_TIMEOUT(received.datagrams.size(), size_t{1}, 30000);
    QCOMPARE(received.datagrams.front(), Pattern(24, 3));
    QCOMPARE(received.log, (std::vector<std::string>{
                               "Datagram dropped: UDP Receive Error = 0.",
                               "Datagram dropped: Message too long (300 bytes)",
                               "Datagram dropped: Message too long (257 bytes)",
                           }));
    for (QThread* ranOn : received.threads) QCOMPARE(ranOn, QThread::currentThread());
    thread.stopAndWait();
  }

  void failingReplyHandlerIsReportedAndReceptionGoesOn() {
    LoopbackPeer unit("127.0.30.3");
    UdpLink link;
    link.setReceiveTimeout(100);
    Received received;
    auto deliver = [&received](std::span<const uint8_t> bytes, auto) {
      if (bytes[0] == 0xEE) throw std::runtime_error("unknown unit");
      if (bytes[0] == 0xEF) throw 42;
      received.datagrams.emplace_back(bytes.begin(), bytes.end());
    };
    TCRecvThread thread(link, &context_, deliver, received.report());
    thread.start();

    unit.sendTo(link.localPort(), {0xEE, 1, 2});
    unit.sendTo(link.localPort(), {0xEF});
    unit.sendTo(link.localPort(), {0x01, 2, 3});

    QTRY_COMPARE_WITH_TIMEOUT(received.datagrams.size(), size_t{1}, 30000);
    QCOMPARE(received.datagrams.front(), (std::vector<uint8_t>{0x01, 2, 3}));
    QCOMPARE(received.log, (std::vector<std::string>{"Reply handling failed: unknown unit",
                                                     "Reply handling failed: unknown error"}));
    thread.stopAndWait();
  }

  void burstOfBadDatagramsIsCountedNotLogged() {
    LoopbackPeer unit("127.0.30.4");
    UdpLink link;
    link.setReceiveTimeout(50);
    Received received;
    TCRecvThread thread(link, &context_, received.deliver(), received.report(),
                        {.socketErrorBackOff = 20ms, .repeatWindow = 300ms});
    QElapsedTimer clock;
    clock.start();
    thread.start();

    constexpr size_t kBurst = 40;
    for (size_t i = 0; i < kBurst; ++i) unit.sendTo(link.localPort(), {});
    const std::string line = "Datagram dropped: UDP Receive Error = 0.";
    // Nothing is lost from the tally: the count is logged once the window has passed.
    QTRY_COMPARE_WITH_TIMEOUT(received.occurrences(line), kBurst, 30000);
    // One line, then at most one sum per 300 ms window however long a slow machine took.
    const size_t lines = received.countLog(line);
    QVERIFY2(lines <= LinesAllowed(clock.elapsed(), 300), qPrintable(QString::number(lines)));
    QVERIFY(received.log.size() <= 2 * LinesAllowed(clock.elapsed(), 300));

    unit.sendTo(link.localPort(), Pattern(24, 5));
    QTRY_COMPARE_WITH_TIMEOUT(received.datagrams.size(), size_t{1}, 30000);
    thread.stopAndWait();
  }

  void repeatingSocketErrorNeitherSpinsNorFloodsNorEndsReception() {
    // What a refused port (an ICMP error surfacing on the next read) looks like to the thread.
    FailingSource source;
    Received received;
    TCRecvThread thread(source, &context_, received.deliver(), received.report(),
                        {.socketErrorBackOff = 20ms, .repeatWindow = 300ms});
    QElapsedTimer clock;
    clock.start();
    thread.start();
    const std::string line =
        "Receive failed, still listening: Socket Error # 111: Connection refused";
    QTRY_VERIFY_WITH_TIMEOUT(source.calls.load() >= 10 && !received.log.empty(), 30000);

    // No spinning: each failed read is followed by its 20 ms back-off, so the reads so far took
    // at least that long however fast the machine.
    const int calls = source.calls.load();
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= (calls - 1) * 20,
             qPrintable(QStringLiteral("%1 reads in %2 ms").arg(calls).arg(elapsed)));
    // No flood: the line once, then at most one sum per 300 ms window.
    QCOMPARE(received.log.front(), line);
    const size_t lines = received.countLog(line);
    QVERIFY2(lines <= LinesAllowed(clock.elapsed(), 300), qPrintable(QString::number(lines)));
    QVERIFY(received.log.size() <= 2 * LinesAllowed(clock.elapsed(), 300));

    source.healed = true;
    QTRY_COMPARE_WITH_TIMEOUT(received.datagrams.size(), size_t{1}, 30000);
    QCOMPARE(received.datagrams.front(), std::vector<uint8_t>{0x5A});
    thread.stopAndWait();
  }

  void stopAndWaitWithoutTrafficEndsWithinTheReceiveTimeOut() {
    UdpLink link;  // default receive time-out
    Received received;
    TCRecvThread thread(link, &context_, received.deliver(), received.report());
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(thread.isRunning(), 30000);
    QElapsedTimer clock;
    clock.start();
    thread.stopAndWait();
    QVERIFY(thread.isFinished());
    // The stop is seen after the current wait, one receive time-out (1 s); the bound tells a
    // thread that never looks from a slow machine.
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
  }

  void stopAndWaitCompletesAHandOverAlreadyQueued() {
    LoopbackPeer unit("127.0.30.5");
    UdpLink link;
    link.setReceiveTimeout(100);
    CountingSource source(link);
    bool stopping = false;
    bool deliveredWhileStopping = false;
    auto deliver = [&](std::span<const uint8_t>, auto) { deliveredWhileStopping = stopping; };
    TCRecvThread thread(source, &context_, deliver, [](const std::string&) {});
    thread.start();

    unit.sendTo(link.localPort(), Pattern(24, 6));
    // This thread processes no events here, so the hand-over stays queued behind it.
    QElapsedTimer clock;
    clock.start();
    while (source.datagramsRead.load() == 0 && clock.elapsed() < 5000)
      std::this_thread::sleep_for(5ms);
    QCOMPARE(source.datagramsRead.load(), 1);
    std::this_thread::sleep_for(50ms);

    stopping = true;
    clock.restart();
    {
      Watchdog watchdog(10s);
      thread.stopAndWait();
    }
    QVERIFY(thread.isFinished());
    QVERIFY(deliveredWhileStopping);
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
  }

  // Quitting the application closes the window from inside a posted event; a hand-over queued
  // behind that event must still complete, or the stop waits for it for ever.
  void stopAndWaitFromInsideAPostedEventCompletesAQueuedHandOver() {
    LoopbackPeer unit("127.0.30.6");
    UdpLink link;
    link.setReceiveTimeout(100);
    CountingSource source(link);
    bool stopping = false;
    bool deliveredWhileStopping = false;
    bool stopped = false;
    auto deliver = [&](std::span<const uint8_t>, auto) { deliveredWhileStopping = stopping; };
    TCRecvThread thread(source, &context_, deliver, [](const std::string&) {});
    thread.start();

    QMetaObject::invokeMethod(
        &context_,
        [&] {
          unit.sendTo(link.localPort(), Pattern(24, 7));
          QElapsedTimer clock;
          clock.start();
          while (source.datagramsRead.load() == 0 && clock.elapsed() < 5000)
            std::this_thread::sleep_for(5ms);
          std::this_thread::sleep_for(50ms);  // the hand-over is now queued behind this event
          stopping = true;
          Watchdog watchdog(10s);
          thread.stopAndWait();
          stopped = true;
        },
        Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(stopped, 15000);
    QCOMPARE(source.datagramsRead.load(), 1);
    QVERIFY(thread.isFinished());
    QVERIFY(deliveredWhileStopping);
  }
};

QTEST_GUILESS_MAIN(TCRecvThreadTest)
#include "TCRecvThreadTest.moc"
