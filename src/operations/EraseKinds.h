// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "protocol/CommandCode.h"

namespace uvq {

enum class EraseKind : uint8_t { Device, Program, Data };

// One row per kind of erase: what goes on the wire, what the command line calls it and the line
// logged when the unit has done it.
struct EraseKindRow {
  EraseKind kind;
  protocol::Command command;
  std::string_view commandLineName;
  std::string_view doneLine;
};

inline constexpr std::array<EraseKindRow, 3> kEraseKinds{{
    {EraseKind::Device, protocol::Command::EraseDevice, "device", "Device Erased"},
    {EraseKind::Program, protocol::Command::EraseProgram, "program", "PGM Memory Only Erased"},
    {EraseKind::Data, protocol::Command::EraseData, "data", "EEPROM Erased"},
}};

inline constexpr const EraseKindRow& EraseRow(EraseKind kind) {
  for (const EraseKindRow& row : kEraseKinds)
    if (row.kind == kind) return row;
  return kEraseKinds.front();  // unreachable: every kind has its row
}

// The row whose command a reply type names, if any.
inline constexpr const EraseKindRow* EraseRowForCode(uint8_t code) {
  for (const EraseKindRow& row : kEraseKinds)
    if (protocol::Code(row.command) == code) return &row;
  return nullptr;
}

inline std::optional<EraseKind> EraseKindNamed(std::string_view name) {
  for (const EraseKindRow& row : kEraseKinds)
    if (row.commandLineName == name) return row.kind;
  return std::nullopt;
}

}  // namespace uvq
