// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "ports/Ports.h"
#include "store/history/HistoryStore.h"

namespace uvq::recording {

using history::UtcMillis;

// Now, in milliseconds since 1970-01-01 UTC.
UtcMillis NowUtcMillis();

// The machine's host name, as history rows name their station unless told otherwise.
std::string HostName();

// The account the tool runs under: its login name, else its number.
std::string OsUser();

// The flags set in a status word as comma-separated identifiers in the report's order
// ("loader_mode,checksum_error").
std::string StatusFlagsText(uint16_t status);

// An image's size and SHA-256 (lower-case hex), read through the file port, so the same rule
// as a programming run applies: only a regular file is opened, and opening never waits.
struct ImageDigest {
  int64_t bytes = 0;
  std::string sha256;
  std::string problem;  // empty when the digest was taken
};
ImageDigest DigestOfImage(FileSystem& files, const std::string& path);
// The same for an image already in memory; `name` names it in a problem.
ImageDigest DigestOfBytes(std::span<const uint8_t> bytes, const std::string& name);

}  // namespace uvq::recording
