// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The unit's side in link tests: a plain UDP socket bound to its own loopback address, so test
// cases can run in parallel without hearing each other.
class LoopbackPeer {
 public:
  // Port 0 picks a free port (see port()).
  explicit LoopbackPeer(const std::string& address, uint16_t port = 16388) : address_(address) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) throw std::runtime_error("peer socket");
    sockaddr_in local = Endpoint(address, port);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      throw std::runtime_error("peer bind to " + address);
  }
  ~LoopbackPeer() { ::close(socket_); }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
  }

  // The next datagram, or nothing within timeoutMs; senderPort receives where it came from.
  std::optional<std::vector<uint8_t>> receive(int timeoutMs = 2000,
                                              uint16_t* senderPort = nullptr) {
    pollfd wait{socket_, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t length = ::recvfrom(socket_, bytes.data(), bytes.size(), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length < 0) return std::nullopt;
    lastSender_ = from;
    if (senderPort) *senderPort = ntohs(from.sin_port);
    bytes.resize(static_cast<size_t>(length));
    return bytes;
  }

  // Sends to the link's port on this peer's own loopback address (the link listens on all).
  void sendTo(uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in target = Endpoint(address_, port);
    const ssize_t sent = ::sendto(socket_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<sockaddr*>(&target), sizeof target);
    if (sent != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("peer send");
  }

  // Answers whoever sent the datagram received last, at the address it came from.
  void reply(const std::vector<uint8_t>& bytes) {
    const ssize_t sent =
        ::sendto(socket_, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&lastSender_), sizeof lastSender_);
    if (sent != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("peer reply");
  }
  // Sends to any endpoint (a forger aiming at someone else's peer).
  void sendTo(const sockaddr_in& target, const std::vector<uint8_t>& bytes) {
    const ssize_t sent = ::sendto(socket_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("peer send");
  }
  const sockaddr_in& lastSender() const { return lastSender_; }

  static sockaddr_in Endpoint(const std::string& address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
      throw std::runtime_error("bad address " + address);
    return endpoint;
  }

 private:
  std::string address_;
  int socket_ = -1;
  sockaddr_in lastSender_{};
};

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}
