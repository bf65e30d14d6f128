// SPDX-License-Identifier: Apache-2.0
// The emulator's own rules, driven directly: record format, memory map and unit behaviour.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtTest>
#include <numeric>
#include <set>

#include "FileRule.h"
#include "ImageMaker.h"
#include "MemoryMap.h"
#include "Options.h"
#include "ProgramMemory.h"
#include "RecordCodec.h"
#include "UnitModel.h"
#include "protocol/CommandCode.h"
#include "protocol/StatusFlags.h"

using namespace uvq::sim;
namespace St = uvq::protocol::Status;
using uvq::protocol::Code;
using uvq::protocol::Command;

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

WireRecord DataRecord(uint32_t address, std::vector<uint8_t> bytes) {
  PlainRecord r;
  r.address = address;
  r.length = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), r.data.begin());
  return EncodeRecord(r);
}

WireRecord EndRecord() {
  PlainRecord r;
  r.type = RecordType::kEnd;
  return EncodeRecord(r);
}

uint16_t Send(UnitModel& unit, Command c, std::span<const uint8_t> payload = {}) {
  return unit.handle(Code(c), payload).status;
}

UnitModel LoaderUnit() {
  UnitConfig config;
  config.startInLoaderMode = true;
  return UnitModel(config);
}

}  // namespace

class SimModelTest : public QObject {
  Q_OBJECT
 private slots:
  void imageDecodesBackToTheBinary_data();
  void imageDecodesBackToTheBinary();
  void imageIsNotPlainText();
  void corruptedRecordsAreClassified();
  void imagesThatDoNotFitAreRefused();
  void inputFilesAreReadWithoutWaitingOrGrowing();
  void outputFilesAreWrittenOnlyToRegularFiles();
  void memoryMapBoundaries();
  void captureAndAccessCode();
  void recordsOutsideLoaderModeAreRefused();
  void recordStatusBits();
  void injectedErrorRefusesTheRecord();
  void duplicateRecordsAreIdempotent();
  void eraseClearsWhatItNames();
  void resetKeepsAHalfWrittenImageInLoaderMode();
  void setIpAddress();
  void memoryComparison();
  void commandLineNumbers();
};

void SimModelTest::imageDecodesBackToTheBinary_data() {
  QTest::addColumn<int>("size");
  QTest::addColumn<uint>("base");
  QTest::newRow("multiple of the block") << 64 << 0u;
  QTest::newRow("ragged tail") << 1001 << 0x1000u;
  QTest::newRow("one byte") << 1 << 0x20u;
  QTest::newRow("empty") << 0 << 0u;
  QTest::newRow("into data memory") << 300 << uint(kDataBase);
}

void SimModelTest::imageDecodesBackToTheBinary() {
  QFETCH(int, size);
  QFETCH(uint, base);
  const auto binary = Pattern(size);
  const auto records = MakeImage(binary, base, std::string("board-7"));
  QVERIFY(records);
  QCOMPARE(records->size(), 2 + (binary.size() + 15) / 16);

  const auto first = DecodeRecord(records->front());
  QCOMPARE(first.error, DecodeError::kNone);
  QCOMPARE(first.record.type, RecordType::kIdentity);
  QCOMPARE(std::string(first.record.data.begin(), first.record.data.begin() + first.record.length),
           std::string("board-7"));

  std::vector<uint8_t> rebuilt;
  uint32_t expectedAddress = base;
  for (size_t i = 1; i + 1 < records->size(); ++i) {
    const auto d = DecodeRecord((*records)[i]);
    QCOMPARE(d.error, DecodeError::kNone);
    QCOMPARE(d.record.type, RecordType::kData);
    QCOMPARE(d.record.address, expectedAddress);
    rebuilt.insert(rebuilt.end(), d.record.data.begin(), d.record.data.begin() + d.record.length);
    expectedAddress += d.record.length;
  }
  QVERIFY(rebuilt == binary);
  const auto last = DecodeRecord(records->back());
  QCOMPARE(last.error, DecodeError::kNone);
  QCOMPARE(last.record.type, RecordType::kEnd);
}

