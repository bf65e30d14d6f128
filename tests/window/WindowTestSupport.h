// SPDX-License-Identifier: Apache-2.0
#pragma once

// Shared by the window suites: a window aimed at a loopback "unit" played by the test itself.

#include <sys/ioctl.h>

#include <QApplication>
#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "FakePorts.h"
#include "window/Encypted_ENC_loader.h"
#include "window/MemoLog.h"

namespace uvq::window::test {

using SilentTone = uvq::test::CountingTone;

// A window aimed at `host` (always a 127.x.y.z address; the default target is never read).
inline std::unique_ptr<TForm1> MakeForm(const QString& host, SilentTone& tone) {
  FormOptions options;
  options.targetHost = host.toStdString();
  options.tone = &tone;
  options.chooseFile = [] { return std::optional<std::string>(); };
  return std::make_unique<TForm1>(std::move(options));
}

template <class W>
W* Child(QWidget& form, const char* name) {
  return form.findChild<W*>(QString::fromLatin1(name));
}

// Plays a unit on its own loopback address at the units' port.
class UnitSocket {
 public:
  static constexpr quint16 kPort = 16388;

  bool bind(const QString& address) { return socket_.bind(QHostAddress(address), kPort); }

  // Waits (handling events, so the window keeps working) for the next datagram.
  QNetworkDatagram next(int timeoutMs = 30000) {
    QElapsedTimer waited;
    waited.start();
    while (!socket_.hasPendingDatagrams() && waited.elapsed() < timeoutMs) QTest::qWait(5);
    if (!socket_.hasPendingDatagrams()) return {};
    QNetworkDatagram datagram = socket_.receiveDatagram();
    lastSender_ = datagram.senderAddress();
    lastPort_ = static_cast<quint16>(datagram.senderPort());
    return datagram;
  }
  bool hasPending() { return socket_.hasPendingDatagrams(); }

  // Answers the sender of the last datagram.
  void answer(const QByteArray& bytes) { socket_.writeDatagram(bytes, lastSender_, lastPort_); }
  quint16 lastPort() const { return lastPort_; }

 private:
  QUdpSocket socket_;
  QHostAddress lastSender_;
  quint16 lastPort_ = 0;
};

// A status reply as a unit sends it: 19 bytes up to the data sequence number.
inline QByteArray StatusReply(uint16_t sequence, uint8_t type, uint16_t id,
                              std::array<uint8_t, 4> ip, uint16_t status) {
  QByteArray reply(19, '\0');
  reply[4] = static_cast<char>(sequence >> 8);
  reply[5] = static_cast<char>(sequence & 0xFF);
  reply[6] = static_cast<char>(type);
  reply[10] = static_cast<char>(id >> 8);
  reply[11] = static_cast<char>(id & 0xFF);
  for (int i = 0; i < 4; ++i) reply[12 + i] = static_cast<char>(ip[static_cast<size_t>(i)]);
  reply[16] = static_cast<char>(status >> 8);
  reply[17] = static_cast<char>(status & 0xFF);
  return reply;
}

// The size of the next datagram waiting in socket `fd` (0: none), without reading it.
inline int PendingBytes(int fd) {
  int bytes = 0;
  return ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

// Waits, without handling events, until whatever waited in socket `fd` has been read by
// another thread (a generous bound only tells a hang from a slow machine).
inline bool WaitUntilRead(int fd, int timeoutMs = 30000) {
  QElapsedTimer waited;
  waited.start();
  while (PendingBytes(fd) != 0) {
    if (waited.elapsed() > timeoutMs) return false;
    QThread::msleep(1);
  }
  return true;
}

// The log's lines; an empty log has none (an empty first line is one line).
inline QStringList LogLines(TForm1& form) {
  if (form.memoLog().lineCount() == 0) return {};
  return Child<QPlainTextEdit>(form, "Memo1")->toPlainText().split(QLatin1Char('\n'));
}

}  // namespace uvq::window::test
