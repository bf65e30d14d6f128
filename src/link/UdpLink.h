// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/DatagramSource.h"
#include "ports/Ports.h"
#include "protocol/CommandCode.h"

namespace uvq::link {

// One unit's address, for a link that hears nobody else.
struct ConnectedTarget {
  in_addr address{};
  uint16_t port = protocol::kUnitPort;
};

// The UDP socket the tool talks to units through; broadcast is switched off so a mistyped target
// cannot reach a whole network, and a multicast, broadcast or empty target is refused before
// anything goes out. Two ways to receive:
// - open (the window): bound to an ephemeral port on all local addresses, sending to the host
//   set last and taking replies from whichever address answers;
// - connected (the command line, one link per target): the kernel delivers only datagrams from
//   exactly the target's address and port, so a reply forged from another address is never
//   seen, and sends need no route look-up per datagram.
// Sending happens on the engine's thread, receiving on the receive thread; the socket itself
// allows both at once, and the receive time-out may be changed from either.
class UdpLink final : public Link, public DatagramSource {
 public:
  static constexpr uint16_t kDefaultPort = protocol::kUnitPort;
  static constexpr int kDefaultReceiveTimeoutMs = 1000;

  UdpLink();
  // Throws PlatformError when the target is unusable or the socket cannot be connected.
  explicit UdpLink(ConnectedTarget target);
  ~UdpLink() override;
  UdpLink(const UdpLink&) = delete;
  UdpLink& operator=(const UdpLink&) = delete;

  // The target: "LOCALHOST" (any case), a dotted address, or a host name looked up per datagram.
  // A multicast address, 255.255.255.255 or 0.0.0.0, given or looked up, makes every send throw
  // PlatformError ("Refusing to send to ...") before anything goes out.
  void setHost(std::string host);
  const std::string& host() const { return host_; }
  void setPort(uint16_t port) { port_ = port; }
  uint16_t port() const { return port_; }
  void setReceiveTimeout(int milliseconds) { receiveTimeoutMs_.store(milliseconds); }
  int receiveTimeout() const { return receiveTimeoutMs_.load(); }
  uint16_t localPort() const { return localPort_; }
  // For front ends that wait on several links at once with poll().
  int socketHandle() const { return socket_; }

  bool connected() const { return connected_; }
  // A send the system refused; the next datagram would most likely fail the same way.
  bool failed() const { return failed_; }
  // Gives the descriptor back early (a finished scan target); the link sends nothing more.
  void close();

  void sendDatagram(std::span<const uint8_t> bytes) override;
  // Connected: a "port unreachable" from the target (nobody listens there yet) is no datagram.
  int receiveDatagram(uint8_t* buffer, int capacity, int timeoutMs) override;
  // For the receiving thread: where the datagram it read last came from.
  std::optional<protocol::Ipv4Bytes> lastSender() const override { return lastSender_; }
  // For the sending thread: where the last datagram went (nullopt before the first send).
  std::optional<protocol::Ipv4Bytes> lastDestination() const { return lastDestination_; }

 private:
  in_addr targetAddress();

  int socket_ = -1;
  bool connected_ = false;
  bool failed_ = false;
  std::string host_;
  uint16_t port_ = kDefaultPort;
  std::atomic<int> receiveTimeoutMs_{kDefaultReceiveTimeoutMs};
  uint16_t localPort_ = 0;
  // A numeric or LOCALHOST target cannot change while host_ stays the same, so it is worked out
  // once; a host name is looked up for every datagram.
  bool cachedValid_ = false;
  in_addr cached_{};
  // The receive time-out last set on the socket; touched by the receiving thread only.
  int appliedTimeoutMs_ = 0;
  std::optional<protocol::Ipv4Bytes> lastSender_;       // receiving thread only
  std::optional<protocol::Ipv4Bytes> lastDestination_;  // sending thread only
};

}  // namespace uvq::link
