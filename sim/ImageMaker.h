// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "RecordCodec.h"

namespace uvq::sim {

// Turns a binary into the records of a .cry image: an optional ID record carrying `identity`
// (up to 16 bytes), data records of up to 16 bytes from `base` on, then the end record.
// Returns nullopt when the block would not fit in one region of the unit (see MemoryMap.h).
std::optional<std::vector<WireRecord>> MakeImage(std::span<const uint8_t> binary, uint32_t base,
                                                 const std::optional<std::string>& identity);

// A binary for make-image or --expect: a regular file only (a FIFO or a device such as
// /dev/zero is refused without waiting on it), no larger than the unit's program memory.
// False with `problem` in words ("is a FIFO, not a regular file", the system's error text).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string& problem);
// Writes the records as the image file `path` under the emulator's file rule (FileRule.h).
bool WriteImageFile(const std::string& path, const std::vector<WireRecord>& records,
                    std::string& problem);

}  // namespace uvq::sim
