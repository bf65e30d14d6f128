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

}  // namespace uvq::protocol
