#include "protocol/IpAddressText.h"

#include <algorithm>

#include "protocol/IntegerText.h"

namespace uvq::protocol {

std::optional<Ipv4Bytes> ParseIpAddressParts(std::string_view text) {
  if (std::count(text.begin(), text.end(), '.') != 3) return std::nullopt;
  Ipv4Bytes address{};
  for (size_t part = 0; part < 4; ++part) {
    const size_t dot = text.find('.');
    const std::optional<int32_t> value = ParseIntegerText(text.substr(0, dot));
    if (!value || *value < 0 || *value > 255) return std::nullopt;
    address[part] = static_cast<uint8_t>(*value);
    text.remove_prefix(dot == std::string_view::npos ? text.size() : dot + 1);
  }
  return address;
}

bool IsUsableUnitAddress(const Ipv4Bytes& address) {
  return address[0] != 0 && address[0] < 224;
}

std::optional<Ipv4Bytes> ParseUnitIpAddress(std::string_view text) {
  const std::optional<Ipv4Bytes> address = ParseIpAddressParts(text);
  if (!address || !IsUsableUnitAddress(*address)) return std::nullopt;
  return address;
}

}  // namespace uvq::protocol
