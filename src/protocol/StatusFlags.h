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
}  // namespace Status

struct StatusFlag {
  uint16_t bit;
  std::string_view text;  // the report's line
  std::string_view name;  // an identifier, for machine-readable output
  // A record acknowledgement carrying this bit aborts a programming run with this line.
  std::string_view abortLine = {};
  constexpr bool abortsRun() const { return !abortLine.empty(); }
};

// The flags in the order the report prints them (bit 0x0001 has no text). A run's abort lines
// are printed in this order too.
inline constexpr std::array<StatusFlag, 15> kStatusFlagsInPrintOrder{{
    {Status::kMulticast, "  multicast IP packet processed", "multicast"},
    {Status::kPendingReset, "  pending Reset vector", "pending_reset"},
    {Status::kLoaderMode, "  in loader mode", "loader_mode"},
    {Status::kUserCodeInvalid, "  user code space invalid", "user_code_invalid"},
    {Status::kNotInLoaderMode, "  LDR command while not in LDR_Mode", "not_in_loader_mode"},
    {Status::kFrameLengthError, "  record frame length error", "frame_length_error",
     "  record frame length error"},
    {Status::kFramingError, "  record framing error", "framing_error", "  record framing error"},
    {Status::kUnsupportedRecord, "  unsupported record type", "unsupported_record"},
    {Status::kRecordSkipped, "  ID and configuration record skipped", "record_skipped"},
    {Status::kChecksumError, "  record checksum error", "checksum_error",
     "  record checksum error"},
    {Status::kOverwriteLoader, "  error - attempt to overwrite loader", "overwrite_loader"},
    {Status::kRecordDone, "  finished programing current record", "record_done"},
    {Status::kFileDone, "  finished programing file", "file_done"},
    {Status::kEepromUpdated, "  EEPROM updated", "eeprom_updated"},
    {Status::kMissingType4, "  Error - missing Type 4 record", "missing_type4",
     "  missing Type 4 record"},
}};

// Any of these in a record acknowledgement aborts a programming run.
inline constexpr uint16_t kRunAbortingBits = [] {
  uint16_t bits = 0;
  for (const StatusFlag& flag : kStatusFlagsInPrintOrder)
    if (flag.abortsRun()) bits |= flag.bit;
  return bits;
}();

// Records the unit refused without aborting the run (it may skip them on purpose).
inline constexpr uint16_t kRecordRefusedBits =
    Status::kOverwriteLoader | Status::kUnsupportedRecord;

}  // namespace uvq::protocol
