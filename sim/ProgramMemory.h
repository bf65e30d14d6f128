// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace uvq::sim {

// Program memory sized to what was written: bytes from the lowest to the highest address
// written, never-written gaps reading as erased flash (0xFF). Grows geometrically so a stream of
// records does not allocate per record.
class ProgramMemory {
 public:
  static constexpr uint8_t kErased = 0xFF;

  // `address` is relative to the start of program memory; the caller has checked the range.
  void write(uint32_t address, std::span<const uint8_t> bytes);
  void erase();

  bool empty() const { return end_ == begin_; }
  uint32_t firstAddress() const { return begin_; }
  // The written image: lowest to highest written address, gaps erased.
  std::span<const uint8_t> image() const;

  // Writes the image to `path` under the emulator's file rule (FileRule.h); false with the
  // reason in `problem`.
  bool dumpTo(const std::string& path, std::string& problem) const;
  // First offset where the image and `expected` differ (a length difference counts at the
  // shorter length); nullopt when identical.
  std::optional<size_t> firstDifference(std::span<const uint8_t> expected) const;

 private:
  std::vector<uint8_t> bytes_;  // indexed by address; bytes_.size() may exceed end_
  uint32_t begin_ = 0;
  uint32_t end_ = 0;
};

}  // namespace uvq::sim
