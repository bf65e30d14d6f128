// SPDX-License-Identifier: Apache-2.0
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
  // What the bit means to the tool, one column per meaning:
  // a record acknowledgement carrying it aborts a programming run, with this line;
  std::string_view abortLine = {};
  // the record it acknowledges was not written, though the run goes on (the unit may skip it);
  bool refusesRecord = false;
  // the unit refused a reset or a new address;
  bool refusesResetOrAddress = false;
  // the unit holds no program it can run (read after the reset that ends a run).
  bool noValidProgram = false;
  constexpr bool abortsRun() const { return !abortLine.empty(); }
};

// The flags in the order the report prints them (bit 0x0001 has no text). A run's abort lines
// are printed in this order too.
inline constexpr std::array<StatusFlag, 15> kStatusFlagsInPrintOrder{{
    {.bit = Status::kMulticast, .text = "  multicast IP packet processed", .name = "multicast"},
    {.bit = Status::kPendingReset, .text = "  pending Reset vector", .name = "pending_reset"},
    {.bit = Status::kLoaderMode,
     .text = "  in loader mode",
     .name = "loader_mode",
     .noValidProgram = true},
    {.bit = Status::kUserCodeInvalid,
     .text = "  user code space invalid",
     .name = "user_code_invalid",
     .noValidProgram = true},
    {.bit = Status::kNotInLoaderMode,
     .text = "  LDR command while not in LDR_Mode",
     .name = "not_in_loader_mode"},
    {.bit = Status::kFrameLengthError,
     .text = "  record frame length error",
     .name = "frame_length_error",
     .abortLine = "  record frame length error",
     .refusesResetOrAddress = true,
     .noValidProgram = true},
    {.bit = Status::kFramingError,
     .text = "  record framing error",
     .name = "framing_error",
     .abortLine = "  record framing error",
     .refusesResetOrAddress = true,
     .noValidProgram = true},
    {.bit = Status::kUnsupportedRecord,
     .text = "  unsupported record type",
     .name = "unsupported_record",
     .refusesRecord = true},
    {.bit = Status::kRecordSkipped,
     .text = "  ID and configuration record skipped",
     .name = "record_skipped"},
    {.bit = Status::kChecksumError,
     .text = "  record checksum error",
     .name = "checksum_error",
     .abortLine = "  record checksum error",
     .refusesResetOrAddress = true,
     .noValidProgram = true},
    {.bit = Status::kOverwriteLoader,
     .text = "  error - attempt to overwrite loader",
     .name = "overwrite_loader",
     .refusesRecord = true,
     .noValidProgram = true},
    {.bit = Status::kRecordDone,
     .text = "  finished programing current record",
     .name = "record_done"},
    {.bit = Status::kFileDone, .text = "  finished programing file", .name = "file_done"},
    {.bit = Status::kEepromUpdated, .text = "  EEPROM updated", .name = "eeprom_updated"},
    {.bit = Status::kMissingType4,
     .text = "  Error - missing Type 4 record",
     .name = "missing_type4",
     .abortLine = "  missing Type 4 record",
     .refusesResetOrAddress = true,
     .noValidProgram = true},
}};

// Each column as a mask, for testing a status word at once.
template <typename Column>
constexpr uint16_t BitsWhere(Column column) {
  uint16_t bits = 0;
  for (const StatusFlag& flag : kStatusFlagsInPrintOrder)
    if (column(flag)) bits |= flag.bit;
  return bits;
}

inline constexpr uint16_t kRunAbortingBits =
    BitsWhere([](const StatusFlag& f) { return f.abortsRun(); });
inline constexpr uint16_t kRecordRefusingBits =
    BitsWhere([](const StatusFlag& f) { return f.refusesRecord; });
inline constexpr uint16_t kResetRefusingBits =
    BitsWhere([](const StatusFlag& f) { return f.refusesResetOrAddress; });
inline constexpr uint16_t kNoValidProgramBits =
    BitsWhere([](const StatusFlag& f) { return f.noValidProgram; });

// A unit holds a program it can run: out of loader mode, its user code space valid and no error
// bit set.
constexpr bool RunsValidProgram(uint16_t status) {
  return !(status & kNoValidProgramBits);
}

}  // namespace uvq::protocol
