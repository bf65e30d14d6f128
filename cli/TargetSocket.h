#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <span>

#include "ports/Ports.h"

namespace uvq::cli {

// One target's UDP socket, connected to the unit's address and port: the kernel then delivers
// only datagrams from exactly there, so a reply forged from another address can never be taken
// for the unit's answer. Sends go out with send(), without a route lookup per datagram.
// Broadcast stays off, so a broadcast address is refused by the system rather than flooded.
class TargetSocket final : public Link {
 public:
  // Throws PlatformError when the socket cannot be made or connected.
  TargetSocket(in_addr address, uint16_t port);
  ~TargetSocket() override;
  TargetSocket(const TargetSocket&) = delete;
  TargetSocket& operator=(const TargetSocket&) = delete;

  int handle() const { return socket_; }
  // The local port replies come to (for tests and messages).
  uint16_t localPort() const { return localPort_; }

  // Throws PlatformError when the system refuses the datagram, and remembers that it did.
  void sendDatagram(std::span<const uint8_t> bytes) override;
  bool failed() const { return failed_; }

  // One datagram into `buffer`, waiting up to `waitMs` for it (0: only what is there). Returns
  // its length, 0 when none came (time-out, a signal, or the target's port unreachable). Throws
  // link::ReceiveError for an empty or over-long datagram and for other socket errors.
  int receive(uint8_t* buffer, int capacity, int waitMs);

  // Gives the descriptor back early (a finished scan target); later calls do nothing useful.
  void close();

 private:
  int socket_ = -1;
  uint16_t localPort_ = 0;
  int appliedWaitMs_ = 0;
  bool failed_ = false;
};

}  // namespace uvq::cli
