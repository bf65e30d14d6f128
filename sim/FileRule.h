// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace uvq::sim {

// The emulator's files follow one rule: only regular files are read or written. A FIFO would
// hold the open (or the reads) until another process comes, during which the emulator answers
// no PDU and no stop signal; a device would stream without end or swallow the bytes.

// "is a FIFO, not a regular file" and the like, for a file of this st_mode.
std::string NotRegularText(unsigned mode);

// Why `path` cannot take an output file: it exists and is no regular file (symbolic links
// followed). nullopt when it is absent or a regular file; other failures show when written.
std::optional<std::string> RefusedOutputPath(const std::string& path);

// Replaces the content of the regular file `path` (created when absent) with `bytes`. The open
// never waits; an existing FIFO, device or directory is refused and left untouched. False with
// `problem` in words ("is a FIFO, not a regular file", the system's error text).
bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes, std::string& problem);

}  // namespace uvq::sim
