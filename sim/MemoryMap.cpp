// SPDX-License-Identifier: Apache-2.0
#include "MemoryMap.h"

namespace uvq::sim {
namespace {

bool Inside(uint64_t first, uint64_t end, uint64_t base, uint64_t size) {
  return first >= base && end <= base + size;
}
bool Touches(uint64_t first, uint64_t end, uint64_t base, uint64_t size) {
  return first < base + size && end > base;
}

}  // namespace

Region RegionOf(uint32_t address, uint32_t length) {
  const uint64_t first = address;
  const uint64_t end = first + length;  // 64 bits: no wrap at the top of the address space
  if (Touches(first, end, kLoaderBase, kLoaderSize)) return Region::kLoader;
  if (Inside(first, end, kProgramBase, kProgramSize)) return Region::kProgram;
  if (Inside(first, end, kDataBase, kDataSize)) return Region::kData;
  return Region::kNone;
}

}  // namespace uvq::sim
