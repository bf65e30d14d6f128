// SPDX-License-Identifier: Apache-2.0
// Saved fuzz inputs replayed through the fuzzers' entry functions (a broken property aborts the
// suite), and scripted reply-path inputs that must still reach the states the fuzzer relies on:
// if the engine or the script drift apart, fuzzing would quietly stop reaching them.

#include <QDir>
#include <QFile>
#include <QtTest>
#include <initializer_list>
#include <vector>

#include "FuzzEntries.h"

using uvq::fuzz::ReplyPathReach;

namespace {

using Script = std::vector<uint8_t>;

// Steps of the reply-path script (the step byte modulo 24 picks the step).
constexpr uint8_t kAnswer = 0, kTick = 5, kCapture = 8, kChooseFile = 12, kProgram = 13,
                  kErase = 14, kToggleIpBox = 19, kUpdateIp = 20, kImage = 23;

// Byte by byte: GCC 12 at -O2 and above takes `insert` of an initializer list at the end of an
// empty vector for a write past its end (a false -Wstringop-overflow).
void Append(Script& s, std::initializer_list<uint8_t> bytes) {
  for (const uint8_t b : bytes) s.push_back(b);
}
// An image of `records` whole records that reads without fault.
void Image(Script& s, uint16_t records) {
  const uint16_t bytes = static_cast<uint16_t>(records * 24);
  Append(s, {kImage, static_cast<uint8_t>(bytes >> 8), static_cast<uint8_t>(bytes), 0});
}
// A reply to the last PDU from unit 0100 at 127.0.0.1; `recordWritten` adds 0x0010.
void Answer(Script& s, bool recordWritten = false) {
  Append(s, {kAnswer, static_cast<uint8_t>(recordWritten ? 0x10 : 0x00), 127, 0, 0, 1, 0});
}
Script CapturedWithImage(uint16_t records) {
  Script s;
  Image(s, records);
  s.push_back(kCapture);
  Answer(s);
  Append(s, {kChooseFile, 1});  // chosen once in loader mode, so Program is enabled
  return s;
}

ReplyPathReach Run(const Script& s) {
  return uvq::fuzz::FuzzReplyPath(s.data(), s.size());
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class FuzzRegressionTest : public QObject {
  Q_OBJECT

 private slots:
  void savedInputsReplay_data();
  void savedInputsReplay();
  void scriptReachesCaptureAndACompletedRun();
  void scriptReachesTheWatchdogAndARefusedRecord();
  void scriptReachesEraseAndReaddressing();
};

void FuzzRegressionTest::savedInputsReplay_data() {
  QTest::addColumn<QString>("target");
  QTest::addColumn<QString>("path");
  const QDir inputs(QStringLiteral(UVQ_FUZZ_INPUTS));
  int count = 0;
  for (const QString& target : inputs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QDir dir(inputs.filePath(target));
    for (const QString& name : dir.entryList(QDir::Files)) {
      QTest::newRow(qPrintable(target + "/" + name)) << target << dir.filePath(name);
      ++count;
    }
  }
  if (count == 0) QTest::newRow("no saved inputs") << QString() << QString();
}

void FuzzRegressionTest::savedInputsReplay() {
  QFETCH(QString, target);
  QFETCH(QString, path);
  QVERIFY2(!target.isEmpty(), "tests/fuzz_regressions/inputs holds no input");
  const QByteArray bytes = ReadAll(path);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
  const auto size = static_cast<size_t>(bytes.size());
  if (target == "reply_path") {
    uvq::fuzz::FuzzReplyPath(data, size);
  } else if (target == "settings_reader") {
    uvq::fuzz::FuzzSettingsReader(data, size);
  } else if (target == "address_split") {
    uvq::fuzz::FuzzAddressSplit(data, size);
  } else if (target == "address_parsing") {
    uvq::fuzz::FuzzAddressParsing(data, size);
  } else {
    QFAIL(qPrintable("no fuzz target named " + target));
  }
}

void FuzzRegressionTest::scriptReachesCaptureAndACompletedRun() {
  Script s = CapturedWithImage(5);
  s.push_back(kProgram);
  for (int i = 0; i < 5; ++i) Answer(s, true);
  const ReplyPathReach reach = Run(s);
  QVERIFY(reach.loaderModes >= 1);
  QCOMPARE(reach.runsStarted, 1);
  QCOMPARE(reach.runsCompleted, 1);
  QCOMPARE(reach.runsFailed, 0);
  // Capture, five records, then the automatic reset.
  QCOMPARE(reach.sends, size_t{7});
}

void FuzzRegressionTest::scriptReachesTheWatchdogAndARefusedRecord() {
  Script silent = CapturedWithImage(3);
  silent.push_back(kProgram);
  for (int i = 0; i < 5; ++i) silent.push_back(kTick);  // the first send and four resends
  ReplyPathReach reach = Run(silent);
  QCOMPARE(reach.runsStarted, 1);
  QCOMPARE(reach.runsFailed, 1);
  QCOMPARE(reach.sends, size_t{1 + 5});

  // A record acknowledged with a checksum error (status 0x4040 chosen in the input) ends it.
  Script refused = CapturedWithImage(3);
  Append(refused, {kProgram, kAnswer, 0x20, 127, 0, 0, 1, 0x40, 0x40, 0});
  reach = Run(refused);
  QCOMPARE(reach.runsStarted, 1);
  QCOMPARE(reach.runsCompleted, 0);
  QCOMPARE(reach.runsFailed, 1);
}

void FuzzRegressionTest::scriptReachesEraseAndReaddressing() {
  Script s = CapturedWithImage(1);
  s.push_back(kErase);
  Answer(s);  // answered with the erase's own type
  Append(s, {kToggleIpBox, kUpdateIp, 8, '1', '0', '.', '0', '.', '0', '.', '9'});
  Answer(s);
  const ReplyPathReach reach = Run(s);
  QCOMPARE(reach.erasesEnded, 1);
  // Capture, erase, and the new address.
  QCOMPARE(reach.sends, size_t{3});
}

QTEST_GUILESS_MAIN(FuzzRegressionTest)
#include "FuzzRegressionTest.moc"
