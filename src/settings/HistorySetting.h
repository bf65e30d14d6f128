// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "settings/SettingsFile.h"

namespace uvq::settings {

// Section "History", key "Db" of the settings file the window reads (the first one found, as
// for its address): a SQLite file or a postgresql:// URL. "" when not set, and when no settings
// file or executable path is there.
std::string ReadHistoryDbSetting(const std::string& executablePath,
                                 const std::string& systemFolder = kSystemSettingsFolder);

}  // namespace uvq::settings
