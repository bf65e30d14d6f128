// SPDX-License-Identifier: Apache-2.0
// The uvq-sim program seen from the wire: replies byte for byte, programming runs checked by
// the emulator itself, and each fault showing up as it should. Every case has its own address.
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QtTest>

#include "SimPeer.h"

using simtest::ReplyId;
using simtest::ReplySeq;
using simtest::ReplyStatus;
using simtest::SimPeer;

namespace {

constexpr quint8 kSetIp = 1, kInvalidate = 2, kCapture = 3, kRecord = 4, kEraseProgram = 7,
                 kLocate = 0;
constexpr quint16 kLoaderMode = 0x4000, kNotInLoaderMode = 0x1000, kRecordErrors = 0x0A42;

QByteArray Pattern(int n, int salt = 0) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) b[i] = char(i * 13 + salt + i / 256);
  return b;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs "uvq-sim make-image" and returns the image's 24-byte records.
QList<QByteArray> MakeImage(const QTemporaryDir& dir, const QByteArray& binary,
                            const QStringList& extra = {}) {
  const QString in = dir.filePath("in.bin"), out = dir.filePath("out.cry");
  if (!WriteFile(in, binary)) return {};
  QProcess p;
  p.start(simtest::SimProgram(), QStringList{"make-image", in, out} + extra);
  if (!p.waitForFinished(10000) || p.exitCode() != 0) return {};
  const QByteArray image = ReadFile(out);
  QList<QByteArray> records;
  for (int at = 0; at + 24 <= image.size(); at += 24) records.append(image.mid(at, 24));
  // It says what it wrote: the file and its records.
  const QByteArray said = p.readAllStandardOutput();
  if (!said.contains(
          ("wrote " + out + ": " + QString::number(records.size()) + " records").toUtf8()))
    return {};
  return records;
}

// Streams the records as the tool does; the first refused record ends the run.
bool Program(SimPeer& peer, quint16 id, const QList<QByteArray>& records) {
  for (const auto& record : records) {
    const auto reply = peer.exchange(id, kRecord, record, 100, 60);
    if (!reply || (ReplyStatus(*reply) & (kRecordErrors | kNotInLoaderMode))) return false;
  }
  return true;
}

}  // namespace

class SimWireTest : public QObject {
  Q_OBJECT
 private slots:
  void captureReplyFields();
  void severalUnitsAnswerOneCapture();
  void accessCodeReboot();
  void setIpAddressIsReported();
  void recordsNeedLoaderMode();
  void errorBitsOnRecordK();
  void programmingRunIsVerified();
  void duplicatedAndLostRepliesLoseNothing();
  void eraseClearsTheDump();
  void faultsOnTheWire();
  void reorderSendsHeldReplyAfterTheNext();
  void garbageDatagrams_data();
  void garbageDatagrams();
  void garbageFlood();
  void severalAddressesInOneProcess();
  void eachAddressOfARangeHasItsOwnId();
  void badArgumentsAreRefused_data();
  void badArgumentsAreRefused();
  void fifosEndTheEmulatorWithAClearError();
};

void SimWireTest::captureReplyFields() {
  SimPeer peer("127.0.3.1");
  QVERIFY(peer.start({"--id", "0x0234", "--unit-ip", "127.0.3.201"}));
  const quint16 seq = peer.send(0x0000, kCapture);
  const auto reply = peer.receive();
  QVERIFY(reply);
  QCOMPARE(peer.lastFromPort(), simtest::kUnitPort);
  QVERIFY(reply->size() >= 19);
  const QByteArray expected = QByteArray::fromHex("5AA50234") + QByteArray(1, char(seq >> 8)) +
                              QByteArray(1, char(seq & 0xFF)) +
                              QByteArray::fromHex("03000000 0234 7F0003C9 4000 00");
  QCOMPARE(reply->left(19).toHex(), expected.toHex());
  // Every PDU draws exactly one reply.
  QVERIFY(peer.nothingMore());
}

