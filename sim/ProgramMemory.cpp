// SPDX-License-Identifier: Apache-2.0
#include "ProgramMemory.h"

#include <algorithm>

#include "FileRule.h"

namespace uvq::sim {

void ProgramMemory::write(uint32_t address, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  const size_t need = static_cast<size_t>(address) + bytes.size();
  if (need > bytes_.size()) {
    bytes_.resize(std::max(need, bytes_.size() * 2), kErased);
  }
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + address);
  if (empty()) {
    begin_ = address;
    end_ = static_cast<uint32_t>(need);
  } else {
    begin_ = std::min(begin_, address);
    end_ = std::max(end_, static_cast<uint32_t>(need));
  }
}

void ProgramMemory::erase() {
  std::fill(bytes_.begin(), bytes_.end(), kErased);
  begin_ = end_ = 0;
}

std::span<const uint8_t> ProgramMemory::image() const {
  if (empty()) return {};
  return {bytes_.data() + begin_, static_cast<size_t>(end_ - begin_)};
}

bool ProgramMemory::dumpTo(const std::string& path, std::string& problem) const {
  return WriteWholeFile(path, image(), problem);  // an empty memory writes an empty file
}

std::optional<size_t> ProgramMemory::firstDifference(std::span<const uint8_t> expected) const {
  const auto have = image();
  const size_t common = std::min(have.size(), expected.size());
  const auto mismatch = std::mismatch(have.begin(), have.begin() + common, expected.begin());
  if (mismatch.first != have.begin() + common) {
    return static_cast<size_t>(mismatch.first - have.begin());
  }
  if (have.size() != expected.size()) return common;
  return std::nullopt;
}

}  // namespace uvq::sim
