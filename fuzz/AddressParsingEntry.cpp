// SPDX-License-Identifier: Apache-2.0
// The operator's number and address conversions, and the link's rule for targets that need no
// name look-up, on arbitrary text. Decimal numbers are checked against the C library.

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "FuzzEntries.h"
#include "FuzzFailure.h"
#include "link/NumericHost.h"
#include "protocol/IntegerText.h"
#include "protocol/IpAddressText.h"

namespace uvq::fuzz {
namespace {

// Leading blanks, an optional sign and at least one decimal digit, nothing else.
bool IsPlainDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

}  // namespace

void FuzzAddressParsing(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::optional<int32_t> number = protocol::ParseIntegerText(text);
  if (IsPlainDecimal(text)) {
    errno = 0;
    const long long expected = std::strtoll(text.c_str(), nullptr, 10);
    const bool fits = errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX;
    UVQ_FUZZ_CHECK(number.has_value() == fits);
    if (fits) UVQ_FUZZ_CHECK(*number == expected);
  }

  const std::optional<protocol::Ipv4Bytes> address = protocol::ParseIpAddressParts(text);
  if (address) {
    // Four parts, each its own number in 0..255.
    std::string_view rest = text;
    for (size_t i = 0; i < 4; ++i) {
      const size_t dot = rest.find('.');
      UVQ_FUZZ_CHECK((dot == std::string_view::npos) == (i == 3));
      const std::optional<int32_t> part = protocol::ParseIntegerText(rest.substr(0, dot));
      UVQ_FUZZ_CHECK(part && *part == (*address)[i]);
      rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
    }
  }

  // A unit is never given an address in 0.0.0.0/8 or from 224.0.0.0 up.
  const std::optional<protocol::Ipv4Bytes> unitAddress = protocol::ParseUnitIpAddress(text);
  UVQ_FUZZ_CHECK(unitAddress.has_value() == (address && (*address)[0] != 0 && (*address)[0] < 224));
  if (unitAddress) UVQ_FUZZ_CHECK(*unitAddress == *address);

  const std::optional<in_addr> host = link::NumericHost(text);
  if (address) {
    UVQ_FUZZ_CHECK(host.has_value());
    const uint32_t value = ntohl(host->s_addr);
    UVQ_FUZZ_CHECK((value >> 24) == (*address)[0] && ((value >> 16) & 0xFF) == (*address)[1] &&
                   ((value >> 8) & 0xFF) == (*address)[2] && (value & 0xFF) == (*address)[3]);
  } else if (host) {
    // Only the loopback name needs no look-up besides four dotted parts.
    UVQ_FUZZ_CHECK(ntohl(host->s_addr) == INADDR_LOOPBACK && text.size() == 9);
  }
}

}  // namespace uvq::fuzz