void SimWireTest::severalUnitsAnswerOneCapture() {
  SimPeer peer("127.0.3.2");
  QVERIFY(peer.start({"--units", "3", "--id", "0200", "--unit-ip", "127.0.3.202"}));
  const quint16 seq = peer.send(0x0000, kCapture);
  const auto replies = peer.receiveReplies(3);
  QCOMPARE(replies.size(), 3);
  QList<quint16> ids;
  for (const auto& r : replies) {
    QCOMPARE(ReplySeq(r), seq);
    QCOMPARE(ReplyStatus(r), kLoaderMode);
    QCOMPARE(quint8(r[15]), quint8(202 + (ReplyId(r) - 0x200)));  // consecutive addresses
    ids.append(ReplyId(r));
  }
  QCOMPARE(ids, (QList<quint16>{0x0202, 0x0201, 0x0200}));

  // A PDU naming one unit is answered by that unit only; unknown IDs draw nothing.
  peer.send(0x0201, kLocate);
  const auto one = peer.receiveReplies(1);
  QCOMPARE(one.size(), 1);
  QCOMPARE(ReplyId(one[0]), 0x0201);
  peer.send(0x0999, kLocate);
  QVERIFY(peer.nothingMore());
  // An erase to ID 0000 must not reach every unit.
  peer.send(0x0000, kEraseProgram);
  QVERIFY(peer.nothingMore());
  QVERIFY(peer.stop().contains("unit 0999 ignored"));
}

void SimWireTest::accessCodeReboot() {
  SimPeer peer("127.0.3.3");
  QVERIFY(peer.start({"--access-code", "s3cret", "--capture-needs-code"}));
  auto plain = peer.exchange(0x0100, kCapture);
  QVERIFY(plain);
  QCOMPARE(ReplyStatus(*plain) & kLoaderMode, 0);
  auto wrong = peer.exchange(0x0100, kCapture, "s3cre7");
  QVERIFY(wrong);
  QCOMPARE(ReplyStatus(*wrong) & kLoaderMode, 0);
  auto right = peer.exchange(0x0100, kCapture, "s3cret");
  QVERIFY(right);
  QCOMPARE(ReplyStatus(*right) & kLoaderMode, kLoaderMode);
}

void SimWireTest::setIpAddressIsReported() {
  SimPeer peer("127.0.3.4");
  QVERIFY(peer.start({}));
  const auto set = peer.exchange(0x0100, kSetIp, QByteArray::fromHex("7F00032C"));
  QVERIFY(set);
  QCOMPARE(set->mid(12, 4).toHex(), QByteArray("7f00032c"));
  const auto later = peer.exchange(0x0100, kLocate);
  QVERIFY(later);
  QCOMPARE(later->mid(12, 4).toHex(), QByteArray("7f00032c"));
}

void SimWireTest::recordsNeedLoaderMode() {
  QTemporaryDir dir;
  SimPeer peer("127.0.3.5");
  QVERIFY(peer.start({}));
  const auto records = MakeImage(dir, Pattern(40));
  QCOMPARE(records.size(), 4);
  for (quint8 command : {kRecord, kInvalidate, kEraseProgram}) {
    const auto reply = peer.exchange(0x0100, command, command == kRecord ? records[0] : "");
    QVERIFY(reply);
    QCOMPARE(ReplyStatus(*reply), kNotInLoaderMode);
  }
}

void SimWireTest::errorBitsOnRecordK() {
  QTemporaryDir dir;
  SimPeer peer("127.0.3.6");
  QVERIFY(peer.start({"--loader-mode", "--error-bits", "0x0840", "--error-record", "3"}));
  const auto records = MakeImage(dir, Pattern(64));
  QList<quint16> statuses;
  for (const auto& r : records) {
    const auto reply = peer.exchange(0x0100, kRecord, r);
    QVERIFY(reply);
    statuses.append(ReplyStatus(*reply));
  }
  QCOMPARE(statuses, (QList<quint16>{0x4010, 0x4010, 0x4840, 0x4010, 0x4018}));
}

void SimWireTest::programmingRunIsVerified() {
  QTemporaryDir dir;
  const QByteArray binary = Pattern(1000);  // not a multiple of the 16-byte block
  const QString expect = dir.filePath("expect.bin");
  QVERIFY(WriteFile(expect, binary));
  const auto good = MakeImage(dir, binary, {"--base", "0x800", "--id-record", "demo"});
  QByteArray altered = binary;
  altered[517] = char(altered[517] ^ 0x01);
  const auto bad = MakeImage(dir, altered, {"--base", "0x800"});
  QVERIFY(!good.isEmpty() && !bad.isEmpty());

  SimPeer peer("127.0.3.8");
  QVERIFY(peer.start({"--quiet", "--expect", expect}));
  QVERIFY(peer.exchange(0x0100, kCapture));
  QVERIFY(Program(peer, 0x0100, good));
  QVERIFY(peer.waitForOutput("IMAGE OK"));

  QVERIFY(peer.exchange(0x0100, kEraseProgram));
  QVERIFY(Program(peer, 0x0100, bad));
  QVERIFY(peer.waitForOutput("IMAGE MISMATCH at offset 517"));
  // --quiet leaves only the readiness line and the verdicts.
  const QStringList lines = peer.stop().split('\n', Qt::SkipEmptyParts);
  QCOMPARE(lines.size(), 3);
}

