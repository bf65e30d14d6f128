// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace uvq::settings {

// The longest value the reader hands back; longer values are cut to this many characters.
inline constexpr size_t kMaxProfileValueLength = 2047;

// Looks up `key` in `section` of INI text. Section and key names match without regard to
// case; blanks around names and values are dropped; a value enclosed in a pair of " or '
// loses them. Only the first matching section is searched and its first matching key wins.
// Lines end in LF or CR LF; lines starting with ";" and lines without "=" are skipped; a
// leading UTF-8 byte-order mark is ignored. Returns `defaultValue` when section or key is
// missing; a key with an empty value gives an empty string.
std::string FindProfileString(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view defaultValue);

// The same lookup, nullopt when section or key is missing.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// The same lookup on a file read by ReadSettingsFileText; a file that cannot be read (missing,
// not a regular file, larger than 1 MiB) gives `defaultValue`.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue);

}  // namespace uvq::settings
