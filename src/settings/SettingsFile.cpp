#include "settings/SettingsFile.h"

#include <filesystem>
#include <system_error>

#include "settings/ProfileReader.h"

namespace uvq::settings {

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

std::string ReadTargetAddress(const std::string& executablePath) {
  if (executablePath.empty()) return kDefaultTargetAddress;
  return ReadProfileString(SettingsPathFor(executablePath), "Net", "Address",
                           kDefaultTargetAddress);
}

}  // namespace uvq::settings
