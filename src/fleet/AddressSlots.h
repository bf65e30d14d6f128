// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace uvq::fleet {

// Which slot of a session pool shares the run's socket at each address. Looked up for every
// datagram the shared socket brings, so it is one flat table (open addressing, linear probing,
// a power-of-two size at least twice the most addresses it holds): a lookup is a multiply and
// a probe or two, and nothing is allocated once it is made.
class AddressSlots {
 public:
  // Room for `most` addresses at once.
  explicit AddressSlots(size_t most)
      : entries_(std::bit_ceil(std::max<size_t>(2 * most, 16))),
        shift_(32 - std::countr_zero(entries_.size())) {}

  std::optional<size_t> find(in_addr_t address) const {
    for (size_t i = home(address);; i = next(i)) {
      const Entry& e = entries_[i];
      if (!e.used) return std::nullopt;
      if (e.address == address) return e.slot;
    }
  }
  bool contains(in_addr_t address) const { return find(address).has_value(); }
  size_t size() const { return size_; }

  // Adds the address, or gives it another slot. Never more than `most` addresses at once.
  void set(in_addr_t address, size_t slot) {
    size_t i = home(address);
    while (entries_[i].used && entries_[i].address != address) i = next(i);
    if (!entries_[i].used) ++size_;
    entries_[i] = {address, slot, true};
  }

  // Takes the address out; the entries after it in its run move back, so that every lookup
  // still meets its entry before an empty one.
  void erase(in_addr_t address) {
    size_t hole = home(address);
    while (entries_[hole].used && entries_[hole].address != address) hole = next(hole);
    if (!entries_[hole].used) return;
    --size_;
    for (size_t j = next(hole); entries_[j].used; j = next(j)) {
      // The entry at j may fill the hole unless its home lies after the hole, up to j.
      const size_t h = home(entries_[j].address);
      const bool homeInBetween = hole < j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (homeInBetween) continue;
      entries_[hole] = entries_[j];
      hole = j;
    }
    entries_[hole] = {};
  }

 private:
  struct Entry {
    in_addr_t address = 0;
    size_t slot = 0;
    bool used = false;
  };

  size_t home(in_addr_t address) const {
    return static_cast<uint32_t>(static_cast<uint32_t>(address) * 2654435769u) >> shift_;
  }
  size_t next(size_t i) const { return (i + 1) & (entries_.size() - 1); }

  std::vector<Entry> entries_;
  int shift_;
  size_t size_ = 0;
};

}  // namespace uvq::fleet
