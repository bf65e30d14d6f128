// SPDX-License-Identifier: Apache-2.0
#include "fleet/TargetList.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "link/HostLookup.h"
#include "link/UnusableTarget.h"
#include "protocol/IpAddressText.h"
#include "units/Hex.h"

namespace uvq::fleet {

std::optional<std::string> NormalizedUnitId(const std::string& text) {
  return units::NormalizedUnitId(text);
}

std::optional<protocol::UvqId> UnitIdOf(const std::string& text) {
  const auto id = NormalizedUnitId(text);
  if (!id) return std::nullopt;
  const auto value = static_cast<uint16_t>(std::stoul(*id, nullptr, 16));
  return protocol::UvqId{static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}
namespace {

std::string Trimmed(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  auto begin = std::find_if_not(text.begin(), text.end(), blank);
  auto end = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return begin < end ? std::string(begin, end) : std::string();
}

std::string DottedText(in_addr address) {
  return protocol::Ipv4Text(address);
}

}  // namespace

std::variant<std::vector<TargetEntry>, TargetFileError> ReadTargetLines(std::istream& in) {
  std::vector<TargetEntry> targets;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(Trimmed(line));
    std::string target, id, extra;
    if (!(words >> target)) continue;
    TargetEntry entry{target, std::nullopt};
    if (words >> id) {
      entry.unitId = NormalizedUnitId(id);
      if (!entry.unitId)
        return TargetFileError{"line " + std::to_string(number) + ": invalid unit ID '" + id +
                               "' (1 to 4 hex digits)"};
    }
    if (words >> extra)
      return TargetFileError{"line " + std::to_string(number) +
                             ": expected an address and an optional unit ID, found '" + extra +
                             "' after them"};
    targets.push_back(std::move(entry));
  }
  return targets;
}

std::optional<in_addr> ParseDecimalAddress(const std::string& text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return c == '.' || std::isdigit(static_cast<unsigned char>(c));
      }))
    return std::nullopt;
  uint32_t value = 0;
  size_t parts = 0;
  size_t at = 0;
  for (;;) {
    const size_t dot = text.find('.', at);
    const std::string part =
        text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    // Up to three digits, or more only as leading zeros ("000016" is 16).
    const size_t significant = part.find_first_not_of('0');
    if (part.empty() || (significant != std::string::npos && part.size() - significant > 3))
      return std::nullopt;
    const unsigned number =
        significant == std::string::npos ? 0 : std::stoul(part.substr(significant));
    if (number > 255 || ++parts > 4) return std::nullopt;
    value = value << 8 | number;
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  if (parts != 4) return std::nullopt;
  in_addr address{};
  address.s_addr = htonl(value);
  return address;
}

std::variant<ResolvedTarget, TargetError> ResolveTarget(const TargetEntry& entry) {
  const std::string& text = entry.text;
  ResolvedTarget resolved{text, entry.unitId, {}, {}};
  if (text.empty()) return TargetError{TargetError::Kind::BadAddress, "empty target"};
  if (text.find(':') != std::string::npos)
    return TargetError{TargetError::Kind::BadAddress,
                       "target '" + text +
                           "': give the address alone, without a port; units always listen on "
                           "UDP port 16388 (and only IPv4 addresses are used)"};
  const bool numeric = std::all_of(text.begin(), text.end(), [](char c) {
    return c == '.' || std::isdigit(static_cast<unsigned char>(c));
  });
  if (numeric) {
    const auto address = ParseDecimalAddress(text);
    if (!address)
      return TargetError{TargetError::Kind::BadAddress,
                         "invalid address '" + text + "' (expected a.b.c.d, each 0 to 255)"};
    resolved.address = *address;
  } else {
    const auto found = link::LookUpIpv4(text);
    if (const auto* why = std::get_if<std::string>(&found))
      return TargetError{TargetError::Kind::NotFound, "cannot resolve '" + text + "': " + *why};
    resolved.address = std::get<in_addr>(found);
  }
  // Whatever the name or number, no datagram may go to a whole network or to no one.
  if (const auto reason = link::UnusableTargetReason(resolved.address))
    return TargetError{TargetError::Kind::BadAddress, "target '" + text + "': " + *reason};
  resolved.addressText = DottedText(resolved.address);
  return resolved;
}

std::optional<size_t> FirstDuplicate(const std::vector<ResolvedTarget>& targets) {
  for (size_t i = 1; i < targets.size(); ++i)
    for (size_t j = 0; j < i; ++j) {
      const ResolvedTarget& a = targets[i];
      const ResolvedTarget& b = targets[j];
      if (a.address.s_addr != b.address.s_addr) continue;
      if (!a.unitId || !b.unitId || *a.unitId == *b.unitId) return i;
    }
  return std::nullopt;
}

std::variant<std::vector<ResolvedTarget>, TargetError> ExpandScanRange(const std::string& text) {
  const auto bad = [&](const std::string& why) {
    return TargetError{TargetError::Kind::BadAddress, "invalid range '" + text + "': " + why};
  };
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return bad("expected FIRST-LAST, e.g. 10.1.2.1-10.1.2.254");
  const auto first = ParseDecimalAddress(Trimmed(text.substr(0, dash)));
  const auto last = ParseDecimalAddress(Trimmed(text.substr(dash + 1)));
  if (!first || !last) return bad("both ends must be addresses a.b.c.d");
  const uint32_t from = ntohl(first->s_addr);
  const uint32_t to = ntohl(last->s_addr);
  if (from > to) return bad("the first address comes after the last");
  if (to - from >= kMaxScanAddresses)
    return bad("more than " + std::to_string(kMaxScanAddresses) + " addresses");
  std::vector<ResolvedTarget> targets;
  targets.reserve(to - from + 1);
  for (uint32_t a = from;; ++a) {
    ResolvedTarget target;
    target.address.s_addr = htonl(a);
    if (const auto reason = link::UnusableTargetReason(target.address)) return bad(*reason);
    target.addressText = DottedText(target.address);
    target.text = target.addressText;
    targets.push_back(std::move(target));
    if (a == to) break;
  }
  return targets;
}

std::optional<std::pair<uint32_t, uint32_t>> ParseAddressRange(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto first = ParseDecimalAddress(text.substr(0, dash));
  const auto last = ParseDecimalAddress(text.substr(dash + 1));
  if (!first || !last) return std::nullopt;
  const uint32_t a = ntohl(first->s_addr), b = ntohl(last->s_addr);
  if (b < a) return std::nullopt;
  return std::make_pair(a, b);
}

}  // namespace uvq::fleet
