// SPDX-License-Identifier: Apache-2.0
// Faults during a programming run. Each must end without a crash or a hang, with reception
// still going on, and with either the unit's memory equal to the source or the failure in the
// log and the file closed. Addresses 127.0.7.20 - 127.0.7.29, a forger on 127.0.7.66.

#include <sys/stat.h>

#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include "E2eSupport.h"
#include "link/UdpLink.h"

using namespace uvq::e2e;

namespace {

const QString kCompletedCaption = QStringLiteral("Ethernet Loader - Programing Completed");
constexpr int kRecordSize = 24;

// A run's set-up: a random binary, its image and a unit checking what arrives.
struct Bench {
  QTemporaryDir dir;
  QByteArray binary;
  QString image;
  QString expected() const { return dir.filePath(QStringLiteral("image.bin")); }
  bool make(int size, quint32 seed) {
    binary = RandomBinary(size, seed);
    image = MakeImage(dir, QStringLiteral("image"), binary);
    return !image.isEmpty();
  }
};

}  // namespace

class E2eFaultTest : public QObject {
  Q_OBJECT

 private slots:
  void lossyReorderingWireStillDeliversALargeImage();
  void garbageFloodToTheLoaderDuringARun();
  void unitVanishingMidRunFailsAfterTheResends();
  void fileDeletedMidRunStillArrivesIntact();
  void fileChangedMidRunStillArrivesIntact_data();
  void fileChangedMidRunStillArrivesIntact();
  void imagesThatAreNoFilesAreRefusedWithoutWaiting();
  void forgedAcknowledgementsFromAnotherAddressCannotCompleteARun();
};

