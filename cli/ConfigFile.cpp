// SPDX-License-Identifier: Apache-2.0
#include "ConfigFile.h"

#include <algorithm>
#include <cctype>

#include "CliOptions.h"
#include "CommandTable.h"
#include "settings/SettingsFileText.h"

namespace uvq::cli {
namespace {

std::string Trimmed(std::string_view text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

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
  ConfigContents contents;
  std::string section;  // lower case; "" before the first header
  std::string shownSection;
  size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  for (int number = 1; at <= text.size(); ++number) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = Trimmed(std::string_view(text).substr(at, end - at));
    at = end + 1;
    const auto where = [&] { return "line " + std::to_string(number) + ": "; };
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return where() + "unclosed section header '" + line + "'";
      shownSection = Trimmed(std::string_view(line).substr(1, line.size() - 2));
      section = Lower(shownSection);
      if (section != "net" && !KnownSubcommand(section))
        return where() + "unknown section [" + shownSection +
               "] (known: [Net] and one per subcommand, e.g. [program])";
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      return where() + "expected 'key = value' or '[section]', found '" + line + "'";
    const std::string key = Lower(Trimmed(std::string_view(line).substr(0, equals)));
    const std::string value = Unquoted(Trimmed(std::string_view(line).substr(equals + 1)));
    const std::string in = section.empty() ? "" : " in section [" + shownSection + "]";
    if (section == "net") {
      if (key != "address") return where() + "unknown key '" + key + "'" + in + " (only Address)";
      contents.targets.push_back(value);
      continue;
    }
    if (section.empty() && key == "target") {
      contents.targets.push_back(value);
      continue;
    }
    const OptionRow* row = FindOptionRow(section, "--" + key);
    if (!row || !Configurable(key)) return where() + "unknown key '" + key + "'" + in;
    contents.values.push_back({section, key, value, number});
  }
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