void SimModelTest::imageIsNotPlainText() {
  const std::string text = "plain readable firmware text....";
  const auto records =
      MakeImage({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, 0, std::nullopt);
  QVERIFY(records);
  const auto& r = (*records)[0];
  QVERIFY(std::search(r.begin(), r.end(), text.begin(), text.begin() + 4) == r.end());
}

void SimModelTest::corruptedRecordsAreClassified() {
  const WireRecord good = DataRecord(0x100, {1, 2, 3});
  QCOMPARE(DecodeRecord(good).error, DecodeError::kNone);

  // Any single flipped bit in the body is caught by the checksum.
  for (size_t byte = 0; byte < 23; ++byte) {
    WireRecord bad = good;
    bad[byte] ^= 0x10;
    QCOMPARE(DecodeRecord(bad).error, DecodeError::kChecksum);
  }
  WireRecord badMark = good;
  badMark[23] ^= 0x01;
  QCOMPARE(DecodeRecord(badMark).error, DecodeError::kFraming);

  // Well-formed but impossible: a length beyond the block, or data past the length.
  PlainRecord tooLong;
  tooLong.length = 17;
  QCOMPARE(DecodeRecord(EncodeRecord(tooLong)).error, DecodeError::kFrameLength);
  // A data byte past the length, with the checksum made to match.
  WireRecord padded = DataRecord(0x100, {1, 2, 3});
  ToggleScramble(padded);
  padded[6 + 3] = 0x55;
  padded[22] = static_cast<uint8_t>(padded[22] - 0x55);
  ToggleScramble(padded);
  QCOMPARE(DecodeRecord(padded).error, DecodeError::kFraming);
}

void SimModelTest::imagesThatDoNotFitAreRefused() {
  const auto binary = Pattern(32);
  QVERIFY(!MakeImage(binary, kLoaderBase - 16, std::nullopt));  // runs into the loader
  QVERIFY(!MakeImage(binary, kProgramSize - 16, std::nullopt));
  QVERIFY(!MakeImage(binary, 0xFFFFFFF0u, std::nullopt));  // would wrap around
  QVERIFY(MakeImage(binary, kProgramSize - 32, std::nullopt));
  // 16 MiB images: the largest program memory holds.
  QVERIFY(MakeImage(std::vector<uint8_t>(kProgramSize), 0, std::nullopt));
}

// make-image and --expect: a FIFO without a writer, an endless device or a huge sparse file
// is refused at once instead of hanging (and then ignoring SIGTERM) or filling memory.
void SimModelTest::inputFilesAreReadWithoutWaitingOrGrowing() {
  QTemporaryDir dir;
  std::vector<uint8_t> bytes;
  std::string problem;
  const std::string fifo = dir.filePath("fifo").toStdString();
  QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
  QVERIFY(!ReadWholeFile(fifo, bytes, problem));
  QCOMPARE(problem, std::string("is a FIFO, not a regular file"));
  QVERIFY(!ReadWholeFile("/dev/zero", bytes, problem));
  QCOMPARE(problem, std::string("is a character device, not a regular file"));
  QFile sparse(dir.filePath("sparse.bin"));
  QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64{1} << 30));
  sparse.close();
  QVERIFY(!ReadWholeFile(sparse.fileName().toStdString(), bytes, problem));
  QVERIFY2(problem.find("larger than the unit's program memory") != std::string::npos,
           problem.c_str());
  QFile small(dir.filePath("small.bin"));
  QVERIFY(small.open(QIODevice::WriteOnly) && small.write("abc") == 3);
  small.close();
  QVERIFY(ReadWholeFile(small.fileName().toStdString(), bytes, problem));
  QCOMPARE(bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

// make-image's output and --dump-memory: a FIFO (with or without a reader), a device or a
// directory is refused without waiting and left as it was; a regular file is replaced whole.
void SimModelTest::outputFilesAreWrittenOnlyToRegularFiles() {
  QTemporaryDir dir;
  const std::vector<uint8_t> bytes{1, 2, 3, 4};
  std::string problem;
  const std::string fifo = dir.filePath("fifo").toStdString();
  QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
  QVERIFY(!WriteWholeFile(fifo, bytes, problem));  // no reader: the open would wait for one
  QCOMPARE(problem, std::string("is a FIFO, not a regular file"));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  QVERIFY(reader >= 0);
  ProgramMemory memory;
  memory.write(0, bytes);
  problem.clear();
  QVERIFY(!memory.dumpTo(fifo, problem));  // a reader waiting: still no dump into a pipe
  QCOMPARE(problem, std::string("is a FIFO, not a regular file"));
  char got[8];
  QCOMPARE(::read(reader, got, sizeof got), ssize_t(0));  // no writer ever came
  ::close(reader);
  QVERIFY(!WriteWholeFile("/dev/null", bytes, problem));
  QCOMPARE(problem, std::string("is a character device, not a regular file"));
  QVERIFY(!WriteWholeFile(dir.path().toStdString(), bytes, problem));
  QVERIFY2(problem.find("directory") != std::string::npos, problem.c_str());

  QCOMPARE(RefusedOutputPath(fifo), std::optional<std::string>("is a FIFO, not a regular file"));
  QCOMPARE(RefusedOutputPath(dir.filePath("absent").toStdString()), std::nullopt);

  QFile longer(dir.filePath("dump.bin"));
  QVERIFY(longer.open(QIODevice::WriteOnly) && longer.write("0123456789") == 10);
  longer.close();
  QCOMPARE(RefusedOutputPath(longer.fileName().toStdString()), std::nullopt);
  QVERIFY(memory.dumpTo(longer.fileName().toStdString(), problem));
  QVERIFY(longer.open(QIODevice::ReadOnly));
  QCOMPARE(longer.readAll(), QByteArray("\x01\x02\x03\x04", 4));  // nothing of the old left
}

void SimModelTest::memoryMapBoundaries() {
  QCOMPARE(RegionOf(0, 16), Region::kProgram);
  QCOMPARE(RegionOf(kProgramSize - 16, 16), Region::kProgram);
  QCOMPARE(RegionOf(kLoaderBase - 8, 16), Region::kLoader);
  QCOMPARE(RegionOf(kLoaderBase + kLoaderSize - 1, 1), Region::kLoader);
  QCOMPARE(RegionOf(kLoaderBase + kLoaderSize, 1), Region::kNone);
  QCOMPARE(RegionOf(kDataBase + kDataSize - 4, 4), Region::kData);
  QCOMPARE(RegionOf(kDataBase + kDataSize - 4, 8), Region::kNone);
  QCOMPARE(RegionOf(0xFFFFFFFFu, 16), Region::kNone);
}

void SimModelTest::captureAndAccessCode() {
  const std::string code = "opensesame";
  const std::span<const uint8_t> right{reinterpret_cast<const uint8_t*>(code.data()), code.size()};
  const std::array<uint8_t, 5> wrong{'w', 'r', 'o', 'n', 'g'};

  UnitConfig config;
  config.accessCode = code;
  config.captureNeedsCode = true;
  UnitModel strict(config);
  QCOMPARE(Send(strict, Command::Capture) & St::kLoaderMode, 0);
  QCOMPARE(Send(strict, Command::Capture, wrong) & St::kLoaderMode, 0);
  QCOMPARE(Send(strict, Command::Capture, right.first(4)) & St::kLoaderMode, 0);  // a prefix
  QVERIFY(!strict.inLoaderMode());
  QCOMPARE(Send(strict, Command::Capture, right) & St::kLoaderMode, St::kLoaderMode);
  // Once in loader mode any capture confirms it.
  QCOMPARE(Send(strict, Command::Capture, wrong) & St::kLoaderMode, St::kLoaderMode);

  config.captureNeedsCode = false;
  UnitModel lenient(config);
  QCOMPARE(Send(lenient, Command::Capture, wrong) & St::kLoaderMode, 0);
  QCOMPARE(Send(lenient, Command::Capture) & St::kLoaderMode, St::kLoaderMode);

  UnitModel noCode{UnitConfig{}};
  QCOMPARE(Send(noCode, Command::Locate) & St::kLoaderMode, 0);
  QCOMPARE(Send(noCode, Command::Capture, wrong) & St::kLoaderMode, St::kLoaderMode);
}

void SimModelTest::recordsOutsideLoaderModeAreRefused() {
  UnitModel unit{UnitConfig{}};
  const auto record = DataRecord(0, {1, 2, 3, 4});
  for (Command c : {Command::ProgramRecord, Command::EraseDevice, Command::EraseProgram,
                    Command::EraseData, Command::InvalidateProgram}) {
    const uint16_t s = Send(unit, c, c == Command::ProgramRecord ? record : WireRecord{});
    QVERIFY2(s & St::kNotInLoaderMode, qPrintable(QString::number(Code(c))));
    QCOMPARE(s & St::kLoaderMode, 0);
  }
  QVERIFY(unit.programMemory().empty());
  QCOMPARE(unit.dataSequence(), 0);
  QVERIFY(!unit.handle(5, {}).reply);  // no such command: a unit stays silent
}

void SimModelTest::recordStatusBits() {
  UnitModel unit = LoaderUnit();
  PlainRecord id;
  id.type = RecordType::kIdentity;
  QCOMPARE(Send(unit, Command::ProgramRecord, EncodeRecord(id)),
           St::kLoaderMode | St::kRecordSkipped);
  QCOMPARE(Send(unit, Command::ProgramRecord, DataRecord(0x10, {1, 2})),
           St::kLoaderMode | St::kRecordDone);
  QCOMPARE(Send(unit, Command::ProgramRecord, DataRecord(kDataBase + 4, {7})),
           St::kLoaderMode | St::kRecordDone | St::kEepromUpdated);
  QCOMPARE(unit.dataMemory()[4], 7);
  QCOMPARE(Send(unit, Command::ProgramRecord, DataRecord(kLoaderBase, {1})),
           St::kLoaderMode | St::kOverwriteLoader);
  QCOMPARE(Send(unit, Command::ProgramRecord, DataRecord(0x30000000, {1})),
           St::kLoaderMode | St::kFramingError);
  PlainRecord odd;
  odd.type = 9;
  QCOMPARE(Send(unit, Command::ProgramRecord, EncodeRecord(odd)),
           St::kLoaderMode | St::kUnsupportedRecord);
  WireRecord corrupt = DataRecord(0x20, {1});
  corrupt[3] ^= 0xFF;
  QCOMPARE(Send(unit, Command::ProgramRecord, corrupt), St::kLoaderMode | St::kChecksumError);
  const std::array<uint8_t, 23> shortRecord{};
  QCOMPARE(Send(unit, Command::ProgramRecord, shortRecord),
           St::kLoaderMode | St::kFrameLengthError);
  QCOMPARE(Send(unit, Command::ProgramRecord, EndRecord()),
           St::kLoaderMode | St::kRecordDone | St::kFileDone);
  // ID, two data records and the end record were accepted; the rest refused.
  QCOMPARE(unit.dataSequence(), 4);
  QCOMPARE(unit.recordsReceived(), 9u);
  const std::vector<uint8_t> written(unit.programMemory().image().begin(),
                                     unit.programMemory().image().end());
  QCOMPARE(written, (std::vector<uint8_t>{1, 2}));
}

void SimModelTest::injectedErrorRefusesTheRecord() {
  UnitModel unit = LoaderUnit();
  const auto a = unit.handle(Code(Command::ProgramRecord), DataRecord(0, {5}), 0x0840);
  QCOMPARE(a.status, St::kLoaderMode | 0x0840);
  QVERIFY(unit.programMemory().empty());
  // Bits that are no error are only reported.
  const auto b = unit.handle(Code(Command::ProgramRecord), DataRecord(0, {5}), St::kMulticast);
  QCOMPARE(b.status, St::kLoaderMode | St::kMulticast | St::kRecordDone);
  QVERIFY(!unit.programMemory().empty());
}

void SimModelTest::duplicateRecordsAreIdempotent() {
  const auto binary = Pattern(200);
  const auto records = *MakeImage(binary, 0x400, std::nullopt);
  UnitModel once = LoaderUnit();
  UnitModel twice = LoaderUnit();
  for (const auto& r : records) {
    Send(once, Command::ProgramRecord, r);
    Send(twice, Command::ProgramRecord, r);
    Send(twice, Command::ProgramRecord, r);  // a resend after a lost reply
  }
  QVERIFY(!once.programMemory().firstDifference(binary));
  QVERIFY(!twice.programMemory().firstDifference(binary));
  QCOMPARE(twice.programMemory().firstAddress(), 0x400u);
}

void SimModelTest::eraseClearsWhatItNames() {
  UnitModel unit = LoaderUnit();
  auto fill = [&] {
    Send(unit, Command::ProgramRecord, DataRecord(0, {1, 2, 3}));
    Send(unit, Command::ProgramRecord, DataRecord(kDataBase, {9}));
    Send(unit, Command::ProgramRecord, EndRecord());
  };
  fill();
  QCOMPARE(Send(unit, Command::EraseData) & St::kUserCodeInvalid, 0);
  QCOMPARE(unit.dataMemory()[0], ProgramMemory::kErased);
  QVERIFY(!unit.programMemory().empty());

  QCOMPARE(Send(unit, Command::EraseProgram), St::kLoaderMode | St::kUserCodeInvalid);
  QVERIFY(unit.programMemory().empty());

  fill();  // a complete image makes the user code valid again
  QCOMPARE(Send(unit, Command::Locate), St::kLoaderMode);
  Send(unit, Command::EraseDevice);
  QVERIFY(unit.programMemory().empty());
  QCOMPARE(unit.dataMemory()[0], ProgramMemory::kErased);
  QCOMPARE(Send(unit, Command::InvalidateProgram) & St::kUserCodeInvalid, St::kUserCodeInvalid);
}

void SimModelTest::resetKeepsAHalfWrittenImageInLoaderMode() {
  UnitModel unit = LoaderUnit();
  Send(unit, Command::ProgramRecord, DataRecord(0, {1}));
  QCOMPARE(Send(unit, Command::Reset), St::kLoaderMode | St::kUserCodeInvalid | St::kMissingType4);
  QVERIFY(unit.inLoaderMode());
  Send(unit, Command::ProgramRecord, EndRecord());
  QCOMPARE(Send(unit, Command::Reset), 0);
  QVERIFY(!unit.inLoaderMode());
}

void SimModelTest::setIpAddress() {
  UnitModel unit{UnitConfig{}};
  const std::array<uint8_t, 4> next{10, 1, 2, 3};
  Send(unit, Command::SetIpAddress, next);
  QCOMPARE(unit.ip(), next);
  for (const Ipv4 refused : {Ipv4{0, 0, 0, 0}, Ipv4{224, 0, 0, 1}, Ipv4{255, 255, 255, 255}}) {
    Send(unit, Command::SetIpAddress, refused);
    QCOMPARE(unit.ip(), next);
  }
  const std::array<uint8_t, 3> shortAddress{1, 2, 3};
  QVERIFY(Send(unit, Command::SetIpAddress, shortAddress) & St::kFrameLengthError);
  QCOMPARE(unit.ip(), next);
}

void SimModelTest::memoryComparison() {
  ProgramMemory m;
  m.write(0x10, std::vector<uint8_t>{1, 2});
  m.write(0x14, std::vector<uint8_t>{5});
  QCOMPARE(m.firstAddress(), 0x10u);
  const std::vector<uint8_t> expected{1, 2, 0xFF, 0xFF, 5};
  QVERIFY(!m.firstDifference(expected));
  QCOMPARE(m.firstDifference(std::vector<uint8_t>{1, 2, 0xFF, 0, 5}), std::optional<size_t>(3));
  QCOMPARE(m.firstDifference(std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 5, 6}),
           std::optional<size_t>(5));
  QCOMPARE(m.firstDifference(std::vector<uint8_t>{1, 2}), std::optional<size_t>(2));
  m.erase();
  QVERIFY(m.empty());
  QCOMPARE(m.firstDifference(expected), std::optional<size_t>(0));
}

