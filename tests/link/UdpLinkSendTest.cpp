// SPDX-License-Identifier: Apache-2.0
#include <QTest>

#include "LoopbackPeer.h"
#include "link/UdpLink.h"

using uvq::PlatformError;
using uvq::link::UdpLink;

// Every case talks to its own 127.0.10.N address.
class UdpLinkSendTest : public QObject {
  Q_OBJECT

 private slots:
  void numericHostReceivesDatagramByteForByte_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("peerAddress");
    QTest::newRow("dotted decimal") << "127.0.10.1"
                                    << "127.0.10.1";
    QTest::newRow("parts in the operator's number forms") << "0x7F.0.$A.+2"
                                                          << "127.0.10.2";
    QTest::newRow("leading blanks in parts") << " 127. 0.10.3"
                                             << "127.0.10.3";
  }
  void numericHostReceivesDatagramByteForByte() {
    QFETCH(QString, host);
    QFETCH(QString, peerAddress);
    LoopbackPeer unit(peerAddress.toStdString());  // default unit port 16388
    UdpLink link;
    link.setHost(host.toStdString());
    const std::vector<uint8_t> record = Pattern(24, 3);
    link.sendDatagram(record);
    QCOMPARE(unit.receive(), record);
  }

  void localhostInAnyCaseMeansLoopbackAddress() {
    LoopbackPeer unit("127.0.0.1", 0);
    UdpLink link;
    link.setPort(unit.port());
    for (const char* host : {"localhost", "LoCaLhOsT", "LOCALHOST"}) {
      link.setHost(host);
      const std::vector<uint8_t> bytes = Pattern(7, static_cast<uint8_t>(host[1]));
      link.sendDatagram(bytes);
      QCOMPARE(unit.receive(), bytes);
    }
  }

  void changedHostTakesEffectForNextDatagramFromSameLocalPort() {
    LoopbackPeer first("127.0.10.4");
    LoopbackPeer second("127.0.10.5");
    UdpLink link;
    const uint16_t localPort = link.localPort();
    QVERIFY(localPort != 0);

    link.setHost("127.0.10.4");
    link.sendDatagram(Pattern(24, 1));
    uint16_t from = 0;
    QCOMPARE(first.receive(2000, &from), Pattern(24, 1));
    QCOMPARE(from, localPort);

    link.setHost("127.0.10.5");
    link.sendDatagram(Pattern(24, 2));
    QCOMPARE(second.receive(2000, &from), Pattern(24, 2));
    QCOMPARE(from, localPort);
    QCOMPARE(link.localPort(), localPort);
    QVERIFY(!first.receive(200));
  }

  void unresolvableNameThrowsAndLinkStaysUsable() {
    LoopbackPeer unit("127.0.10.6");
    UdpLink link;
    // A label longer than 63 characters cannot be encoded into a query, so the failing look-up
    // sends nothing anywhere.
    link.setHost(std::string(70, 'q') + ".invalid");
    try {
      link.sendDatagram(Pattern(24, 0));
      QFAIL("an unresolvable host was accepted");
    } catch (const PlatformError& error) {
      QCOMPARE(std::string(error.what()), std::string("Socket Error # 11001\nHost not found."));
    }
    link.setHost("");
    QVERIFY_THROWS_EXCEPTION(PlatformError, link.sendDatagram(Pattern(24, 0)));
    // Out-of-range parts are not an address; they fall to the name look-up and fail there.
    link.setHost("127.0.10.256");
    QVERIFY_THROWS_EXCEPTION(PlatformError, link.sendDatagram(Pattern(24, 0)));

    link.setHost("127.0.10.6");
    link.sendDatagram(Pattern(24, 9));
    QCOMPARE(unit.receive(), Pattern(24, 9));
  }

  void broadcastAddressIsRefused() {
    // 127.255.255.255 is the loopback network's broadcast address; only a socket with broadcast
    // switched on may send to it (a limited broadcast would leave loopback, so it is not tried).
    UdpLink link;
    link.setHost("127.255.255.255");
    try {
      link.sendDatagram(Pattern(24, 0));
      QFAIL("a broadcast went out");
    } catch (const PlatformError& error) {
      QCOMPARE(std::string(error.what()), std::string("Socket Error # 13\nPermission denied"));
    }
  }

  void targetsNoUnitCanBeAtAreRefusedBeforeSending_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("error");
    QTest::newRow("multicast") << "224.0.0.1"
                               << "Refusing to send to multicast address 224.0.0.1";
    QTest::newRow("multicast, top of range") << "239.255.255.250"
                                             << "Refusing to send to multicast address "
                                                "239.255.255.250";
    QTest::newRow("multicast in the operator's number forms")
        << "0xE0.0.0.$FB"
        << "Refusing to send to multicast address 224.0.0.251";
    QTest::newRow("limited broadcast") << "255.255.255.255"
                                       << "Refusing to send to broadcast address 255.255.255.255";
    QTest::newRow("no address") << "0.0.0.0"
                                << "Refusing to send to address 0.0.0.0";
    // Not dotted parts, so these go through the name look-up, which reads them as numbers.
    QTest::newRow("looked up: multicast") << "3758096385"
                                          << "Refusing to send to multicast address 224.0.0.1";
    QTest::newRow("looked up: limited broadcast")
        << "4294967295"
        << "Refusing to send to broadcast address 255.255.255.255";
    QTest::newRow("looked up: no address") << "0"
                                           << "Refusing to send to address 0.0.0.0";
  }
  void targetsNoUnitCanBeAtAreRefusedBeforeSending() {
    QFETCH(QString, host);
    QFETCH(QString, error);
    LoopbackPeer unit("127.0.10.8");
    UdpLink link;
    link.setHost(host.toStdString());
    // Twice: a refused numeric target must not slip through on the second send either.
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        link.sendDatagram(Pattern(24, 0));
        QFAIL("the datagram was sent");
      } catch (const PlatformError& refused) {
        // The system's own errors read "Socket Error # ...": this text means no sendto happened.
        QCOMPARE(QString::fromStdString(refused.what()), error);
      }
    }
    link.setHost("127.0.10.8");
    link.sendDatagram(Pattern(24, 5));
    QCOMPARE(unit.receive(), Pattern(24, 5));
  }

  void oversizedDatagramIsRefusedWithItsOwnText() {
    LoopbackPeer unit("127.0.10.7");
    UdpLink link;
    link.setHost("127.0.10.7");
    const std::vector<uint8_t> huge(70000, 0xAA);
    try {
      link.sendDatagram(huge);
      QFAIL("a datagram beyond the UDP limit was accepted");
    } catch (const PlatformError& error) {
      QCOMPARE(std::string(error.what()), std::string("Package Size Too Big."));
    }
    QVERIFY(!unit.receive(200));
  }
};

QTEST_GUILESS_MAIN(UdpLinkSendTest)
#include "UdpLinkSendTest.moc"