void E2eFaultTest::lossyReorderingWireStillDeliversALargeImage() {
  Bench bench;
  QVERIFY(bench.make(64 * 1024, 64));
  Sim sim(QStringLiteral("127.0.7.20"));
  QVERIFY(
      sim.start({QStringLiteral("--expect"), bench.expected(), QStringLiteral("--drop"),
                 QStringLiteral("0.1"), QStringLiteral("--duplicate"), QStringLiteral("0.1"),
                 QStringLiteral("--reorder"), QStringLiteral("0.1"), QStringLiteral("--jitter-ms"),
                 QStringLiteral("1"), QStringLiteral("--seed"), QStringLiteral("20")}));
  Loader loader(QStringLiteral("127.0.7.20"));
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  QVERIFY2(loader.program(120000, &sim), qPrintable(loader.logText()));
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n")), qPrintable(sim.output()));
  // A resent end record is checked again: every verdict must be OK.
  QCOMPARE(sim.count(QStringLiteral("IMAGE MISMATCH")), 0);
  QCOMPARE(loader.caption(), kCompletedCaption);
  QVERIFY(loader.logHas(QStringLiteral("Programming Complete")));
  QVERIFY(!loader.service().fileOpen());
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::garbageFloodToTheLoaderDuringARun() {
  Bench bench;
  QVERIFY(bench.make(8 * 1024, 21));
  Sim sim(QStringLiteral("127.0.7.21"));
  // Replies 2 ms late: the run lasts long enough for the flood to meet it.
  QVERIFY(sim.start({QStringLiteral("--quiet"), QStringLiteral("--delay-ms"), QStringLiteral("2"),
                     QStringLiteral("--expect"), bench.expected()}));
  Loader loader(QStringLiteral("127.0.7.21"));
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  // Another socket floods the loader's own port with every kind of bad datagram, 400 a second.
  QUdpSocket flooder;
  QVERIFY(flooder.bind(QHostAddress(QStringLiteral("127.0.7.21")), 0));
  const QHostAddress loaderAddress(QStringLiteral("127.0.7.21"));
  const quint16 loaderPort = loader.form().link().localPort();
  QRandomGenerator random(21);
  int sent = 0;
  QTimer flood;
  QObject::connect(&flood, &QTimer::timeout, [&] {
    const int randomSize = 19 + static_cast<int>(random.bounded(238));  // reply-sized noise
    for (int size : {300, 0, 10, randomSize}) {
      QByteArray bytes(size, '\0');
      for (char& b : bytes) b = static_cast<char>(random.bounded(256));
      if (flooder.writeDatagram(bytes, loaderAddress, loaderPort) == size) ++sent;
    }
  });
  flood.start(10);
  // The flood reaches the loader before the run starts, and goes on through it.
  QTRY_VERIFY_WITH_TIMEOUT(sent > 40, 30000);

  // No reply is lost here, so the watchdog is left to its own timer.
  const bool ended = loader.program(60000);
  const QStringList duringFlood = loader.log();
  flood.stop();
  QVERIFY2(loader.events.outcome == uvq::RunEnd::Complete,
           qPrintable(QStringLiteral("run ended after %1 of %2 records")
                          .arg(loader.events.lastProgress)
                          .arg(loader.events.records)));
  QVERIFY2(ended, qPrintable(loader.logText()));
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n")),
           qPrintable(duringFlood.join(QLatin1Char('|'))));
  QCOMPARE(loader.caption(), kCompletedCaption);
  QVERIFY(!loader.service().fileOpen());
  const QString problems = duringFlood.join(QLatin1Char('\n'));
  QVERIFY2(problems.contains(QStringLiteral("Short reply of 10 bytes set aside")) &&
               problems.contains(QStringLiteral("**ERROR Out of Sequence Control PDU Seq: ")),
           qPrintable(problems));

  // Reception goes on: the unit (reset into its application by the run) is captured again.
  QVERIFY2(loader.capture(), qPrintable(loader.logText()));
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::unitVanishingMidRunFailsAfterTheResends() {
  Bench bench;
  QVERIFY(bench.make(8 * 1024, 22));
  Loader loader(QStringLiteral("127.0.7.22"));
  auto sim = std::make_unique<Sim>(QStringLiteral("127.0.7.22"));
  // Replies come late enough that the run is still far from its end when the unit goes away
  // (an image read into memory is otherwise sent whole between two looks of the test).
  QVERIFY(sim->start({QStringLiteral("--delay-ms"), QStringLiteral("5")}));
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  loader.click("BProgram");
  QTRY_VERIFY_WITH_TIMEOUT(loader.service().pdus().counter() >= 100, 30000);
  // The unit goes away. It logs every PDU it answered before it ends, so its log names the last
  // record answered: once the window has taken that answer it has sent the next record, which
  // nobody will answer.
  const QStringList answered =
      sim->stop().split(QLatin1Char('\n')).filter(QStringLiteral(" cmd 4 "));
  QVERIFY(!answered.isEmpty());
  const QRegularExpressionMatch last =
      QRegularExpression(QStringLiteral(" seq (\\d+) cmd 4 ")).match(answered.last());
  QVERIFY2(last.hasMatch(), qPrintable(answered.last()));
  const auto unanswered = static_cast<uint16_t>(last.captured(1).toUInt() + 1);
  QTRY_VERIFY_WITH_TIMEOUT(loader.service().pdus().lastNumberSent() == unanswered, 30000);
  QVERIFY(loader.service().fileOpen());
  const uint16_t stuckAt = loader.service().pdus().counter();
  // Four resends of the unanswered record, then the fifth tick gives up. On a loaded machine the
  // watchdog's own timer may tick between the test's steps: the ticks are fired until the run
  // has given up, and the resends counted whoever ticked.
  for (int tick = 1; tick <= 5 && loader.service().fileOpen(); ++tick)
    QVERIFY2(loader.fireProgramWatchdog(), qPrintable(QString::number(tick)));
  QCOMPARE(loader.service().pdus().counter(), uint16_t(stuckAt + 4));
  QVERIFY2(loader.logHas(QStringLiteral("FAILED - Comms Timeout Error Programming UVQ")),
           qPrintable(loader.logText()));
  QVERIFY(!loader.service().fileOpen());
  QVERIFY(!loader.timer().isActive());
  QVERIFY(loader.caption() != kCompletedCaption);

  // A unit back on the same address is captured: reception went on.
  sim = std::make_unique<Sim>(QStringLiteral("127.0.7.22"));
  QVERIFY(sim->start({QStringLiteral("--quiet")}));
  QVERIFY2(loader.capture(), qPrintable(loader.logText()));
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::fileDeletedMidRunStillArrivesIntact() {
  Bench bench;
  QVERIFY(bench.make(8 * 1024, 23));
  Sim sim(QStringLiteral("127.0.7.23"));
  QVERIFY(sim.start({QStringLiteral("--quiet"), QStringLiteral("--expect"), bench.expected()}));
  Loader loader(QStringLiteral("127.0.7.23"));
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  bool removed = false;
  QVERIFY(loader.program(60000, nullptr, 100, [&] { removed = QFile::remove(bench.image); }));
  QVERIFY(removed);
  QVERIFY(!QFile::exists(bench.image));
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n")), qPrintable(sim.output()));
  QCOMPARE(loader.caption(), kCompletedCaption);
  QVERIFY(loader.logHas(QStringLiteral("Programming Complete")));
  QVERIFY(!loader.service().fileOpen());
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::fileChangedMidRunStillArrivesIntact_data() {
  QTest::addColumn<QString>("address");
  QTest::addColumn<int>("keptBytes");  // -1: overwritten in place with another image
  QTest::newRow("truncated at a record boundary")
      << QStringLiteral("127.0.7.24") << 200 * kRecordSize;
  QTest::newRow("truncated inside a record")
      << QStringLiteral("127.0.7.25") << 200 * kRecordSize + 10;
  QTest::newRow("overwritten in place") << QStringLiteral("127.0.7.28") << -1;
}

// The image is read whole when Program is clicked: what happens to the file afterwards
// neither mixes two images in the unit nor cuts the run short.
void E2eFaultTest::fileChangedMidRunStillArrivesIntact() {
  QFETCH(QString, address);
  QFETCH(int, keptBytes);
  Bench bench;
  QVERIFY(bench.make(8 * 1024, 24));  // 512 data records and the end record
  Bench other;
  QVERIFY(other.make(8 * 1024, 124));
  Sim sim(address);
  QVERIFY(sim.start({QStringLiteral("--quiet"), QStringLiteral("--expect"), bench.expected()}));
  Loader loader(address);
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  bool changed = false;
  auto change = [&] {
    if (keptBytes >= 0) {
      changed = QFile::resize(bench.image, keptBytes);
      return;
    }
    QFile source(other.image);
    QFile target(bench.image);
    if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::ReadWrite)) return;
    const QByteArray bytes = source.readAll();  // the same size: written over, not replaced
    changed = target.write(bytes) == bytes.size() && target.size() == bytes.size();
  };
  QVERIFY(loader.program(60000, nullptr, 100, change));
  QVERIFY(changed);
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n")), qPrintable(sim.output()));
  QCOMPARE(loader.caption(), kCompletedCaption);
  QVERIFY(loader.logHas(QStringLiteral("Programming Complete")));
  QVERIFY(!loader.service().fileOpen());
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::imagesThatAreNoFilesAreRefusedWithoutWaiting() {
  // A FIFO with no writer held the window in its open; a link to /dev/zero streamed zeros.
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString fifo = dir.filePath(QStringLiteral("fifo.cry"));
  QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const QString zeros = dir.filePath(QStringLiteral("zeros.cry"));
  QVERIFY(QFile::link(QStringLiteral("/dev/zero"), zeros));
  Sim sim(QStringLiteral("127.0.7.26"));
  QVERIFY(sim.start());
  Loader loader(QStringLiteral("127.0.7.26"));
  QVERIFY(loader.capture());
  for (const auto& [path, what] : {std::pair{fifo, QStringLiteral("a FIFO")},
                                   std::pair{zeros, QStringLiteral("a character device")}}) {
    loader.choose(path);
    loader.click("BProgram");  // returns at once: nothing is waited for
    QVERIFY2(loader.logHas(QStringLiteral("File ") + path + QStringLiteral(" is ") + what +
                           QStringLiteral(", not a regular file")),
             qPrintable(loader.logText()));
    QVERIFY(!loader.service().fileOpen());
  }
  QVERIFY(sim.sync());
  QCOMPARE(sim.count(QStringLiteral(" cmd 4 ")), 0);  // not one record went out
  QCOMPARE(loader.errorBoxes(), 0);
}

void E2eFaultTest::forgedAcknowledgementsFromAnotherAddressCannotCompleteARun() {
  // The unit refuses record 100 and answers every record late; a forger on another address
  // acknowledges each record at once, in sequence, saying the file is finished.
  Bench bench;
  QVERIFY(bench.make(4096, 27));
  Sim sim(QStringLiteral("127.0.7.27"));
  QVERIFY(sim.start({QStringLiteral("--quiet"), QStringLiteral("--expect"), bench.expected(),
                     QStringLiteral("--error-bits"), QStringLiteral("0x0040"),
                     QStringLiteral("--error-record"), QStringLiteral("100"),
                     QStringLiteral("--delay-ms"), QStringLiteral("5")}));
  Loader loader(QStringLiteral("127.0.7.27"));
  QVERIFY(loader.capture());
  loader.choose(bench.image);

  QUdpSocket forger;
  QVERIFY(forger.bind(QHostAddress(QStringLiteral("127.0.7.66")), 0));
  const quint16 loaderPort = loader.form().link().localPort();
  auto forge = [&](uint16_t seq) {
    QByteArray ack(20, '\0');
    ack[0] = static_cast<char>(0x5A);
    ack[1] = static_cast<char>(0xA5);
    ack[4] = static_cast<char>(seq >> 8);
    ack[5] = static_cast<char>(seq);
    ack[6] = 4;      // answers a record
    ack[10] = 0x01;  // unit 0100
    ack[12] = 127, ack[13] = 0, ack[14] = 7, ack[15] = 27;
    ack[16] = 0x40;  // loader mode, record and file done
    ack[17] = 0x18;
    forger.writeDatagram(ack, QHostAddress(QStringLiteral("127.0.7.27")), loaderPort);
  };

  loader.click("BProgram");
  QVERIFY(loader.service().fileOpen());
  int forged = 0;
  std::optional<uint16_t> forgedFor;
  QElapsedTimer waited;
  waited.start();
  while (loader.service().fileOpen() && waited.elapsed() < 60000) {
    const std::optional<uint16_t> last = loader.service().pdus().lastNumberSent();
    if (last && last != forgedFor) {
      forge(*last);
      forgedFor = last;
      ++forged;
    }
    QTest::qWait(1);
  }
  QVERIFY(!loader.service().fileOpen());
  QVERIFY(forged > 0);
  QVERIFY2(loader.events.outcome == uvq::RunEnd::RecordError, qPrintable(loader.logText()));
  QVERIFY2(loader.logHas(QStringLiteral("  record checksum error")), qPrintable(loader.logText()));
  QVERIFY(!loader.logHas(QStringLiteral("Programming Complete")));
  QVERIFY2(loader.logHas(QStringLiteral("**ERROR Reply from 127.0.7.66 set aside: the programming "
                                        "run is with 127.0.7.27")),
           qPrintable(loader.logText()));
  QCOMPARE(sim.count(QStringLiteral("IMAGE OK")), 0);
  QCOMPARE(loader.errorBoxes(), 0);
}

QTEST_MAIN(E2eFaultTest)
#include "E2eFaultTest.moc"
