// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace uvq::link {

// One unconnected UDP socket for many targets at once: replies are read many at a time
// (recvmmsg) and handed over with their sender, and the datagrams queued while a batch of
// replies is handled leave together (sendmmsg). A station with a thousand units then makes a
// few system calls per batch instead of two per record, and holds one descriptor instead of one
// per unit. Broadcast is off, as on every link of the tool.
//
// Nothing here knows the units: whoever owns the socket maps senders to targets and drops what
// comes from anywhere else (what a connected socket's kernel filter does for one target).
class SharedSocket {
 public:
  // Datagrams read or sent per system call.
  static constexpr size_t kBatch = 64;
  // Bigger than any reply, so an over-long datagram shows its real length (MSG_TRUNC).
  static constexpr size_t kDatagramCapacity = 64;

  struct Received {
    in_addr from{};
    uint16_t port = 0;    // host order
    uint32_t length = 0;  // the datagram's real length; more than kDatagramCapacity: cut
    std::array<uint8_t, kDatagramCapacity> bytes{};
  };

  // A queued datagram the system refused: its tag (as queued) and why.
  using SendFailed = std::function<void(uint64_t tag, const std::string& why)>;

  // Binds an ephemeral port on every local address. Throws PlatformError.
  SharedSocket();
  ~SharedSocket();
  SharedSocket(const SharedSocket&) = delete;
  SharedSocket& operator=(const SharedSocket&) = delete;

  int descriptor() const { return socket_; }
  uint16_t localPort() const { return localPort_; }

  // Queues one datagram (at most kDatagramCapacity bytes) to address:port (host order), sent by
  // the next flush(); a full queue is flushed first. `tag` names the sender in a failure.
  void queue(in_addr to, uint16_t port, std::span<const uint8_t> bytes, uint64_t tag);
  // Sends everything queued. A datagram the system refuses is reported to `failed` and the
  // rest still go out; a full send buffer is waited out (the socket blocks).
  void flush(const SendFailed& failed);
  size_t queued() const { return queued_; }

  // Reads what has arrived, up to kBatch datagrams, without waiting. Errors the socket
  // reports (an ICMP error from an earlier send) are no datagrams and are skipped.
  std::span<const Received> receive();

 private:
  int socket_ = -1;
  uint16_t localPort_ = 0;

  size_t queued_ = 0;
  std::array<sockaddr_in, kBatch> sendTo_{};
  std::array<std::array<uint8_t, kDatagramCapacity>, kBatch> sendBytes_{};
  std::array<iovec, kBatch> sendIov_{};
  std::array<mmsghdr, kBatch> sendHeaders_{};
  std::array<uint64_t, kBatch> sendTags_{};

  std::array<Received, kBatch> received_{};
  std::array<sockaddr_in, kBatch> receiveFrom_{};
  std::array<iovec, kBatch> receiveIov_{};
  std::array<mmsghdr, kBatch> receiveHeaders_{};
};

}  // namespace uvq::link
