// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/PduLayout.h"

namespace uvq::sim {

// One record of a .cry image as the unit sees it once unscrambled:
//   byte 0      record type
//   bytes 1-4   target address, high byte first
//   byte 5      number of data bytes used (0..16)
//   bytes 6-21  data block, unused bytes zero
//   byte 22     checksum: bytes 0..22 sum to zero (mod 256)
//   byte 23     frame end mark
// On the wire (and in the file) every byte is XORed with a key byte chosen by its position.
using WireRecord = std::array<uint8_t, protocol::kRecordSize>;

inline constexpr size_t kRecordDataMax = 16;
inline constexpr uint8_t kFrameEndMark = 0x7E;

namespace RecordType {
inline constexpr uint8_t kData = 1;
inline constexpr uint8_t kIdentity = 2;  // ID/configuration: accepted and skipped
inline constexpr uint8_t kEnd = 4;       // closes the image
}  // namespace RecordType

struct PlainRecord {
  uint8_t type = RecordType::kData;
  uint32_t address = 0;
  uint8_t length = 0;
  std::array<uint8_t, kRecordDataMax> data{};
};

enum class DecodeError {
  kNone,
  kFraming,      // frame end mark wrong or padding not zero
  kChecksum,     // bytes do not sum to zero
  kFrameLength,  // length field larger than the data block
};

struct DecodeResult {
  DecodeError error = DecodeError::kNone;
  PlainRecord record;
};

WireRecord EncodeRecord(const PlainRecord& record);
// Applies or removes the position-keyed scrambling (XOR: the same call does both).
void ToggleScramble(WireRecord& record);
// Decodes without allocating; the caller passes exactly one record.
DecodeResult DecodeRecord(std::span<const uint8_t, protocol::kRecordSize> wire);

}  // namespace uvq::sim
