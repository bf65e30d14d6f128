// SPDX-License-Identifier: Apache-2.0
#include <poll.h>

#include <QTest>
#include <memory>

#include "LoopbackPeer.h"
#include "link/SharedSocket.h"

using uvq::link::SharedSocket;

namespace {

in_addr AddressOf(const std::string& text) {
  in_addr address{};
  inet_pton(AF_INET, text.c_str(), &address);
  return address;
}

bool Readable(int descriptor, int timeoutMs) {
  pollfd wait{descriptor, POLLIN, 0};
  return ::poll(&wait, 1, timeoutMs) > 0;
}

}  // namespace

// Every case talks to its own 127.0.61.N addresses.
class SharedSocketTest : public QObject {
  Q_OBJECT

 private slots:
  // More datagrams than one batch: each reaches its own peer byte for byte from the socket's
  // port, and every answer comes back with the address it came from.
  void manyPeersEachGetTheirsAndAnswersNameTheirSender() {
    constexpr int kPeers = 150;
    std::vector<std::unique_ptr<LoopbackPeer>> peers;
    for (int i = 0; i < kPeers; ++i)
      peers.push_back(
          std::make_unique<LoopbackPeer>("127.0.61." + std::to_string(i + 1), uint16_t{16388}));
    SharedSocket socket;
    QVERIFY(socket.localPort() != 0);
    for (int i = 0; i < kPeers; ++i) {
      const std::vector<uint8_t> bytes = Pattern(24, static_cast<uint8_t>(i));
      socket.queue(AddressOf("127.0.61." + std::to_string(i + 1)), 16388, bytes,
                   static_cast<uint64_t>(i));
    }
    QVERIFY(socket.queued() > 0);
    std::vector<uint64_t> failures;
    socket.flush([&](uint64_t tag, const std::string&) { failures.push_back(tag); });
    QCOMPARE(socket.queued(), size_t{0});
    QVERIFY(failures.empty());

    for (int i = 0; i < kPeers; ++i) {
      uint16_t from = 0;
      QCOMPARE(peers[static_cast<size_t>(i)]->receive(5000, &from),
               std::optional(Pattern(24, static_cast<uint8_t>(i))));
      QCOMPARE(from, socket.localPort());
      peers[static_cast<size_t>(i)]->reply(Pattern(12, static_cast<uint8_t>(i + 1)));
    }
    std::vector<int> answered(kPeers, 0);
    int total = 0;
    while (total < kPeers && Readable(socket.descriptor(), 5000)) {
      for (const SharedSocket::Received& r : socket.receive()) {
        char text[INET_ADDRSTRLEN]{};
        inet_ntop(AF_INET, &r.from, text, sizeof text);
        const std::string sender(text);
        QVERIFY(sender.rfind("127.0.61.", 0) == 0);
        const int i = std::stoi(sender.substr(9)) - 1;
        QCOMPARE(r.port, uint16_t{16388});
        QCOMPARE(r.length, uint32_t{12});
        QCOMPARE(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 12),
                 Pattern(12, static_cast<uint8_t>(i + 1)));
        ++answered[static_cast<size_t>(i)];
        ++total;
      }
    }
    QCOMPARE(total, kPeers);
    for (int count : answered) QCOMPARE(count, 1);
  }

  // An over-long datagram says its real length: the owner can tell it from a reply.
  void overLongDatagramShowsItsRealLength() {
    LoopbackPeer peer("127.0.61.201", 16388);
    SharedSocket socket;
    peer.sendTo(socket.localPort(), Pattern(300, 7));
    QVERIFY(Readable(socket.descriptor(), 5000));
    const auto received = socket.receive();
    QCOMPARE(received.size(), size_t{1});
    QCOMPARE(received[0].length, uint32_t{300});
  }
};

QTEST_APPLESS_MAIN(SharedSocketTest)
#include "SharedSocketTest.moc"
