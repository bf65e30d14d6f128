// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

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

}  // namespace uvq::dashboard
