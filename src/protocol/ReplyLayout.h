// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace uvq::protocol {

inline constexpr size_t kReplyImageSize = 256;
// The shortest reply that carries every field the tool reads (up to the Data PDU number).
inline constexpr size_t kMinimumReplyLength = 19;

// Byte positions of a status reply (two-byte numbers: first byte high).
struct ReplyOffset {
  static constexpr size_t kSeqHigh = 4;
  static constexpr size_t kSeqLow = 5;
  static constexpr size_t kType = 6;
  static constexpr size_t kUvqIdHigh = 10;
  static constexpr size_t kUvqIdLow = 11;
  static constexpr size_t kIp = 12;  // four bytes, first octet first
  static constexpr size_t kStatusHigh = 16;
  static constexpr size_t kStatusLow = 17;
  static constexpr size_t kDataSeq = 18;
};

using ReplyImage = std::array<uint8_t, kReplyImageSize>;

// Two-byte unit identity, high byte first as on the wire.
struct UvqId {
  uint8_t high = 0;
  uint8_t low = 0;
  constexpr uint16_t value() const { return static_cast<uint16_t>(high << 8 | low); }
  constexpr bool isZero() const { return high == 0 && low == 0; }
  friend constexpr bool operator==(UvqId, UvqId) = default;
};

inline uint16_t Word(const ReplyImage& r, size_t highOffset) {
  return static_cast<uint16_t>(r[highOffset] << 8 | r[highOffset + 1]);
}
inline uint16_t EchoedSequence(const ReplyImage& r) {
  return Word(r, ReplyOffset::kSeqHigh);
}
inline uint8_t ReplyType(const ReplyImage& r) {
  return r[ReplyOffset::kType];
}
inline UvqId ReplyUvqId(const ReplyImage& r) {
  return {r[ReplyOffset::kUvqIdHigh], r[ReplyOffset::kUvqIdLow]};
}
inline uint16_t StatusWord(const ReplyImage& r) {
  return Word(r, ReplyOffset::kStatusHigh);
}
inline uint8_t DataSequence(const ReplyImage& r) {
  return r[ReplyOffset::kDataSeq];
}

}  // namespace uvq::protocol
