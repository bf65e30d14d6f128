// SPDX-License-Identifier: Apache-2.0
#include "settings/SettingsFile.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "settings/ProfileReader.h"
#include "settings/SettingsFileText.h"

namespace uvq::settings {
namespace {

// The user's configuration folder; relative values are ignored, as the XDG rules ask.
std::string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  return {};
}

// Notepad's "Unicode" saves UTF-16, in which no section name can be found.
bool LooksLikeUtf16(std::string_view text) {
  return text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
}

}  // namespace

std::string SettingsPathFor(const std::string& executablePath) {
  const size_t slash = executablePath.rfind('/');
  const size_t nameStart = (slash == std::string::npos) ? 0 : slash + 1;
  const size_t dot = executablePath.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot >= nameStart;
  return (hasExtension ? executablePath.substr(0, dot) : executablePath) + ".INI";
}

std::string ExecutablePath() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string{} : path.string();
}

std::vector<std::string> SettingsSearchPaths(const std::string& executablePath,
                                             std::string_view programName,
                                             const std::string& systemFolder) {
  std::vector<std::string> paths;
  if (!executablePath.empty()) paths.push_back(SettingsPathFor(executablePath));
  const std::string fileName = std::string(programName) + ".ini";
  if (const std::string user = UserConfigFolder(); !user.empty())
    paths.push_back(user + "/uvq/" + fileName);
  paths.push_back(systemFolder + "/" + fileName);
  return paths;
}

TargetSetting ReadTargetSettingFrom(const std::vector<std::string>& searchPaths) {
  TargetSetting setting{kDefaultTargetAddress, {}, false, {}};
  for (const std::string& path : searchPaths) {
    const SettingsFileText file = ReadSettingsFileText(path);
    if (file.missing) continue;
    setting.path = path;
    if (!file.problem.empty()) {
      setting.fellBack = true;
      setting.problem = file.problem;
    } else if (std::optional<std::string> address = FindProfileValue(file.text, "Net", "Address")) {
      setting.address = std::move(*address);
    } else {
      setting.fellBack = true;
      setting.problem = LooksLikeUtf16(file.text)
                            ? "no [Net] Address (the file is UTF-16; save it as UTF-8)"
                            : "no [Net] Address";
    }
    break;
  }
  return setting;
}

TargetSetting ReadTargetSetting(const std::string& executablePath,
                                const std::string& systemFolder) {
  if (executablePath.empty()) return ReadTargetSettingFrom({});
  const std::string programName = std::filesystem::path(executablePath).stem().string();
  return ReadTargetSettingFrom(SettingsSearchPaths(executablePath, programName, systemFolder));
}

std::string ReadTargetAddress(const std::string& executablePath) {
  return ReadTargetSetting(executablePath).address;
}

std::optional<std::string> TargetSettingNotice(const TargetSetting& setting) {
  if (!setting.fellBack) return std::nullopt;
  return "Settings file " + setting.path + ": " + setting.problem + ", using " + setting.address;
}

}  // namespace uvq::settings
