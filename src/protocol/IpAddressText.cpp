// SPDX-License-Identifier: Apache-2.0
#include "protocol/IpAddressText.h"

#include <arpa/inet.h>

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

std::optional<Ipv4Bytes> ParseDottedAddress(std::string_view text) {
  if (text.find_first_not_of("0123456789.") != std::string_view::npos) return std::nullopt;
  size_t partStart = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '.') continue;
    if (i == partStart || i - partStart > 3) return std::nullopt;
    partStart = i + 1;
  }
  return ParseIpAddressParts(text);
}

std::string Ipv4Text(const Ipv4Bytes& a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]);
}

std::string Ipv4Text(in_addr address) {
  const uint32_t value = ntohl(address.s_addr);
  return Ipv4Text(Ipv4Bytes{static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

bool IsUsableUnitAddress(const Ipv4Bytes& address) {
  return !UnusableUnitAddressReason(address);
}

std::optional<std::string> UnusableUnitAddressReason(const Ipv4Bytes& address) {
  if (address == Ipv4Bytes{255, 255, 255, 255}) return "is the broadcast address";
  if (address[0] == 0) return "is in 0.0.0.0/8, which names no host";
  if (address[0] >= 224 && address[0] < 240) return "is a multicast address";
  if (address[0] >= 240) return "is reserved (240.0.0.0/4)";
  return std::nullopt;
}

std::optional<std::string> NewAddressRefusal(const Ipv4Bytes& newAddress,
                                             const std::optional<Ipv4Bytes>& reachedAt) {
  const auto text = [](const Ipv4Bytes& a) { return Ipv4Text(a); };
  if (const auto reason = UnusableUnitAddressReason(newAddress))
    return "Refusing new address " + text(newAddress) + ": it " + *reason;
  const bool loopback = newAddress[0] == 127;
  if (loopback && !(reachedAt && (*reachedAt)[0] == 127))
    return "Refusing new address " + text(newAddress) +
           ": a loopback address would make the unit unreachable (only a unit reached on "
           "loopback may be given one)";
  return std::nullopt;
}

std::optional<Ipv4Bytes> ParseUnitIpAddress(std::string_view text) {
  const std::optional<Ipv4Bytes> address = ParseIpAddressParts(text);
  if (!address || !IsUsableUnitAddress(*address)) return std::nullopt;
  return address;
}

}  // namespace uvq::protocol
