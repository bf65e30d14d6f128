// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/ControlPdu.h"

namespace uvq::link {

// Where the receive thread reads from: the UDP link, or a stand-in that tests use to produce
// socket errors a loopback socket cannot be made to give.
class DatagramSource {
 public:
  virtual ~DatagramSource() = default;
  // Waits up to timeoutMs (-1: the source's own receive time-out) for one datagram and copies it
  // into buffer. Returns its length, or 0 when none arrived. Throws ReceiveError on a failed
  // read; then nothing usable is in buffer.
  virtual int receiveDatagram(uint8_t* buffer, int capacity, int timeoutMs) = 0;
  // The address the datagram read last came from; nullopt when the source cannot tell.
  virtual std::optional<protocol::Ipv4Bytes> lastSender() const { return std::nullopt; }
};

}  // namespace uvq::link
