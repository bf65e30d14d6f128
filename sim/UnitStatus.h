// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

// The emulated unit's own status word: the bits it sets and which of them mean it did not
// write a record. Kept apart from the tool's reading of the same bits, so a change to what the
// tool makes of a bit cannot silently change what the unit does.
namespace uvq::sim::UnitStatus {

inline constexpr uint16_t kMulticast = 0x0400;
inline constexpr uint16_t kPendingReset = 0x8000;
inline constexpr uint16_t kLoaderMode = 0x4000;
inline constexpr uint16_t kUserCodeInvalid = 0x2000;
inline constexpr uint16_t kNotInLoaderMode = 0x1000;
inline constexpr uint16_t kFrameLengthError = 0x0800;
inline constexpr uint16_t kFramingError = 0x0200;
inline constexpr uint16_t kUnsupportedRecord = 0x0100;
inline constexpr uint16_t kRecordSkipped = 0x0080;
inline constexpr uint16_t kChecksumError = 0x0040;
inline constexpr uint16_t kOverwriteLoader = 0x0020;
inline constexpr uint16_t kRecordDone = 0x0010;
inline constexpr uint16_t kFileDone = 0x0008;
inline constexpr uint16_t kEepromUpdated = 0x0004;
inline constexpr uint16_t kMissingType4 = 0x0002;

// A record answered with any of these was not written: a bad frame, a bad checksum, a record
// aimed at the loader or of a type the unit does not know, or no loader mode to write in.
inline constexpr uint16_t kRecordNotWritten = kFrameLengthError | kFramingError | kChecksumError |
                                              kMissingType4 | kOverwriteLoader |
                                              kUnsupportedRecord | kNotInLoaderMode;

}  // namespace uvq::sim::UnitStatus
