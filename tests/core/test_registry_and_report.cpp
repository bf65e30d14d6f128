// SPDX-License-Identifier: Apache-2.0
// Which unit a command goes to, and what a reply prints: the selection rule, the registry's
// order and bounds, the report block and the flag lines.
#include <QtTest>

#include <arpa/inet.h>

#include "WindowHarness.h"
#include "protocol/IpAddressText.h"
#include "units/Hex.h"
#include "units/StatusReport.h"
#include "units/UvqTable.h"

using namespace uvq;
using namespace uvq::test;
using protocol::ReplyImage;

static ReplyImage Image(uint16_t id, uint16_t status = 0) {
  ReplyImage img{};
  const Bytes r = Harness::reply(1, 3, id, status);
  std::copy(r.begin(), r.end(), img.begin());
  return img;
}

class RegistryAndReport : public QObject {
  Q_OBJECT
 private slots:
  void hexHelpers() {
    QCOMPARE(units::HexByte(0x0A), std::string("0A"));
    QCOMPARE(units::HexByte(0xFF), std::string("FF"));
    QCOMPARE(units::HexToInt("ab12"), 0xAB12);
    QCOMPARE(units::HexToInt(""), 0);
    QCOMPARE(units::HexToInt("G"), 16);
    QCOMPARE(units::HexToInt(" "), -16);
    QCOMPARE(units::HexToInt("\xC8"), 200 - 55);  // codes above 127 count as letters
    QCOMPARE(units::HexToInt("123456789"), int32_t(0x23456789));  // wraps at 32 bits
    // Unit IDs as checked input: padded and upper-cased, anything else refused.
    QCOMPARE(units::NormalizedUnitId("1a"), std::optional<std::string>("001A"));
    QCOMPARE(units::NormalizedUnitId("FFFF"), std::optional<std::string>("FFFF"));
    for (const char* bad : {"", "12345", "12g", " 12", "0x1", "\xC8"})
      QVERIFY2(!units::NormalizedUnitId(bad), bad);
  }

  void ipTextHasNoLeadingZeros() {
    ReplyImage img{};
    for (auto [bytes, text] :
         {std::pair{std::array<uint8_t, 4>{0, 9, 10, 99}, "0.9.10.99"},
          std::pair{std::array<uint8_t, 4>{100, 199, 200, 255}, "100.199.200.255"}}) {
      std::copy(bytes.begin(), bytes.end(), img.begin() + 12);
      QCOMPARE(units::IpText(img), std::string(text));
      QCOMPARE(protocol::Ipv4Text(bytes), std::string(text));
      in_addr address{};
      QCOMPARE(::inet_pton(AF_INET, text, &address), 1);
      QCOMPARE(protocol::Ipv4Text(address), std::string(text));
      QCOMPARE(protocol::ParseDottedAddress(text), std::optional<protocol::Ipv4Bytes>(bytes));
    }
    // Where no name may stand: plain decimal parts of 1 to 3 digits, nothing else.
    for (const char* bad : {"", "127.0.3", "127.0.3.9.1", "127.0.3.256", "127..3.9", "127.0.3.9 ",
                            "0x7f.0.0.1", "127.0.0.0001", "-1.0.0.1", "localhost"})
      QVERIFY2(!protocol::ParseDottedAddress(bad), bad);
  }

  void selectionRuleReadsTheTextNotTheCurrentItem() {
    units::UnitRegistry reg;
    for (uint16_t id : {0x0300, 0x0100, 0x0200, 0x2345, 0x0005, 0xAB12})
      reg.registerReply(Image(id));
    QCOMPARE(reg.selector().items(),
             (std::vector<std::string>{"0005", "0100", "0200", "0300", "2345", "AB12"}));
    auto select = [&](const char* text) {
      reg.selector().setText(text);
      return reg.SelectedUvqIndex();
    };
    QCOMPARE(select("0200"), 2);  // entries keep registration order
    QCOMPARE(select("0300"), 0);
    QCOMPARE(select("ab12"), 5);
    QCOMPARE(select("12345"), 3);  // higher digits ignored
    QCOMPARE(select("5"), 4);
    QCOMPARE(select(""), -1);
    QCOMPARE(select("0400"), -1);
    reg.empty();
    QCOMPARE(select("0300"), -1);  // old entries hold data but are no longer valid
  }

