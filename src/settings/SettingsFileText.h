// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>

namespace uvq::settings {

// No settings file is larger; a bigger one is refused rather than read into memory.
inline constexpr size_t kMaxSettingsFileSize = 1024 * 1024;

// The whole text of a settings file, or why there is none.
struct SettingsFileText {
  std::string text;
  std::string problem;   // empty when the text was read
  bool missing = false;  // nothing at that path (the usual case, not worth mentioning)
};

// Reads a settings file without ever waiting: only a regular file (symbolic links followed) of
// at most `limit` bytes is read. Otherwise `problem` says why: "is not a regular file",
// "is larger than 1 MiB" or the system's error text.
SettingsFileText ReadSettingsFileText(const std::string& path, size_t limit = kMaxSettingsFileSize);

}  // namespace uvq::settings
