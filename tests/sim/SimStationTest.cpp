// SPDX-License-Identifier: Apache-2.0
// A station of many addresses sharing one socket, driven in-process: every reply must leave
// from the address that was asked, or a tool's connected socket never sees it.
// Before Qt's headers, whose "emit" keyword would swallow the server's emit().
#include "SimStation.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtTest>
#include <array>
#include <cstdlib>
#include <optional>
#include <thread>

using namespace uvq::sim;

namespace {

constexpr uint8_t kLocate = 0;

// A tool's end of the wire: a socket on 127.0.87.1 connected to one address, so the kernel
// hands it only datagrams from exactly that address and port.
class ConnectedClient {
 public:
  ConnectedClient(const std::string& address, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.87.1", &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &remote.sin_addr);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  }
  ~ConnectedClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }

  bool sendLocate(uint16_t id, uint16_t seq) {
    const std::array<uint8_t, 7> pdu{
        0x5A, 0xA5, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq), kLocate};
    return ::send(fd_, pdu.data(), pdu.size(), 0) == ssize_t(pdu.size());
  }
  // The next datagram from the connected address; nothing after a generous wait.
  std::optional<QByteArray> receive(int ms = 30000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return std::nullopt;
    QByteArray bytes(512, '\0');
    const ssize_t n = ::recv(fd_, bytes.data(), size_t(bytes.size()), 0);
    if (n < 0) return std::nullopt;
    bytes.resize(int(n));
    return bytes;
  }
  bool nothingWaiting() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

// Serves the station on a thread of its own until the test ends.
class RunningStation {
 public:
  explicit RunningStation(SimStation& station) : station_(station) {
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { station_.run(stop_); });
  }
  ~RunningStation() {
    const uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) != sizeof one) std::abort();  // would never stop
    thread_.join();
    ::close(stop_);
  }

 private:
  SimStation& station_;
  int stop_ = -1;
  std::thread thread_;
};

quint16 Word(const QByteArray& b, int at) {
  return quint16(quint8(b[at]) << 8 | quint8(b[at + 1]));
}

}  // namespace

class SimStationTest : public QObject {
  Q_OBJECT
 private slots:
  void sharedSocketAnswersFromTheAddressAsked_data();
  void sharedSocketAnswersFromTheAddressAsked();
};

void SimStationTest::sharedSocketAnswersFromTheAddressAsked_data() {
  QTest::addColumn<unsigned>("delayMs");
  QTest::addColumn<bool>("portHeldElsewhere");
  QTest::newRow("at once") << 0u << false;
  QTest::newRow("late") << 3u << false;  // through the wake-up heap and the arrival stamps
  // Another program holds the port on a loopback address outside the range: the station
  // cannot have the port on every address, and serves with a socket per address instead.
  QTest::newRow("port held elsewhere") << 0u << true;
}

void SimStationTest::sharedSocketAnswersFromTheAddressAsked() {
  QFETCH(unsigned, delayMs);
  QFETCH(bool, portHeldElsewhere);
  const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in held{};
  held.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.87.100", &held.sin_addr);
  socklen_t heldLength = sizeof held;
  if (portHeldElsewhere) {
    QVERIFY(::bind(holder, reinterpret_cast<sockaddr*>(&held), sizeof held) == 0);
    QVERIFY(::getsockname(holder, reinterpret_cast<sockaddr*>(&held), &heldLength) == 0);
  }
  const auto closeHolder = qScopeGuard([holder] { ::close(holder); });
  SimOptions options;
  options.bind = {127, 0, 87, 16};
  options.addresses = 32;  // 127.0.87.16-127.0.87.47
  // A free port, which the shared socket holds on every address; or the one held elsewhere.
  options.port = portHeldElsewhere ? ntohs(held.sin_port) : 0;
  options.units = 2;
  options.firstUnit.id = 0x0400;
  options.sameId = true;
  options.quiet = true;
  options.oneSocket = true;
  options.faults.delayMs = delayMs;
  SimStation station(options);
  std::string error;
  QVERIFY2(station.open(error), error.c_str());
  if (portHeldElsewhere) {
    QVERIFY(!station.sharesSocket());
  } else if (!station.sharesSocket()) {
    QSKIP("binding to the loopback device is not allowed here");
  }
  const uint16_t port = station.servers().front()->boundPort();
  QVERIFY(port != 0);
  RunningStation running(station);

  // Outside the range, on the same port: the shared socket hears it, nobody may answer it.
  ConnectedClient outside("127.0.87.48", port);
  QVERIFY(outside.ok());
  if (!portHeldElsewhere) QVERIFY(outside.sendLocate(0x0400, 1));

  const std::array<int, 4> asked{16, 17, 30, 47};
  std::vector<std::unique_ptr<ConnectedClient>> clients;
  for (const int last : asked) {
    clients.push_back(std::make_unique<ConnectedClient>("127.0.87." + std::to_string(last), port));
    QVERIFY(clients.back()->ok());
  }
  // All asked at once, so their replies go out together.
  for (size_t i = 0; i < clients.size(); ++i)
    QVERIFY(clients[i]->sendLocate(0x0401, uint16_t(0x100 + i)));
  for (size_t i = 0; i < clients.size(); ++i) {
    const auto reply = clients[i]->receive();
    QVERIFY2(reply, qPrintable(QString("no reply from 127.0.87.%1").arg(asked[i])));
    QCOMPARE(reply->size(), 20);
    QCOMPARE(Word(*reply, 4), quint16(0x100 + i));  // its own number echoed
    QCOMPARE(Word(*reply, 10), quint16(0x0401));
    QCOMPARE(quint8((*reply)[15]), quint8(asked[i] + 1));  // the second unit of that address
  }
  // The outside datagram came first and every reply after it has arrived, so an answer to
  // it would be here by now.
  if (!portHeldElsewhere) QVERIFY(outside.nothingWaiting());
  for (const auto& client : clients) QVERIFY(client->nothingWaiting());
}

QTEST_GUILESS_MAIN(SimStationTest)
#include "SimStationTest.moc"
