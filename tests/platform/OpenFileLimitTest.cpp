// SPDX-License-Identifier: Apache-2.0
// How many units fit under an open-file limit: all that were asked, what is left beside the
// descriptors kept for the rest, and never none.
#include <QTest>

#include "platform/OpenFileLimit.h"

using uvq::platform::ParallelInLimit;
using uvq::platform::ParallelUnderLimit;

class OpenFileLimitTest : public QObject {
  Q_OBJECT

 private slots:
  void unitsUnderTheLimit_data() {
    QTest::addColumn<int>("wanted");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("expected");
    QTest::newRow("room for all") << 32 << 1024 << 32;
    QTest::newRow("exactly room for all") << 32 << 96 << 32;
    QTest::newRow("one short") << 32 << 95 << 31;
    QTest::newRow("what is left beside the others") << 1024 << 256 << 192;
    QTest::newRow("nothing left: still one") << 32 << 64 << 1;
    QTest::newRow("limit unknown: one") << 32 << 0 << 1;
    QTest::newRow("none wanted: one") << 0 << 1024 << 1;
  }
  void unitsUnderTheLimit() {
    QFETCH(int, wanted);
    QFETCH(int, limit);
    QFETCH(int, expected);
    const ParallelInLimit got = ParallelUnderLimit(size_t(wanted), size_t(limit), 64);
    QCOMPARE(got.parallel, size_t(expected));
    // Said exactly when fewer than asked, with both figures.
    QCOMPARE(got.note.empty(), expected >= wanted);
    if (expected < wanted) {
      QVERIFY(got.note.find(std::to_string(limit)) != std::string::npos);
      QVERIFY(got.note.find(std::to_string(expected) + " units at once instead of " +
                            std::to_string(wanted)) != std::string::npos);
    }
  }
};

QTEST_APPLESS_MAIN(OpenFileLimitTest)
#include "OpenFileLimitTest.moc"
