// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/ReplyLayout.h"

namespace uvq::fleet {

// "12ab" -> "12AB"; 1 to 4 hex digits, zero-padded. nullopt for anything else.
std::optional<std::string> NormalizedUnitId(const std::string& text);
// The same as the unit's two bytes, as a job names the unit it works on.
std::optional<protocol::UvqId> UnitIdOf(const std::string& text);

// A target as given: on the command line, or a line of a targets file ("10.1.2.3 0101").
struct TargetEntry {
  std::string text;                   // address or host name
  std::optional<std::string> unitId;  // four upper-case hex digits, from a targets file line
  bool operator==(const TargetEntry&) const = default;
};

// A target resolved once, before anything is sent.
struct ResolvedTarget {
  std::string text;                   // as given, for messages
  std::optional<std::string> unitId;  // as given on its line, if any
  in_addr address{};                  // IPv4, network byte order: for a connected socket
  std::string addressText;            // the same address, dotted decimal ("127.0.0.16")
};

// Targets from a file: one per line, optionally followed by the unit ID (1 to 4 hex digits);
// blank lines and text after '#' are ignored, surrounding blanks trimmed. A line with more
// words or a bad ID is an error naming the line.
inline constexpr size_t kMaxTargetsFileSize = 16 << 20;
struct TargetFileError {
  std::string message;
};
std::variant<std::vector<TargetEntry>, TargetFileError> ReadTargetLines(std::istream& in);

// Why a target cannot be used, and with which exit code.
struct TargetError {
  enum class Kind { BadAddress, NotFound } kind;  // exit 2, exit 6
  std::string message;
};

// Text made only of digits and dots is an address, read in decimal (leading zeros are not
// octal): exactly four parts of 0 to 255. nullopt when the text is not such an address.
std::optional<in_addr> ParseDecimalAddress(const std::string& text);

// Resolves one target to its IPv4 address: a dotted address as above, else a host name through
// getaddrinfo. A port (":1234") is refused; units listen on one fixed port.
std::variant<ResolvedTarget, TargetError> ResolveTarget(const TargetEntry& entry);

// The first target that names the same unit as an earlier one: the same resolved address, and
// the same unit ID or no ID on either. Two engines talking to one unit would each take the
// other's replies as out of sequence and could flash it twice over, so that is refused before
// anything is sent. Index into `targets`, or nullopt.
std::optional<size_t> FirstDuplicate(const std::vector<ResolvedTarget>& targets);

// A scan's addresses: "10.1.2.1-10.1.2.254" is every address from the first to the last, each
// a target of its own. At most kMaxScanAddresses; a bad range is a BadAddress error.
inline constexpr uint32_t kMaxScanAddresses = 65536;
std::variant<std::vector<ResolvedTarget>, TargetError> ExpandScanRange(const std::string& text);

// "A-B" as its two addresses in host order, A not after B; nullopt for anything else.
std::optional<std::pair<uint32_t, uint32_t>> ParseAddressRange(const std::string& text);

}  // namespace uvq::fleet
