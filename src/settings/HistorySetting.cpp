// SPDX-License-Identifier: Apache-2.0
#include "settings/HistorySetting.h"

#include <filesystem>

#include "settings/SettingsFileText.h"

namespace uvq::settings {

std::string ReadHistoryDbSetting(const std::string& executablePath,
                                 const std::string& systemFolder) {
  if (executablePath.empty()) return {};
  const std::string programName = std::filesystem::path(executablePath).stem().string();
  for (const std::string& path : SettingsSearchPaths(executablePath, programName, systemFolder)) {
    const SettingsFileText file = ReadSettingsFileText(path);
    if (file.missing) continue;
    if (!file.problem.empty()) return {};
    return FindProfileValue(file.text, "History", "Db").value_or("");
  }
  return {};
}

}  // namespace uvq::settings
