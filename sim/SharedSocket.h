// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"

namespace uvq::sim {

// When a datagram reached the host: the kernel's arrival stamp (SO_TIMESTAMPNS) carried by
// `message`, turned into steady-clock time; now when there is none.
std::chrono::steady_clock::time_point ArrivalOf(const msghdr& message);

// One UDP socket for a whole range of loopback addresses: bound to the port on any address
// but to the loopback device alone, so it hears nothing from beyond loopback. Each datagram
// says which address it was sent to, and each reply leaves from the address it names, so on
// the wire this is the same as a socket per address, at a fraction of the system calls: a
// batch of datagrams is read in one call and a batch of replies sent in one.
class SharedSocket {
 public:
  // A datagram read by receive(), valid until the next receive().
  struct Received {
    const uint8_t* bytes = nullptr;
    size_t length = 0;  // its true length, even when longer than what was kept
    sockaddr_in from{};
    in_addr to{};  // the address it was sent to
    std::chrono::steady_clock::time_point arrival{};
  };

  SharedSocket();
  ~SharedSocket();
  SharedSocket(const SharedSocket&) = delete;
  SharedSocket& operator=(const SharedSocket&) = delete;

  // Binds `port` (0: any free one) on the loopback device, with room for `addresses` busy
  // addresses; false with a reason when that is not possible here (no privilege to bind to a
  // device, the port taken on one of the addresses), and the caller uses a socket per address.
  bool open(uint16_t port, size_t addresses, std::string& error);
  int fd() const { return socket_; }
  uint16_t port() const { return port_; }

  // Reads the datagrams waiting, at most one batch; empty when none is waiting.
  const std::vector<Received>& receive();
  // True when the last receive() filled a whole batch, so more may be waiting.
  bool batchWasFull() const { return received_.size() == kBatch; }

  // Queues a datagram to go out from `from` to `to` at the next flush(); `length` up to
  // kLongest bytes.
  void queue(const uint8_t* bytes, size_t length, const sockaddr_in& to, const Ipv4& from);
  // Sends everything queued, in the order queued.
  void flush();

  static constexpr size_t kLongest = 300;

 private:
  static constexpr size_t kBatch = 64;
  static constexpr size_t kMostPerSend = 1024;  // what one sendmmsg takes
  static constexpr size_t kKept = 257;          // one more than a PDU can be, so longer ones show

  struct Outgoing {
    sockaddr_in to{};
    in_addr from{};
    uint16_t length = 0;
    std::array<uint8_t, kLongest> bytes{};
  };
  using Control = std::array<char, CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(timespec))>;

  int socket_ = -1;
  uint16_t port_ = 0;
  // Reading: one buffer, address and control block per datagram of a batch.
  std::vector<std::array<uint8_t, kKept>> buffers_;
  std::vector<sockaddr_in> peers_;
  std::vector<Control> controls_;
  std::vector<iovec> inVectors_;
  std::vector<mmsghdr> inHeaders_;
  std::vector<Received> received_;
  // Sending: the queue, and per datagram its vector, source-address control block and header.
  std::vector<Outgoing> queued_;
  size_t queuedCount_ = 0;  // queued_ keeps its entries between flushes to avoid reallocating
  std::vector<iovec> outVectors_;
  std::vector<std::array<char, CMSG_SPACE(sizeof(in_pktinfo))>> outControls_;
  std::vector<mmsghdr> outHeaders_;
};

}  // namespace uvq::sim
