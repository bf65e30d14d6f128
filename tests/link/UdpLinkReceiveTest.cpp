// SPDX-License-Identifier: Apache-2.0
#include <arpa/inet.h>
#include <QElapsedTimer>
#include <QTest>

#include <array>

#include "LoopbackPeer.h"
#include "link/ReceiveError.h"
#include "link/UdpLink.h"

using uvq::link::ReceiveError;
using uvq::link::ReceiveFailure;
using uvq::link::UdpLink;

namespace {

// Receives into a 256-byte buffer, expecting the given failure; returns its text.
std::string ExpectFailure(UdpLink& link, ReceiveFailure expected, int capacity = 256) {
  std::array<uint8_t, 256> buffer{};
  try {
    link.receiveDatagram(buffer.data(), capacity, 2000);
  } catch (const ReceiveError& error) {
    if (error.failure() != expected) return "wrong failure kind: " + std::string(error.what());
    return error.what();
  }
  return "no failure";
}

}  // namespace

// Every case's unit side sends from its own 127.0.20.N address.
class UdpLinkReceiveTest : public QObject {
  Q_OBJECT

 private slots:
  void waitWithoutTrafficReturnsZeroAfterTheTimeOut() {
    UdpLink link;
    link.setReceiveTimeout(300);
    std::array<uint8_t, 256> buffer{};
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.receiveDatagram(buffer.data(), 256, -1), 0);
    const qint64 waited = clock.elapsed();
    QVERIFY2(waited >= 250 && waited < 2000, qPrintable(QString::number(waited)));

    clock.restart();
    QCOMPARE(link.receiveDatagram(buffer.data(), 256, 0), 0);
    QVERIFY(clock.elapsed() < 250);
  }

  void datagramsUpToTheCapacityArriveWhole() {
    LoopbackPeer unit("127.0.20.1");
    UdpLink link;
    std::array<uint8_t, 256> buffer{};
    for (size_t size : {size_t{1}, size_t{24}, size_t{256}}) {
      const std::vector<uint8_t> sent = Pattern(size, static_cast<uint8_t>(size));
      unit.sendTo(link.localPort(), sent);
      QCOMPARE(link.receiveDatagram(buffer.data(), 256, 2000), static_cast<int>(size));
      QCOMPARE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), sent);
    }
  }

  void overlongDatagramIsDetectedAndNextOneIsIntact() {
    LoopbackPeer unit("127.0.20.2");
    UdpLink link;
    unit.sendTo(link.localPort(), Pattern(257, 1));
    QCOMPARE(ExpectFailure(link, ReceiveFailure::OversizedDatagram),
             std::string("Message too long (257 bytes)"));
    unit.sendTo(link.localPort(), Pattern(300, 2));
    QCOMPARE(ExpectFailure(link, ReceiveFailure::OversizedDatagram),
             std::string("Message too long (300 bytes)"));
    // A smaller buffer is honoured too.
    unit.sendTo(link.localPort(), Pattern(25, 3));
    QCOMPARE(ExpectFailure(link, ReceiveFailure::OversizedDatagram, 24),
             std::string("Message too long (25 bytes)"));

    // The rest of an over-long datagram must not leak into the next read.
    unit.sendTo(link.localPort(), Pattern(24, 4));
    std::array<uint8_t, 256> buffer{};
    QCOMPARE(link.receiveDatagram(buffer.data(), 256, 2000), 24);
    QCOMPARE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 24), Pattern(24, 4));
  }

  void emptyDatagramIsAnError() {
    LoopbackPeer unit("127.0.20.3");
    UdpLink link;
    unit.sendTo(link.localPort(), {});
    QCOMPARE(ExpectFailure(link, ReceiveFailure::EmptyDatagram),
             std::string("UDP Receive Error = 0."));
  }

  void logLinesStayOnOneLine() {
    const ReceiveError refused(ReceiveFailure::SocketError,
                               "Socket Error # 111\nConnection refused");
    QCOMPARE(
        uvq::link::ReceiveFailureLogLine(refused),
        std::string("Receive failed, still listening: Socket Error # 111: Connection refused"));
    const ReceiveError empty(ReceiveFailure::EmptyDatagram, "UDP Receive Error = 0.");
    QCOMPARE(uvq::link::ReceiveFailureLogLine(empty),
             std::string("Datagram dropped: UDP Receive Error = 0."));
    QCOMPARE(uvq::link::ReplyHandlingLogLine("bad\r\nreply"),
             std::string("Reply handling failed: bad: reply"));
  }

  // Connected to one unit's address: a datagram from any other address is never seen, the
  // unit's own is; nobody listening there yet is no datagram and no error.
  void connectedLinkHearsOnlyItsTarget() {
    LoopbackPeer unit("127.0.20.40");
    LoopbackPeer forger("127.0.20.41");
    in_addr address{};
    ::inet_pton(AF_INET, "127.0.20.40", &address);
    UdpLink link(uvq::link::ConnectedTarget{address, unit.port()});
    QVERIFY(link.connected());
    const std::vector<uint8_t> hello{1, 2, 3};
    link.sendDatagram(hello);
    uint16_t linkPort = 0;
    QCOMPARE(unit.receive(2000, &linkPort).value(), hello);
    forger.sendTo(LoopbackPeer::Endpoint("127.0.0.1", linkPort), {9, 9, 9});
    forger.sendTo(unit.lastSender(), {9, 9, 9});
    unit.reply({4, 5});
    std::array<uint8_t, 256> buffer{};
    QCOMPARE(link.receiveDatagram(buffer.data(), 256, 2000), 2);  // the unit's, not the forger's
    QCOMPARE(buffer[0], uint8_t{4});
    QCOMPARE(link.receiveDatagram(buffer.data(), 256, 0), 0);
  }

  void connectedLinkRefusesWhatNoUnitCanBe() {
    for (const char* text : {"224.0.0.1", "255.255.255.255", "0.0.0.0"}) {
      in_addr address{};
      ::inet_pton(AF_INET, text, &address);
      QVERIFY_THROWS_EXCEPTION(uvq::PlatformError,
                               UdpLink(uvq::link::ConnectedTarget{address, 16388}));
    }
  }
};

QTEST_GUILESS_MAIN(UdpLinkReceiveTest)
#include "UdpLinkReceiveTest.moc"
