// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace uvq::sim {

// The emulated unit's address space as its records see it.
enum class Region { kProgram, kLoader, kData, kNone };

inline constexpr uint32_t kProgramBase = 0x00000000;
inline constexpr uint32_t kProgramSize = 0x01000000;  // 16 MiB of program memory
inline constexpr uint32_t kLoaderBase = 0x01000000;   // the loader itself: never written
inline constexpr uint32_t kLoaderSize = 0x00010000;
inline constexpr uint32_t kDataBase = 0x02000000;  // EEPROM (data memory)
inline constexpr uint32_t kDataSize = 0x00010000;

// Where a block of `length` bytes (at least 1) at `address` lands. A block touching the loader
// counts as a loader write; a block that leaves its region, or lies in no region, is kNone.
Region RegionOf(uint32_t address, uint32_t length);

}  // namespace uvq::sim
