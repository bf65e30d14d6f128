// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/CommandCode.h"
#include "protocol/PduLayout.h"
#include "protocol/ReplyLayout.h"

namespace uvq::protocol {

using Record = std::array<uint8_t, kRecordSize>;
using Ipv4Bytes = std::array<uint8_t, 4>;

// Builds control PDUs in one reused transmit buffer. Owns the control sequence counter (the
// number the next PDU carries) and the addressed UVQ ID. Each builder returns the bytes to send;
// an empty span means nothing is to be sent.
class PduBuilder {
 public:
  uint16_t counter() const { return counter_; }
  // Setting the counter forgets the last number: no reply is accepted until a PDU is built.
  void setCounter(uint16_t value) {
    counter_ = value;
    lastNumber_.reset();
  }
  // The number of the last PDU built since the counter was last set, which a reply must echo.
  std::optional<uint16_t> lastNumberSent() const { return lastNumber_; }
  // The command of the last PDU built: a reply answers it with the same code as its type.
  Command lastCommand() const { return lastCommand_; }
  // Every PDU ever built, without the 16-bit wrap: differences give PDUs sent since a moment.
  uint64_t pdusBuilt() const { return built_; }
  UvqId addressed() const { return addressed_; }
  void setAddressed(UvqId id) { addressed_ = id; }

  // Reset, invalidate and the erase commands: 7 bytes to a selected unit.
  std::span<const uint8_t> unitCommand(UvqId unit, Command command);
  std::span<const uint8_t> programRecord(UvqId unit, const Record& record);
  // The header is built (and a number used up) before the address is known to be valid, so a
  // rejected address still advances the counter; then the result is empty.
  std::span<const uint8_t> setIpAddress(UvqId unit, const std::optional<Ipv4Bytes>& address);
  // Capture goes out without a selected unit too, with ID 0000 and the addressed ID untouched.
  // The caller has checked that the access code fits (kMaxAccessCodeLength).
  std::span<const uint8_t> capture(const std::optional<UvqId>& unit,
                                   std::span<const uint8_t> accessCode);
  std::span<const uint8_t> locate();

 private:
  void writeHeader(UvqId idOnWire, Command command);
  std::span<const uint8_t> bytes(size_t length) const { return {buffer_.data(), length}; }

  std::array<uint8_t, kTransmitBufferSize> buffer_{};
  uint16_t counter_ = 0;
  std::optional<uint16_t> lastNumber_;
  Command lastCommand_ = Command::Locate;
  uint64_t built_ = 0;
  UvqId addressed_{};
};

}  // namespace uvq::protocol
