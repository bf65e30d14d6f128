// SPDX-License-Identifier: Apache-2.0
#include "units/UvqTable.h"

#include "units/Hex.h"

namespace uvq::units {

using protocol::ReplyImage;
using protocol::ReplyUvqId;
using protocol::UvqId;

int SelectedUvqIndex(std::string_view text, const ReplyImage* entries, int count) {
  if (text.empty()) return -1;
  const auto v = static_cast<uint32_t>(HexToInt(text));
  const UvqId wanted{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  for (int i = 0; i < count; ++i)
    if (ReplyUvqId(entries[i]) == wanted) return i;
  return -1;
}

int UnitRegistry::SelectedUvqIndex() const {
  return units::SelectedUvqIndex(selector_.text(), table_.data(), count());
}

std::optional<UvqId> UnitRegistry::selectedUnit() const {
  const int i = SelectedUvqIndex();
  if (i < 0) return std::nullopt;
  return ReplyUvqId(entry(i));
}

UnitRegistry::Registration UnitRegistry::registerReply(const ReplyImage& reply) {
  const UvqId id = ReplyUvqId(reply);
  if (selector_.indexOf(IdText(id)) >= 0) {
    for (int i = 0; i < count(); ++i) {
      if (ReplyUvqId(table_[static_cast<size_t>(i)]) == id) {
        table_[static_cast<size_t>(i)] = reply;
        break;
      }
    }
    return Registration::Updated;
  }
  if (count() >= kUvqTableCapacity) return Registration::TableFull;
  // The entry goes in first so that an observer of the selector already sees it.
  table_[static_cast<size_t>(count())] = reply;
  selector_.add(IdText(id));
  return Registration::Added;
}

std::string IdText(UvqId id) {
  return HexByte(id.high) + HexByte(id.low);
}

std::string_view IpText(const ReplyImage& image, IpTextBuffer& buffer, size_t offset) {
  char* out = buffer.data();
  for (size_t i = 0; i < 4; ++i) {
    if (i) *out++ = '.';
    const uint8_t octet = image[offset + i];
    if (octet >= 100) *out++ = static_cast<char>('0' + octet / 100);
    if (octet >= 10) *out++ = static_cast<char>('0' + octet / 10 % 10);
    *out++ = static_cast<char>('0' + octet % 10);
  }
  return {buffer.data(), static_cast<size_t>(out - buffer.data())};
}

std::string IpText(const ReplyImage& image, size_t offset) {
  IpTextBuffer buffer;
  return std::string(IpText(image, buffer, offset));
}

}  // namespace uvq::units
