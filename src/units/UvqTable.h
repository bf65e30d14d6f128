// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ReplyLayout.h"
#include "units/Selector.h"

namespace uvq::units {

inline constexpr int kUvqTableCapacity = 17;

// The units that replied since the last emptying: the selector's items and, per item, the last
// reply image of that unit in order of registration. Both halves always change together.
class UnitRegistry {
 public:
  enum class Registration { Added, Updated, TableFull };

  Selector& selector() { return selector_; }
  const Selector& selector() const { return selector_; }
  int count() const { return selector_.count(); }
  const protocol::ReplyImage& entry(int index) const { return table_[static_cast<size_t>(index)]; }

  // The entry the selector's text names, or -1 (empty text, unknown ID, emptied registry).
  int SelectedUvqIndex() const;
  std::optional<protocol::UvqId> selectedUnit() const;

  // Adds a new unit in sorted place or refreshes a known one. An 18th unit is not registered.
  Registration registerReply(const protocol::ReplyImage& reply);
  void empty() { selector_.empty(); }

 private:
  Selector selector_;
  std::array<protocol::ReplyImage, kUvqTableCapacity> table_{};
};

// Text -> HexToInt -> low 16 bits -> first of the first `count` entries with that ID.
int SelectedUvqIndex(std::string_view text, const protocol::ReplyImage* entries, int count);

// "12AB" for the ID 0x12AB.
std::string IdText(protocol::UvqId id);
// Four decimal octets joined by "." from the four bytes at `offset`. The buffer form allocates
// nothing, for the display refreshed after every reply.
using IpTextBuffer = std::array<char, 16>;
std::string_view IpText(const protocol::ReplyImage& image, IpTextBuffer& buffer,
                        size_t offset = protocol::ReplyOffset::kIp);
std::string IpText(const protocol::ReplyImage& image, size_t offset = protocol::ReplyOffset::kIp);

}  // namespace uvq::units