void SimWireTest::duplicatedAndLostRepliesLoseNothing() {
  QTemporaryDir dir;
  const QByteArray binary = Pattern(4000, 5);
  const QString expect = dir.filePath("expect.bin");
  QVERIFY(WriteFile(expect, binary));
  const auto records = MakeImage(dir, binary);

  SimPeer peer("127.0.3.9");
  QVERIFY(peer.start({"--quiet", "--loader-mode", "--expect", expect, "--seed", "7", "--drop",
                      "0.2", "--duplicate", "0.5", "--wrong-seq", "0.1"}));
  // Lost replies make the driver resend records under new numbers: written twice, harmlessly.
  QVERIFY(Program(peer, 0x0100, records));
  QVERIFY(peer.waitForOutput("IMAGE OK"));
  QVERIFY(!peer.stop().contains("MISMATCH"));
}

void SimWireTest::eraseClearsTheDump() {
  QTemporaryDir dir;
  const QString dump = dir.filePath("dump.bin");
  const QByteArray binary = Pattern(100);
  const auto records = MakeImage(dir, binary, {"--base", "32"});

  SimPeer peer("127.0.3.10");
  QVERIFY(peer.start({"--loader-mode", "--dump-memory", dump}));
  QVERIFY(Program(peer, 0x0100, records));
  QCOMPARE(ReadFile(dump), binary);  // written on the end record
  const auto erased = peer.exchange(0x0100, kEraseProgram);
  QVERIFY(erased);
  QCOMPARE(ReplyStatus(*erased), 0x6000);  // loader mode, user code invalid
  peer.stop();
  QCOMPARE(peer.exitStatus(), QProcess::NormalExit);
  QCOMPARE(peer.exitCode(), 0);
  QVERIFY(QFile::exists(dump));
  QCOMPARE(ReadFile(dump).size(), 0);  // written again at exit: nothing left
}

void SimWireTest::faultsOnTheWire() {
  {
    SimPeer peer("127.0.3.11");
    QVERIFY(peer.start({"--drop", "1"}));
    peer.send(0x0100, kLocate);
    QVERIFY(peer.nothingMore());
    QVERIFY(peer.stop().contains("[dropped]"));
  }
  {
    SimPeer peer("127.0.3.12");
    QVERIFY(peer.start({"--silent"}));
    peer.send(0x0000, kCapture);
    QVERIFY(peer.nothingMore());
    QVERIFY(peer.stop().contains("[silent]"));
  }
  {
    SimPeer peer("127.0.3.13");
    QVERIFY(peer.start({"--duplicate", "1"}));
    const quint16 seq = peer.send(0x0100, kLocate);
    const auto replies = peer.receiveReplies(2);
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies[0], replies[1]);
    QCOMPARE(ReplySeq(replies[0]), seq);
  }
  {
    SimPeer peer("127.0.3.14");
    QVERIFY(peer.start({"--wrong-seq", "1"}));
    const quint16 seq = peer.send(0x0100, kLocate);
    const auto reply = peer.receive();
    QVERIFY(reply);
    QVERIFY(ReplySeq(*reply) != seq);
    QVERIFY(!peer.exchange(0x0100, kLocate, {}, 2, 100));  // never a usable reply
  }
  {
    SimPeer peer("127.0.3.15");
    QVERIFY(peer.start(
        {"--delay-ms", "50", "--jitter-ms", "20", "--erase-delay-ms", "100", "--loader-mode"}));
    // Late replies still come, each once.
    peer.send(0x0100, kLocate);
    peer.send(0x0100, kEraseProgram);
    const auto replies = peer.receiveReplies(2);
    QCOMPARE(replies.size(), 2);
    QCOMPARE(quint8(replies[0][6]), kLocate);
    QCOMPARE(quint8(replies[1][6]), kEraseProgram);
  }
}

void SimWireTest::reorderSendsHeldReplyAfterTheNext() {
  SimPeer peer("127.0.3.16");
  QVERIFY(peer.start({"--reorder", "1"}));
  const quint16 first = peer.send(0x0100, kLocate);
  QVERIFY(peer.nothingMore());  // held
  const quint16 second = peer.send(0x0100, kLocate);
  const auto replies = peer.receiveReplies(2);
  QCOMPARE(replies.size(), 2);
  QCOMPARE(ReplySeq(replies[0]), second);
  QCOMPARE(ReplySeq(replies[1]), first);
}

