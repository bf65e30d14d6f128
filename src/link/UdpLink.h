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

// The one UDP socket the tool talks to units through. Bound at once to an ephemeral port on all
// local addresses; broadcast is switched off so a mistyped target cannot reach a whole network.
// Sending happens on the engine's thread, receiving on the receive thread; the socket itself
// allows both at once, and the receive time-out may be changed from either.
class UdpLink final : public Link, public DatagramSource {
 public:
  static constexpr uint16_t kDefaultPort = protocol::kUnitPort;
  static constexpr int kDefaultReceiveTimeoutMs = 1000;

  UdpLink();
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

  void sendDatagram(std::span<const uint8_t> bytes) override;
  int receiveDatagram(uint8_t* buffer, int capacity, int timeoutMs) override;
  // For the receiving thread: where the datagram it read last came from.
  std::optional<protocol::Ipv4Bytes> lastSender() const override { return lastSender_; }
  // For the sending thread: where the last datagram went (nullopt before the first send).
  std::optional<protocol::Ipv4Bytes> lastDestination() const { return lastDestination_; }

 private:
  in_addr targetAddress();

  int socket_ = -1;
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
