// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace uvq::dashboard {

// The dashboard's token (--token-file): its first line, without surrounding blanks. The file
// must be the caller's own regular file of at most 4 KiB, readable and writable by its owner
// alone (no group or other bits), in a folder of the caller's (or root's) that neither group
// nor others may write (a sticky folder like /tmp counts as written by others), and the token
// at least 16 characters of printable ASCII. nullopt with `problem` said (one sentence naming
// what is wrong) otherwise.
std::optional<std::string> ReadTokenFile(const std::string& path, std::string& problem);

// Whether an "Authorization" header value is "Bearer <token>" with this token. The comparison
// takes the same time wherever the texts differ (digests compared in constant time).
bool BearerMatches(const std::string& header, const std::string& token);

// Who may do what with the dashboard: a viewer reads (where a token is needed), an operator
// also acts. Actions are recorded under the entry's name.
enum class AccessRole : uint8_t { Viewer, Operator };
struct AccessEntry {
  std::string name;
  AccessRole role = AccessRole::Operator;
  std::string token;
};

// The token file as people and roles: lines "NAME ROLE TOKEN" (ROLE viewer or operator; blank
// lines and lines starting with # left out) when the first such line has three words, else a
// file whose first line is a single token, as before: one operator named "operator". The file is
// checked as ReadTokenFile does; each token as a single one is, names and tokens unique. nullopt
// with `problem` said otherwise.
std::optional<std::vector<AccessEntry>> ReadAccessFile(const std::string& path,
                                                       std::string& problem);

// The entry whose token an "Authorization" header carries, or nullptr. Every entry is compared,
// each in constant time.
const AccessEntry* MatchingEntry(const std::string& header,
                                 const std::vector<AccessEntry>& entries);

}  // namespace uvq::dashboard