void SimWireTest::garbageDatagrams_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<int>("garbageSize");
  QTest::newRow("over-long") << QStringList{"--garbage", "over-long"} << 300;
  QTest::newRow("zero") << QStringList{"--garbage", "zero"} << 0;
  QTest::newRow("short") << QStringList{"--garbage", "short"} << 10;
}

void SimWireTest::garbageDatagrams() {
  QFETCH(QStringList, args);
  QFETCH(int, garbageSize);
  static int next = 20;  // one address per row
  SimPeer peer(QString("127.0.3.%1").arg(next++));
  QVERIFY(peer.start(args));
  const quint16 seq = peer.send(0x0100, kLocate);
  const auto datagrams = peer.receiveReplies(2);
  QCOMPARE(datagrams.size(), 2);
  QCOMPARE(datagrams[0].size(), garbageSize);
  QCOMPARE(datagrams[1].size(), 20);
  QCOMPARE(ReplySeq(datagrams[1]), seq);

  // Bad datagrams towards the unit are logged and ignored, never answered.
  peer.sendRaw(QByteArray());
  peer.sendRaw(QByteArray::fromHex("5AA5010012"));
  peer.sendRaw(QByteArray(400, 'x'));
  QVERIFY(peer.nothingMore());
  const QString log = peer.stop();
  for (const char* size : {"of 0 bytes", "of 5 bytes", "of 400 bytes"})
    QVERIFY2(log.count(QStringLiteral("ignored: malformed datagram ") + size) == 1, size);
}

void SimWireTest::garbageFlood() {
  SimPeer peer("127.0.3.30");
  QVERIFY(peer.start({"--garbage-flood-ms", "20"}));
  QVERIFY(!peer.receive(200));  // nothing until a peer is known
  peer.send(0x0100, kLocate);
  int reply = 0, flood = 0;
  while (flood < 3) {
    const auto d = peer.receive();
    QVERIFY(d);
    (d->size() == 20 ? reply : flood) += 1;
    QVERIFY(d->size() == 20 || d->size() == 10);
  }
  QCOMPARE(reply, 1);
}

void SimWireTest::severalAddressesInOneProcess() {
  QTemporaryDir dir;
  const QByteArray binary = Pattern(600, 3);
  const QString expect = dir.filePath("expect.bin"), dump = dir.filePath("dump");
  QVERIFY(WriteFile(expect, binary));
  QByteArray altered = binary;
  altered[0] = char(altered[0] ^ 0x80);
  const auto good = MakeImage(dir, binary);
  const auto bad = MakeImage(dir, altered);
  QVERIFY(!good.isEmpty() && !bad.isEmpty());

  SimPeer peer("127.0.3.40");
  QVERIFY(peer.start({"--units", "2", "--id", "0300", "--same-id", "--loader-mode", "--expect",
                      expect, "--dump-memory", dump},
                     "127.0.3.40-127.0.3.42"));
  // Each address answers from itself, with its own units reporting its own address.
  peer.aimAt("127.0.3.41");
  peer.send(0x0000, kLocate);
  const auto replies = peer.receiveReplies(2);
  QCOMPARE(replies.size(), 2);
  QCOMPARE(peer.lastFrom(), QString("127.0.3.41"));
  QCOMPARE(ReplyId(replies[1]), 0x0300);
  QCOMPARE(quint8(replies[1][15]), quint8(41));

  QVERIFY(Program(peer, 0x0301, good));
  QVERIFY(peer.waitForOutput("127.0.3.41 IMAGE OK (unit 0301)"));
  peer.aimAt("127.0.3.42");
  const auto untouched = peer.exchange(0x0301, kLocate);
  QVERIFY(untouched);
  QCOMPARE(quint8((*untouched)[18]), quint8(0));  // no record reached this address's unit
  peer.aimAt("127.0.3.40");
  QVERIFY(Program(peer, 0x0300, bad));
  QVERIFY(peer.waitForOutput("127.0.3.40 IMAGE MISMATCH at offset 0 (unit 0300)"));
  const QString log = peer.stop();
  QVERIFY2(log.contains("127.0.3.42 from 127.0.3.40:"), qPrintable(log));
  QCOMPARE(ReadFile(dump + ".127.0.3.41.0301"), binary);
  QCOMPARE(ReadFile(dump + ".127.0.3.40.0300"), altered);
  QVERIFY(QFile::exists(dump + ".127.0.3.42.0301"));
  QCOMPARE(ReadFile(dump + ".127.0.3.42.0301").size(), 0);
}

