#pragma once

// Runs the real uvq-sim program as the far side of the wire and talks to it over loopback UDP,
// acting as a minimal tool: numbered PDUs, replies matched by their echoed number, resends.
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>
#include <optional>

#include "SimProcess.h"

namespace simtest {

inline constexpr quint16 kUnitPort = 16388;

using uvq::test::SimProcess;
using uvq::test::SimProgram;

inline quint16 Word(const QByteArray& b, int at) {
  return static_cast<quint16>(static_cast<quint8>(b[at]) << 8 | static_cast<quint8>(b[at + 1]));
}
inline quint16 ReplySeq(const QByteArray& r) {
  return Word(r, 4);
}
inline quint16 ReplyId(const QByteArray& r) {
  return Word(r, 10);
}
inline quint16 ReplyStatus(const QByteArray& r) {
  return Word(r, 16);
}

// The emulator and a tool's end of the wire: PDUs sent from this address, replies read.
class SimPeer {
 public:
  explicit SimPeer(QString address) : address_(address), target_(address), sim_(address) {}

  // Starts the emulator on this peer's address (or on `bind`, a range starting with it) and
  // waits for its readiness line.
  bool start(QStringList args, const QString& bind = {}) {
    return sim_.start(std::move(args), bind) && socket_.bind(QHostAddress(address_), 0);
  }
  // Later PDUs go to `address`, another of the emulator's addresses.
  void aimAt(const QString& address) { target_ = address; }

  quint16 send(quint16 id, quint8 command, const QByteArray& payload = {}) {
    const quint16 seq = nextSeq_++;
    QByteArray pdu;
    pdu.append(char(0x5A)).append(char(0xA5));
    pdu.append(char(id >> 8)).append(char(id & 0xFF));
    pdu.append(char(seq >> 8)).append(char(seq & 0xFF));
    pdu.append(char(command)).append(payload);
    socket_.writeDatagram(pdu, QHostAddress(target_), kUnitPort);
    return seq;
  }
  void sendRaw(const QByteArray& bytes) {
    socket_.writeDatagram(bytes, QHostAddress(target_), kUnitPort);
  }

  // The next datagram of any size (including empty ones), or nothing within `ms`.
  std::optional<QByteArray> receive(int ms = 2000) {
    if (!socket_.hasPendingDatagrams() && !socket_.waitForReadyRead(ms)) return std::nullopt;
    QByteArray datagram(int(socket_.pendingDatagramSize()), Qt::Uninitialized);
    QHostAddress from;
    quint16 port = 0;
    socket_.readDatagram(datagram.data(), datagram.size(), &from, &port);
    lastFromPort_ = port;
    lastFrom_ = from.toString();
    return datagram;
  }
  // Everything that arrives until the line has been quiet for `quietMs`.
  QList<QByteArray> receiveUntilQuiet(int quietMs = 300) {
    QList<QByteArray> all;
    while (auto d = receive(quietMs)) all.append(*d);
    return all;
  }

  // One exchange as the tool does it: resend with a new number until a reply echoes the number
  // and command; stale, duplicated and malformed datagrams are skipped.
  std::optional<QByteArray> exchange(quint16 id, quint8 command, const QByteArray& payload = {},
                                     int tries = 8, int waitMs = 250) {
    for (int attempt = 0; attempt < tries; ++attempt) {
      const quint16 seq = send(id, command, payload);
      QElapsedTimer timer;
      timer.start();
      while (timer.elapsed() < waitMs) {
        const auto reply = receive(int(waitMs - timer.elapsed()));
        if (!reply) break;
        if (reply->size() >= 19 && ReplySeq(*reply) == seq && quint8((*reply)[6]) == command) {
          return reply;
        }
      }
    }
    return std::nullopt;
  }

  bool waitForOutput(const QString& text, int ms = 5000) { return sim_.waitForOutput(text, ms); }
  // Stops the emulator as an operator would (SIGTERM) and returns the whole of its stdout.
  QString stop() { return sim_.stop(); }
  int exitCode() const { return sim_.exitCode(); }
  QProcess::ExitStatus exitStatus() const { return sim_.exitStatus(); }
  quint16 lastFromPort() const { return lastFromPort_; }
  const QString& lastFrom() const { return lastFrom_; }
  const QString& address() const { return address_; }

 private:
  QString address_;
  QString target_;  // where PDUs go: address_ unless aimed elsewhere
  SimProcess sim_;
  QUdpSocket socket_;
  quint16 nextSeq_ = 0x1230;
  quint16 lastFromPort_ = 0;
  QString lastFrom_;
};

}  // namespace simtest
