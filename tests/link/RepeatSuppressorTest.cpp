// SPDX-License-Identifier: Apache-2.0
#include <QTest>
#include <string>
#include <vector>

#include "link/RepeatSuppressor.h"

using uvq::link::RepeatSuppressor;
using namespace std::chrono_literals;

class RepeatSuppressorTest : public QObject {
  Q_OBJECT

  std::vector<std::string> logged_;
  RepeatSuppressor::Sink sink_ = [this](const std::string& line) { logged_.push_back(line); };
  const RepeatSuppressor::Clock::time_point t0_ = RepeatSuppressor::Clock::now();

 private slots:
  void init() { logged_.clear(); }

  void identicalLinesWithinWindowAreCountedAndReportedBeforeTheNextLine() {
    RepeatSuppressor suppressor(1000ms);
    for (int i = 0; i < 5; ++i) suppressor.offer("socket down", t0_ + i * 10ms, sink_);
    QCOMPARE(logged_, std::vector<std::string>{"socket down"});
    QCOMPARE(suppressor.suppressed(), size_t{4});

    suppressor.offer("other problem", t0_ + 100ms, sink_);
    QCOMPARE(logged_,
             (std::vector<std::string>{
                 "socket down", "(the previous message repeated 4 more times)", "other problem"}));
    QCOMPARE(suppressor.suppressed(), size_t{0});
  }

  void sameLineGetsThroughAgainOnceTheWindowHasPassed() {
    RepeatSuppressor suppressor(1000ms);
    suppressor.offer("socket down", t0_, sink_);
    suppressor.offer("socket down", t0_ + 500ms, sink_);
    suppressor.offer("socket down", t0_ + 1000ms, sink_);
    QCOMPARE(logged_,
             (std::vector<std::string>{"socket down", "(the previous message repeated 1 more time)",
                                       "socket down"}));
  }

  void flushReportsThePendingCountOnlyAfterTheWindow() {
    RepeatSuppressor suppressor(1000ms);
    suppressor.flush(t0_ + 5000ms, sink_);
    QVERIFY(logged_.empty());

    suppressor.offer("bad datagram", t0_, sink_);
    suppressor.offer("bad datagram", t0_ + 1ms, sink_);
    suppressor.offer("bad datagram", t0_ + 2ms, sink_);
    suppressor.flush(t0_ + 999ms, sink_);
    QCOMPARE(logged_.size(), size_t{1});
    suppressor.flush(t0_ + 1000ms, sink_);
    suppressor.flush(t0_ + 2000ms, sink_);
    QCOMPARE(logged_, (std::vector<std::string>{"bad datagram",
                                                "(the previous message repeated 2 more times)"}));
  }
};

QTEST_GUILESS_MAIN(RepeatSuppressorTest)
#include "RepeatSuppressorTest.moc"