// Without --same-id each address of a range answers with an ID of its own, taken from the
// address, so that a second run (or another emulator on the same addresses) gives the same.
void SimWireTest::eachAddressOfARangeHasItsOwnId() {
  SimPeer peer("127.0.3.50");
  QVERIFY(peer.start({"--units", "2"}, "127.0.3.50-127.0.3.52"));
  for (const int last : {50, 52}) {
    peer.aimAt("127.0.3." + QString::number(last));
    peer.send(0x0000, kLocate);
    const auto replies = peer.receiveReplies(2);
    QCOMPARE(replies.size(), 2);
    // Highest ID first: the address's own ID and the one after it for its second unit.
    QCOMPARE(ReplyId(replies[0]), 0x0300 + last + 1);
    QCOMPARE(ReplyId(replies[1]), 0x0300 + last);
  }
  peer.aimAt("127.0.3.51");
  QVERIFY(peer.exchange(0x0300 + 51, kLocate));  // 127.0.3.51: bytes 03 and 33
  // The ID a single address would have is nobody's here.
  peer.send(0x0100, kLocate);
  QVERIFY(peer.nothingMore());
}

void SimWireTest::badArgumentsAreRefused_data() {
  QTest::addColumn<QStringList>("args");
  QTest::newRow("not loopback") << QStringList{"--bind", "10.1.2.3"};
  QTest::newRow("range leaves loopback") << QStringList{"--bind", "127.255.255.250-128.0.0.2"};
  QTest::newRow("range reversed") << QStringList{"--bind", "127.0.0.9-127.0.0.1"};
  QTest::newRow("range too long") << QStringList{"--bind", "127.0.0.1-127.1.0.1"};
  QTest::newRow("share above 1") << QStringList{"--drop", "1.5"};
  QTest::newRow("id not hex") << QStringList{"--id", "01g0"};
  QTest::newRow("id range overflow") << QStringList{"--id", "FFFF", "--units", "2"};
  QTest::newRow("id of a range without --same-id")
      << QStringList{"--bind", "127.0.3.60-127.0.3.61", "--id", "0100"};
  QTest::newRow("code flag alone") << QStringList{"--capture-needs-code"};
  QTest::newRow("error bits alone") << QStringList{"--error-bits", "0x40"};
  QTest::newRow("unknown flag") << QStringList{"--frobnicate"};
  QTest::newRow("image into loader")
      << QStringList{"make-image", "/proc/self/exe", "/dev/null", "--base", "0x01000000"};
}

void SimWireTest::badArgumentsAreRefused() {
  QFETCH(QStringList, args);
  QProcess p;
  p.start(simtest::SimProgram(), args);
  QVERIFY(p.waitForFinished(10000));
  QVERIFY(p.exitCode() != 0);
  const QString err = QString::fromUtf8(p.readAllStandardError());
  QVERIFY2(err.startsWith("uvq-sim: ") && err.count('\n') == 1, qPrintable(err));
  QVERIFY(p.readAllStandardOutput().isEmpty());
}

// make-image into a FIFO and --dump-memory naming one held the emulator in the open for good
// (ignoring SIGTERM from then on): both end at once with one line naming the file.
void SimWireTest::fifosEndTheEmulatorWithAClearError() {
  QTemporaryDir dir;
  const QString in = dir.filePath("in.bin");
  QVERIFY(WriteFile(in, Pattern(64)));
  const QString fifo = dir.filePath("fifo");
  QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const QStringList runs[] = {
      {"make-image", in, fifo},
      {"--bind", "127.0.3.50", "--loader-mode", "--dump-memory", fifo},
  };
  for (const QStringList& args : runs) {
    QProcess p;
    p.start(simtest::SimProgram(), args);
    // A generous bound for a loaded machine; the emulator does not wait for anything here.
    const bool ended = p.waitForFinished(120000);
    if (!ended) p.kill(), p.waitForFinished();
    QVERIFY2(ended, qPrintable(args.join(' ')));
    QVERIFY(p.exitCode() != 0);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(err, "uvq-sim: cannot write " + fifo + ": is a FIFO, not a regular file\n");
    QVERIFY(p.readAllStandardOutput().isEmpty());
  }
}

QTEST_GUILESS_MAIN(SimWireTest)
#include "SimWireTest.moc"
