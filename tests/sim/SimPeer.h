// SPDX-License-Identifier: Apache-2.0
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
  std::optional<QByteArray> receive(int ms = 30000) {
    if (!socket_.hasPendingDatagrams() && !socket_.waitForReadyRead(ms)) return std::nullopt;
    QByteArray datagram(int(socket_.pendingDatagramSize()), Qt::Uninitialized);
    QHostAddress from;
    quint16 port = 0;
    socket_.readDatagram(datagram.data(), datagram.size(), &from, &port);
    lastFromPort_ = port;
    lastFrom_ = from.toString();
    return datagram;
  }
  // The next `count` datagrams (each awaited for a generous while), then any that came with
  // them: once the emulator has taken everything sent so far, every reply it sent at once is
  // here, so a reply too many shows. Replies it holds back (a delay, a reorder) are not waited
  // for beyond `count`.
  QList<QByteArray> receiveReplies(int count, int ms = 30000) {
    QList<QByteArray> all;
    for (int i = 0; i < count; ++i) {
      auto d = receive(ms);
      if (!d) return all;
      all.append(*d);
    }
    if (!sim_.sync()) return all;
    while (socket_.hasPendingDatagrams()) all.append(*receive(0));
    return all;
  }

  // One exchange: resend with a new number until a reply echoes one of the numbers sent for
  // it and the command; stale, duplicated and malformed datagrams are skipped. A late answer
  // to an earlier try counts, so a slow machine costs resends, not the exchange.
  std::optional<QByteArray> exchange(quint16 id, quint8 command, const QByteArray& payload = {},
                                     int tries = 40, int waitMs = 250) {
    QList<quint16> sent;
    for (int attempt = 0; attempt < tries; ++attempt) {
      sent.append(send(id, command, payload));
      QElapsedTimer timer;
      timer.start();
      while (timer.elapsed() < waitMs) {
        const auto reply = receive(int(waitMs - timer.elapsed()));
        if (!reply) break;
        if (reply->size() >= 19 && sent.contains(ReplySeq(*reply)) &&
            quint8((*reply)[6]) == command) {
          return reply;
        }
      }
    }
    return std::nullopt;
  }
  // Nothing more comes: the emulator has taken everything sent so far and sent nothing back
  // (see receiveReplies()).
  bool nothingMore() { return sim_.sync() && !socket_.hasPendingDatagrams(); }

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
