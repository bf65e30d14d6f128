// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

namespace uvq::protocol {

// Byte positions of a control PDU (multi-byte fields are big-endian).
struct PduOffset {
  static constexpr size_t kLead1 = 0;
  static constexpr size_t kLead2 = 1;
  static constexpr size_t kUvqIdHigh = 2;
  static constexpr size_t kUvqIdLow = 3;
  static constexpr size_t kSeqHigh = 4;
  static constexpr size_t kSeqLow = 5;
  static constexpr size_t kCommand = 6;
  static constexpr size_t kPayload = 7;
};

inline constexpr uint8_t kLeadByte1 = 0x5A;
inline constexpr uint8_t kLeadByte2 = 0xA5;
inline constexpr size_t kHeaderLength = 7;  // lead bytes, ID, sequence, command
inline constexpr size_t kRecordSize = 24;   // one program record of a .cry file
inline constexpr size_t kTransmitBufferSize = 256;
inline constexpr size_t kMaxAccessCodeLength = kTransmitBufferSize - PduOffset::kPayload;  // 249

}  // namespace uvq::protocol
