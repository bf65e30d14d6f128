// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ProfileReader.h"  // ReadProfileString, for callers of this header

namespace uvq::settings {

// The address the tool talks to when the settings file does not name one.
inline constexpr const char* kDefaultTargetAddress = "192.168.1.214";

// Where an installed program's settings are shared by every user of the machine.
inline constexpr const char* kSystemSettingsFolder = "/etc/uvq";

// The settings file sits beside the executable: its extension (the text from the last "."
// after the last "/") becomes ".INI"; a name without one gets ".INI" appended.
std::string SettingsPathFor(const std::string& executablePath);

// Full path of the running executable, or empty when it cannot be found.
std::string ExecutablePath();

// The places the settings file of program `programName` is looked for, first one found wins:
// the file beside the executable (SettingsPathFor; left out for an empty executable path), then
// $XDG_CONFIG_HOME/uvq/<programName>.ini ($HOME/.config when XDG_CONFIG_HOME is unset, empty or
// not absolute; left out when neither gives a folder), then <systemFolder>/<programName>.ini.
std::vector<std::string> SettingsSearchPaths(
    const std::string& executablePath, std::string_view programName,
    const std::string& systemFolder = kSystemSettingsFolder);

// The target address and where it came from.
struct TargetSetting {
  std::string address;
  std::string path;       // the settings file read or tried; empty when none was found
  bool fellBack = false;  // the default address is used although a settings file was found
  std::string problem;    // why it fell back, e.g. "no [Net] Address", "is not a regular file"
};

// Section "Net", key "Address" of the first settings file found at `searchPaths`; the default
// address when none is found, or when the one found cannot be read or names no address (the
// later paths are then not tried). A key with an empty value gives an empty address.
TargetSetting ReadTargetSettingFrom(const std::vector<std::string>& searchPaths);

// The window's search: SettingsSearchPaths with the executable's own name (without extension)
// as the program name. An empty executable path gives the default without looking anywhere.
TargetSetting ReadTargetSetting(const std::string& executablePath,
                                const std::string& systemFolder = kSystemSettingsFolder);

// ReadTargetSetting(executablePath).address.
std::string ReadTargetAddress(const std::string& executablePath);

// The line to show when a settings file was found but the default is used, e.g.
// "Settings file /etc/uvq/uvq-loader.ini: no [Net] Address, using 192.168.1.214";
// nullopt otherwise (no settings file at all is the usual case and stays silent).
std::optional<std::string> TargetSettingNotice(const TargetSetting& setting);

}  // namespace uvq::settings
