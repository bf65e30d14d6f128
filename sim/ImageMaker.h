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

// File helpers for the make-image command; false (and errno) on failure.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out);
bool WriteImageFile(const std::string& path, const std::vector<WireRecord>& records);

}  // namespace uvq::sim
