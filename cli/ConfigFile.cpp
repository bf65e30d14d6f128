// SPDX-License-Identifier: Apache-2.0
#include "ConfigFile.h"

#include "CliOptions.h"
#include "CommandTable.h"
#include "settings/IniText.h"
#include "settings/SettingsFileText.h"

namespace uvq::cli {
namespace {

// Options that make no sense in a file: they end the program or name the file itself.
bool Configurable(std::string_view option) {
  return option != "help" && option != "version" && option != "config";
}

// Every subcommand with options of its own in the table has its section.
bool KnownSubcommand(const std::string& section) {
  for (const OptionRow& row : kOptionRows)
    if (!row.subcommand.empty() && row.subcommand == section) return true;
  return false;
}

}  // namespace

std::variant<ConfigContents, std::string> ParseConfigText(const std::string& text) {
  const settings::IniText ini = settings::ReadIniText(text);
  ConfigContents contents;
  for (const settings::IniLine& line : ini.lines) {
    const auto where = [&] { return "line " + std::to_string(line.number) + ": "; };
    const std::string section = settings::LowerAscii(line.section);
    if (line.header) {
      if (section != "net" && !KnownSubcommand(section))
        return where() + "unknown section [" + line.section +
               "] (known: [Net] and one per subcommand, e.g. [program])";
      continue;
    }
    const std::string& key = line.key;
    const std::string in = section.empty() ? "" : " in section [" + line.section + "]";
    if (section == "net") {
      if (key != "address") return where() + "unknown key '" + key + "'" + in + " (only Address)";
      contents.targets.push_back(line.value);
      continue;
    }
    if (section.empty() && key == "target") {
      contents.targets.push_back(line.value);
      continue;
    }
    const OptionRow* row = FindOptionRow(section, "--" + key);
    if (!row || !Configurable(key)) return where() + "unknown key '" + key + "'" + in;
    contents.values.push_back({section, key, line.value, line.number});
  }
  if (!ini.problem.empty()) return ini.problem;
  return contents;
}

std::variant<ConfigContents, std::string> ReadConfigFile(const std::string& path) {
  const settings::SettingsFileText file = settings::ReadSettingsFileText(path);
  if (!file.problem.empty())
    return "configuration file '" + path + (file.problem.starts_with("is ") ? "' " : "': ") +
           file.problem;
  auto parsed = ParseConfigText(file.text);
  if (auto* problem = std::get_if<std::string>(&parsed))
    return "configuration file '" + path + "', " + *problem;
  return parsed;
}

}  // namespace uvq::cli
