// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ProgramMemory.h"
#include "protocol/CommandCode.h"

namespace uvq::sim {

using Ipv4 = std::array<uint8_t, 4>;

struct UnitConfig {
  uint16_t id = 0x0100;
  Ipv4 ip{127, 0, 0, 1};
  bool startInLoaderMode = false;
  std::string accessCode;  // empty: the unit has no code and ignores a capture's payload
  bool captureNeedsCode = false;
};

// What one PDU did to the unit, for the reply and for the server's bookkeeping.
struct UnitAnswer {
  bool reply = true;  // false: the unit does not answer this command at all
  uint16_t status = 0;
  bool imageCompleted = false;  // an end record closed an image just now
};

// One emulated unit: its mode, status and memories, and how each command changes them.
// Records are decoded in place; nothing here allocates per record once memory has grown.
class UnitModel {
 public:
  explicit UnitModel(const UnitConfig& config);

  uint16_t id() const { return config_.id; }
  const Ipv4& ip() const { return ip_; }
  bool inLoaderMode() const { return loaderMode_; }
  // The "Data PDU" number of the reply: records accepted, modulo 256.
  uint8_t dataSequence() const { return static_cast<uint8_t>(recordsAccepted_); }
  // Program record PDUs received so far (counting from 1 for the first).
  uint32_t recordsReceived() const { return recordsReceived_; }
  const ProgramMemory& programMemory() const { return program_; }
  const std::vector<uint8_t>& dataMemory() const { return data_; }

  // `injectedBits` are ORed into the reply to a program record; if they hold an error bit the
  // record is refused as a real unit would refuse a bad one.
  UnitAnswer handle(uint8_t command, std::span<const uint8_t> payload, uint16_t injectedBits = 0);

 private:
  uint16_t baseStatus() const;
  UnitAnswer capture(std::span<const uint8_t> payload);
  UnitAnswer setIp(std::span<const uint8_t> payload);
  UnitAnswer programRecord(std::span<const uint8_t> payload, uint16_t injectedBits);
  UnitAnswer erase(protocol::Command command);
  UnitAnswer reset();
  void enterLoaderMode();

  UnitConfig config_;
  Ipv4 ip_;
  bool loaderMode_;
  bool userCodeInvalid_ = false;
  bool imageOpen_ = false;  // data records received since the last end record or erase
  uint32_t recordsReceived_ = 0;
  uint32_t recordsAccepted_ = 0;
  ProgramMemory program_;
  std::vector<uint8_t> data_;
};

}  // namespace uvq::sim
