// SPDX-License-Identifier: Apache-2.0
// The bytes on the wire and the conversions operators type into: exact PDUs, the sequence
// counter at its wrap, access codes and address texts.
#include <QtTest>

#include "protocol/AccessCode.h"
#include "protocol/ControlPdu.h"
#include "protocol/IntegerText.h"
#include "protocol/IpAddressText.h"

using namespace uvq::protocol;
using Bytes = std::vector<uint8_t>;

static Bytes B(std::span<const uint8_t> s) {
  return {s.begin(), s.end()};
}

class ProtocolBytes : public QObject {
  Q_OBJECT
 private slots:
  void resetCarriesIdSequenceAndAdvancesCounter() {
    PduBuilder b;
    b.setCounter(0x0102);
    QCOMPARE(B(b.unitCommand({0x12, 0xAB}, Command::Reset)),
             (Bytes{0x5A, 0xA5, 0x12, 0xAB, 0x01, 0x02, 0x09}));
    QCOMPARE(b.counter(), uint16_t(0x0103));
    QVERIFY(b.addressed() == (UvqId{0x12, 0xAB}));
    QCOMPARE(b.lastNumberSent(), std::optional<uint16_t>(0x0102));
  }

  void counterWrapsAfter65535AndSettingItForgetsTheLastNumber() {
    PduBuilder b;
    b.setCounter(65535);
    QCOMPARE(B(b.locate()), (Bytes{0x5A, 0xA5, 0, 0, 0xFF, 0xFF, 0}));
    QCOMPARE(b.lastNumberSent(), std::optional<uint16_t>(65535));
    QCOMPARE(b.counter(), uint16_t(0));
    QCOMPARE(B(b.locate()), (Bytes{0x5A, 0xA5, 0, 0, 0, 0, 0}));
    b.setCounter(0);
    QVERIFY(!b.lastNumberSent());
  }

  void captureWithoutUnitKeepsAddressedIdAndCarriesAccessCode() {
    PduBuilder b;
    b.setAddressed({0x01, 0x02});
    const uint8_t code[] = {'a', 'b', 'c'};
    QCOMPARE(B(b.capture(std::nullopt, code)), (Bytes{0x5A, 0xA5, 0, 0, 0, 0, 3, 'a', 'b', 'c'}));
    QVERIFY(b.addressed() == (UvqId{0x01, 0x02}));
    QCOMPARE(B(b.capture(UvqId{0x03, 0x04}, {})), (Bytes{0x5A, 0xA5, 3, 4, 0, 1, 3}));
    QVERIFY(b.addressed() == (UvqId{0x03, 0x04}));
    // Locate never touches the addressed unit.
    b.locate();
    QVERIFY(b.addressed() == (UvqId{0x03, 0x04}));
  }

  void programRecordIs31BytesWithTheRecordUnchanged() {
    PduBuilder b;
    Record r;
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(0xF0 ^ i);
    const Bytes pdu = B(b.programRecord({0xAB, 0xCD}, r));
    QCOMPARE(pdu.size(), size_t(31));
    QCOMPARE(Bytes(pdu.begin(), pdu.begin() + 7), (Bytes{0x5A, 0xA5, 0xAB, 0xCD, 0, 0, 4}));
    QCOMPARE(Bytes(pdu.begin() + 7, pdu.end()), Bytes(r.begin(), r.end()));
  }

  void rejectedIpAddressStillUsesASequenceNumber() {
    PduBuilder b;
    QVERIFY(b.setIpAddress({1, 2}, std::nullopt).empty());
    QCOMPARE(b.counter(), uint16_t(1));
    QCOMPARE(B(b.setIpAddress({1, 2}, Ipv4Bytes{10, 0, 0, 5})),
             (Bytes{0x5A, 0xA5, 1, 2, 0, 1, 1, 10, 0, 0, 5}));
  }

  void integerTextFollowsTheOperatorConversionRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("decimal") << "255" << true << 255;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("leading blanks") << "  12" << true << 12;
    QTest::newRow("plus") << "+4" << true << 4;
    QTest::newRow("minus") << "-4" << true << -4;
    QTest::newRow("dollar hex") << "$1F" << true << 31;
    QTest::newRow("0x hex") << "0x0A" << true << 10;
    QTest::newRow("X hex") << "X0a" << true << 10;
    QTest::newRow("hex wraps") << "$FFFFFFFF" << true << -1;
    QTest::newRow("int min") << "-2147483648" << true << int(INT32_MIN);
    QTest::newRow("beyond int") << "2147483648" << false << 0;
    QTest::newRow("too many hex digits") << "$100000000" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("blank only") << " " << false << 0;
    QTest::newRow("trailing blank") << "12 " << false << 0;
    QTest::newRow("sign then hex") << "-$1" << false << 0;
    QTest::newRow("bare prefix") << "0x" << false << 0;
    QTest::newRow("letters") << "1a" << false << 0;
  }
  void integerTextFollowsTheOperatorConversionRule() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    const auto parsed = ParseIntegerText(text.toStdString());
    QCOMPARE(parsed.has_value(), ok);
    if (ok) QCOMPARE(*parsed, value);
  }

  void unitIpAddressNeedsFourPartsInByteRange_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("bytes");  // empty when refused
    QTest::newRow("plain") << "10.0.0.5"
                           << "10.0.0.5";
    QTest::newRow("hex parts") << "0x0A.0.0.5"
                               << "10.0.0.5";
    QTest::newRow("dollar hex") << "$0A.0.0.5"
                                << "10.0.0.5";
    QTest::newRow("256") << "10.0.0.256"
                         << "";
    QTest::newRow("three parts") << "10.0.0"
                                 << "";
    QTest::newRow("empty part") << "10..0.5"
                                << "";
    QTest::newRow("trailing blank") << "10.0.0.5 "
                                    << "";
    QTest::newRow("trailing dot") << "10.0.0.5."
                                  << "";
    QTest::newRow("negative part refused") << "10.0.0.-1"
                                           << "";
    QTest::newRow("hex that wraps negative") << "10.0.0.$FFFFFFFF"
                                             << "";
  }
  void unitIpAddressNeedsFourPartsInByteRange() {
    QFETCH(QString, text);
    QFETCH(QString, bytes);
    const auto parsed = ParseUnitIpAddress(text.toStdString());
    QCOMPARE(parsed.has_value(), !bytes.isEmpty());
    if (parsed) {
      QCOMPARE(QString("%1.%2.%3.%4")
                   .arg((*parsed)[0])
                   .arg((*parsed)[1])
                   .arg((*parsed)[2])
                   .arg((*parsed)[3]),
               bytes);
    }
  }

  void accessCodeIsLatin1BytesThatFitTheBuffer() {
    const AccessCode plain("k3y");
    QVERIFY(plain.ok());
    QCOMPARE(Bytes(plain.bytes().begin(), plain.bytes().end()), (Bytes{'k', '3', 'y'}));
    const AccessCode latin("\xC3\xA9t\xC3\xA9");  // "été" in UTF-8
    QVERIFY(latin.ok());
    QCOMPARE(Bytes(latin.bytes().begin(), latin.bytes().end()), (Bytes{0xE9, 't', 0xE9}));
    QVERIFY(AccessCode(std::string(249, 'x')).ok());
    const AccessCode tooLong(std::string(250, 'x'));
    QVERIFY(!tooLong.ok());
    QVERIFY(tooLong.bytes().empty());
    QVERIFY(!AccessCode("\xE2\x82\xAC").ok());  // the euro sign has no Latin-1 byte
    QVERIFY(!AccessCode("\xFF").ok());          // malformed UTF-8
  }
};

QTEST_GUILESS_MAIN(ProtocolBytes)
#include "test_protocol_bytes.moc"
