// SPDX-License-Identifier: Apache-2.0
// Which address texts the link takes without a name look-up, and which of them a unit may be
// re-addressed to. No sockets.

#include <QTest>

#include <arpa/inet.h>

#include "link/NumericHost.h"
#include "link/UnusableTarget.h"
#include "protocol/IpAddressText.h"

using uvq::link::NumericHost;
using uvq::link::UnusableTargetReason;
using uvq::protocol::ParseUnitIpAddress;

class UdpLinkTargetRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void unitAddressesThatWouldLoseTheUnitAreRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("usable");
    QTest::newRow("ordinary") << "10.1.2.3" << true;
    QTest::newRow("loopback, where the emulator runs") << "127.0.0.1" << true;
    QTest::newRow("lowest usable") << "1.0.0.0" << true;
    QTest::newRow("highest usable") << "223.255.255.255" << true;
    QTest::newRow("no address") << "0.0.0.0" << false;
    QTest::newRow("this network") << "0.1.2.3" << false;
    QTest::newRow("reserved") << "240.0.0.1" << false;
    QTest::newRow("multicast, lowest") << "224.0.0.0" << false;
    QTest::newRow("multicast, all hosts") << "224.0.0.1" << false;
    QTest::newRow("multicast, highest") << "239.255.255.255" << false;
    QTest::newRow("reserved, lowest") << "240.0.0.0" << false;
    QTest::newRow("limited broadcast") << "255.255.255.255" << false;
    QTest::newRow("multicast in hexadecimal parts") << "$E0.0.0.1" << false;
  }
  void unitAddressesThatWouldLoseTheUnitAreRefused() {
    QFETCH(QString, text);
    QFETCH(bool, usable);
    QCOMPARE(ParseUnitIpAddress(text.toStdString()).has_value(), usable);
    // One rule: an address no unit may be given is one no datagram is sent to.
    const auto address = NumericHost(text.toStdString());
    QVERIFY(address);
    QCOMPARE(!UnusableTargetReason(*address).has_value(), usable);
  }

  void loopbackIsANewAddressOnlyForAUnitOnLoopback() {
    using uvq::protocol::NewAddressRefusal;
    const uvq::protocol::Ipv4Bytes loopback{127, 0, 0, 1}, lan{10, 1, 2, 3};
    QVERIFY(NewAddressRefusal(loopback, lan).value().find("loopback") != std::string::npos);
    QVERIFY(NewAddressRefusal(loopback, std::nullopt));
    QVERIFY(!NewAddressRefusal(loopback, uvq::protocol::Ipv4Bytes{127, 0, 3, 1}));
    QVERIFY(!NewAddressRefusal(lan, loopback));
    QVERIFY(NewAddressRefusal({240, 0, 0, 1}, loopback).value().find("reserved") !=
            std::string::npos);
  }

  void linkTakesEveryDottedAddressWithoutLookUp() {
    // The link must see 224.0.0.1 as an address (to refuse it by name), not as a host name.
    for (const char* text : {"224.0.0.1", "0.0.0.0", "255.255.255.255", "$E0.0.0.1"}) {
      const auto address = NumericHost(text);
      QVERIFY2(address.has_value(), text);
      in_addr expected{};
      QVERIFY(::inet_aton(text[0] == '$' ? "224.0.0.1" : text, &expected));
      QCOMPARE(address->s_addr, expected.s_addr);
    }
    QVERIFY(!NumericHost("224.0.0.256"));
    QVERIFY(!NumericHost("unit.example"));
  }
};

QTEST_GUILESS_MAIN(UdpLinkTargetRulesTest)
#include "UdpLinkTargetRulesTest.moc"
