// SPDX-License-Identifier: Apache-2.0
#include "RecordCodec.h"

#include <algorithm>

namespace uvq::sim {
namespace {

constexpr size_t kTypeAt = 0;
constexpr size_t kAddressAt = 1;
constexpr size_t kLengthAt = 5;
constexpr size_t kDataAt = 6;
constexpr size_t kChecksumAt = 22;
constexpr size_t kEndMarkAt = 23;

// The scrambling only keeps the image from reading as plain text; a short byte-wide LCG gives
// every position its own key.
constexpr std::array<uint8_t, protocol::kRecordSize> MakeKey() {
  std::array<uint8_t, protocol::kRecordSize> key{};
  uint8_t k = 0xA3;
  for (auto& b : key) {
    k = static_cast<uint8_t>(k * 0x1D + 0x47);
    b = k;
  }
  return key;
}
constexpr auto kKey = MakeKey();

uint8_t SumOf(const WireRecord& r, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + r[i]);
  return sum;
}

}  // namespace

void ToggleScramble(WireRecord& record) {
  for (size_t i = 0; i < record.size(); ++i) record[i] ^= kKey[i];
}

WireRecord EncodeRecord(const PlainRecord& record) {
  WireRecord r{};
  r[kTypeAt] = record.type;
  for (size_t i = 0; i < 4; ++i) {
    r[kAddressAt + i] = static_cast<uint8_t>(record.address >> (24 - 8 * i));
  }
  r[kLengthAt] = record.length;
  const size_t used = std::min<size_t>(record.length, kRecordDataMax);
  std::copy_n(record.data.begin(), used, r.begin() + kDataAt);
  r[kChecksumAt] = static_cast<uint8_t>(0x100 - SumOf(r, kChecksumAt));
  r[kEndMarkAt] = kFrameEndMark;
  ToggleScramble(r);
  return r;
}

DecodeResult DecodeRecord(std::span<const uint8_t, protocol::kRecordSize> wire) {
  WireRecord r;
  std::copy(wire.begin(), wire.end(), r.begin());
  ToggleScramble(r);

  DecodeResult result;
  if (r[kEndMarkAt] != kFrameEndMark) {
    result.error = DecodeError::kFraming;
    return result;
  }
  if (SumOf(r, kChecksumAt + 1) != 0) {
    result.error = DecodeError::kChecksum;
    return result;
  }
  const uint8_t length = r[kLengthAt];
  if (length > kRecordDataMax) {
    result.error = DecodeError::kFrameLength;
    return result;
  }
  for (size_t i = kDataAt + length; i < kChecksumAt; ++i) {
    if (r[i] != 0) {
      result.error = DecodeError::kFraming;
      return result;
    }
  }
  result.record.type = r[kTypeAt];
  result.record.address = static_cast<uint32_t>(r[1]) << 24 | static_cast<uint32_t>(r[2]) << 16 |
                          static_cast<uint32_t>(r[3]) << 8 | r[4];
  result.record.length = length;
  std::copy_n(r.begin() + kDataAt, length, result.record.data.begin());
  return result;
}

}  // namespace uvq::sim
