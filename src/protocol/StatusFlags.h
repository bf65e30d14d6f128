#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace uvq::protocol {

// Status word bits with a meaning of their own to the tool.
namespace Status {
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
// Any of these in a record acknowledgement aborts a programming run.
inline constexpr uint16_t kRecordErrors =
    kFrameLengthError | kFramingError | kChecksumError | kMissingType4;
}  // namespace Status

struct StatusFlag {
  uint16_t bit;
  std::string_view text;
};

// The flags in the order the report prints them (bit 0x0001 has no text).
inline constexpr std::array<StatusFlag, 15> kStatusFlagsInPrintOrder{{
    {Status::kMulticast, "  multicast IP packet processed"},
    {Status::kPendingReset, "  pending Reset vector"},
    {Status::kLoaderMode, "  in loader mode"},
    {Status::kUserCodeInvalid, "  user code space invalid"},
    {Status::kNotInLoaderMode, "  LDR command while not in LDR_Mode"},
    {Status::kFrameLengthError, "  record frame length error"},
    {Status::kFramingError, "  record framing error"},
    {Status::kUnsupportedRecord, "  unsupported record type"},
    {Status::kRecordSkipped, "  ID and configuration record skipped"},
    {Status::kChecksumError, "  record checksum error"},
    {Status::kOverwriteLoader, "  error - attempt to overwrite loader"},
    {Status::kRecordDone, "  finished programing current record"},
    {Status::kFileDone, "  finished programing file"},
    {Status::kEepromUpdated, "  EEPROM updated"},
    {Status::kMissingType4, "  Error - missing Type 4 record"},
}};

}  // namespace uvq::protocol