void SimModelTest::commandLineNumbers() {
  QCOMPARE(ParseHex("0100", 0xFFFF), std::optional<uint32_t>(0x100));
  QCOMPARE(ParseHex("0x0840", 0xFFFF), std::optional<uint32_t>(0x840));
  QVERIFY(!ParseHex("10000", 0xFFFF));
  QVERIFY(!ParseHex("12g", 0xFFFF));
  QCOMPARE(ParseNumber("4096", UINT32_MAX), std::optional<uint32_t>(4096));
  QCOMPARE(ParseNumber("0x1000", UINT32_MAX), std::optional<uint32_t>(4096));
  QVERIFY(!ParseNumber("-1", UINT32_MAX));
  QCOMPARE(ParseIpv4("127.0.3.9"), std::optional<Ipv4>(Ipv4{127, 0, 3, 9}));
  for (const char* bad : {"127.0.3", "127.0.3.9.1", "127.0.3.256", "127..3.9", "127.0.3.9 ", ""}) {
    QVERIFY2(!ParseIpv4(bad), bad);
  }
  const auto range = ParseAddressRange("127.0.1.250-127.0.2.3");
  QVERIFY(range);
  QCOMPARE(range->first, (Ipv4{127, 0, 1, 250}));
  QCOMPARE(range->count, 10u);
  QCOMPARE(NextAddress(range->first, 9), (Ipv4{127, 0, 2, 3}));
  QCOMPARE(ParseAddressRange("127.0.1.7")->count, 1u);
  for (const char* bad : {"127.0.1.7-", "127.0.1.7-127.0.1.6", "-127.0.1.7", "127.0.1.1-127.0.1"})
    QVERIFY2(!ParseAddressRange(bad), bad);

  // A range's IDs: the address's last two bytes, never 0000, room left for every unit, and
  // different for every address of the longest range.
  QCOMPARE(AddressUnitId({127, 0, 1, 5}, 1), uint16_t{0x0105});
  QCOMPARE(AddressUnitId({127, 9, 1, 5}, 1), uint16_t{0x0105});
  QCOMPARE(AddressUnitId({127, 0, 1, 51}, 1), uint16_t{0x0133});
  QCOMPARE(AddressUnitId({127, 1, 0, 0}, 1), uint16_t{0x8000});
  QCOMPARE(AddressUnitId({127, 0, 255, 255}, 3), uint16_t{0xFFFD});
  std::set<uint16_t> ids;
  for (uint32_t i = 0; i < kMaxAddresses; ++i)
    ids.insert(AddressUnitId(NextAddress({127, 0, 250, 0}, i), 1));
  QCOMPARE(ids.size(), size_t{kMaxAddresses});
  QVERIFY(!ids.count(0));
}

QTEST_GUILESS_MAIN(SimModelTest)
#include "SimModelTest.moc"
