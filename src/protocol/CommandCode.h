// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace uvq::protocol {

// Every control PDU goes to this UDP port of the target.
inline constexpr uint16_t kUnitPort = 16388;

// Command codes of the control PDU; a status reply's type equals the code it answers.
enum class Command : uint8_t {
  Locate = 0,
  SetIpAddress = 1,
  InvalidateProgram = 2,
  Capture = 3,
  ProgramRecord = 4,
  EraseDevice = 6,
  EraseProgram = 7,
  EraseData = 8,
  Reset = 9,
};

inline constexpr uint8_t Code(Command c) {
  return static_cast<uint8_t>(c);
}

// Whether a byte (a reply's type) is the code of a command the tool sends: 5 and 10-255 are not.
inline constexpr bool NamesCommand(uint8_t code) {
  return code <= Code(Command::Reset) && code != 5;
}

}  // namespace uvq::protocol
