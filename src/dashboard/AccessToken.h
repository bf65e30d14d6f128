// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

namespace uvq::dashboard {

// The dashboard's token (--token-file): its first line, without surrounding blanks. The file
// must be a regular file of at most 4 KiB that others cannot read or write, and the token at
// least 16 characters of printable ASCII. nullopt with `problem` said otherwise.
std::optional<std::string> ReadTokenFile(const std::string& path, std::string& problem);

// Whether an "Authorization" header value is "Bearer <token>" with this token. The comparison
// takes the same time wherever the texts differ (digests compared in constant time).
bool BearerMatches(const std::string& header, const std::string& token);

}  // namespace uvq::dashboard
