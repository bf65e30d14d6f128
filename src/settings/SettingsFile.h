#pragma once

#include <string>

#include "settings/ProfileReader.h"  // ReadProfileString, for callers of this header

namespace uvq::settings {

// The address the tool talks to when the settings file does not name one.
inline constexpr const char* kDefaultTargetAddress = "192.168.1.214";

// The settings file sits beside the executable: its extension (the text from the last "."
// after the last "/") becomes ".INI"; a name without one gets ".INI" appended.
std::string SettingsPathFor(const std::string& executablePath);

// Full path of the running executable, or empty when it cannot be found.
std::string ExecutablePath();

// Address from section "Net", key "Address" of the settings file that belongs to
// `executablePath`; the default address when the file, section or key is missing. An empty
// executable path gives the default (no settings file is looked for in the working folder).
std::string ReadTargetAddress(const std::string& executablePath);

}  // namespace uvq::settings