  void aKnownUnitKeepsItsEntryAndAnEighteenthIsRefused() {
    units::UnitRegistry reg;
    QCOMPARE(reg.registerReply(Image(0x0001, 0x0000)), units::UnitRegistry::Registration::Added);
    QCOMPARE(reg.registerReply(Image(0x0002)), units::UnitRegistry::Registration::Added);
    QCOMPARE(reg.registerReply(Image(0x0001, 0x4000)), units::UnitRegistry::Registration::Updated);
    QCOMPARE(reg.count(), 2);
    QCOMPARE(protocol::StatusWord(reg.entry(0)), uint16_t(0x4000));
    for (uint16_t id = 3; id <= 17; ++id) reg.registerReply(Image(id));
    QCOMPARE(reg.count(), 17);
    QCOMPARE(reg.registerReply(Image(18)), units::UnitRegistry::Registration::TableFull);
    QCOMPARE(reg.count(), 17);
    QCOMPARE(reg.registerReply(Image(5, 0x8000)), units::UnitRegistry::Registration::Updated);
  }

  void reportBlockHasFixedLabelsAndFlagsInPrintOrder() {
    Harness h;
    ReplyImage img = Image(0x12AB, 0x4400);
    img[4] = 0x01;
    img[5] = 0x02;
    img[18] = 0x0A;
    img[12] = 192;
    img[13] = 168;
    img[14] = 1;
    img[15] = 5;
    int loaderLines = 0;
    units::WriteReportBlock(img, h.log, [&] { ++loaderLines; });
    QCOMPARE(h.log.lines, (std::vector<std::string>{
                              "UVQ ID:              12AB",
                              "IP address:          192.168.1.5",
                              "UVQ Status:          4400",
                              "  multicast IP packet processed",
                              "  in loader mode",
                              "Control PDU Seq #:   258",
                              "Data PDU Seq #:      0A",
                              "______________________________________",
                          }));
    QCOMPARE(loaderLines, 1);
  }

  void flagLinesCoverEveryTextedBitOnce() {
    Harness h;
    units::WriteStatusFlags(0xFFFF, h.log, nullptr);
    QCOMPARE(h.log.lines.size(), size_t(15));
    QCOMPARE(h.log.lines[0], std::string("  multicast IP packet processed"));
    QCOMPARE(h.log.lines[1], std::string("  pending Reset vector"));
    QCOMPARE(h.log.lines[2], std::string("  in loader mode"));
    QCOMPARE(h.log.lines[14], std::string("  Error - missing Type 4 record"));
    h.log.lines.clear();
    units::WriteStatusFlags(0x0001, h.log, nullptr);
    units::WriteStatusFlags(0x0000, h.log, nullptr);
    QVERIFY(h.log.lines.empty());
    units::WriteStatusFlags(0x8004, h.log, nullptr);
    QCOMPARE(h.log.lines, (std::vector<std::string>{"  pending Reset vector", "  EEPROM updated"}));
  }

  void firstReportSelectsAutomaticallyLaterOnesOnlySetTheText() {
    Harness h;
    h.engine.LocateClick();
    h.answer(0, 0x0304, 0x4000, {10, 0, 0, 7});
    auto& sel = h.engine.registry().selector();
    QCOMPARE(sel.currentIndex(), 0);
    QCOMPARE(sel.text(), std::string("0304"));
    QVERIFY(h.engine.loaderMode());  // the automatic selection applied the ready state
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.7"));
    // A second unit answers the same exchange: listed in order, becomes the selected unit.
    h.engine.ProcessStatusReply(Harness::reply(0, 0, 0x0102, 0, {10, 0, 0, 9}));
    QCOMPARE(sel.items(), (std::vector<std::string>{"0102", "0304"}));
    QCOMPARE(sel.text(), std::string("0102"));
    QCOMPARE(sel.currentIndex(), 1);  // still the same item: 0304
    QCOMPARE(h.controls.text(ControlId::EIPAddr), std::string("10.0.0.9"));
  }

  void anEighteenthUnitIsLoggedNotRegistered() {
    Harness h;
    h.engine.LocateClick();
    const uint16_t seq = *h.engine.pdus().lastNumberSent();
    for (uint16_t id = 1; id <= 17; ++id)
      h.engine.ProcessStatusReply(Harness::reply(seq, 0, id, 0));
    h.takeLog();
    h.engine.ProcessStatusReply(Harness::reply(seq, 0, 0x0042, 0));
    QCOMPARE(h.engine.registry().count(), 17);
    QCOMPARE(h.log.lines.front(),
             std::string("UVQ table full (17 units): unit 0042 not registered"));
    QCOMPARE(h.engine.registry().selector().text(), std::string("0011"));  // selection kept
  }
};

QTEST_GUILESS_MAIN(RegistryAndReport)
#include "test_registry_and_report.moc"
