// SPDX-License-Identifier: Apache-2.0
#include "settings/IniText.h"

#include <algorithm>
#include <cctype>

namespace uvq::settings {
namespace {

std::string Trimmed(std::string_view text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string Unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

IniText ReadIniText(std::string_view text) {
  IniText read;
  std::string section;
  size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  for (int number = 1; at <= text.size(); ++number) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = Trimmed(text.substr(at, end - at));
    at = end + 1;
    const auto problem = [&](const std::string& what) {
      read.problem = "line " + std::to_string(number) + ": " + what;
      return read;
    };
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return problem("unclosed section header '" + line + "'");
      section = Trimmed(std::string_view(line).substr(1, line.size() - 2));
      read.lines.push_back({number, true, section, "", ""});
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      return problem("expected 'key = value' or '[section]', found '" + line + "'");
    read.lines.push_back({number, false, section,
                          LowerAscii(Trimmed(std::string_view(line).substr(0, equals))),
                          Unquoted(Trimmed(std::string_view(line).substr(equals + 1)))});
  }
  return read;
}

}  // namespace uvq::settings
