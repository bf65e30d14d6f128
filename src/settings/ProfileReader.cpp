// SPDX-License-Identifier: Apache-2.0
#include "settings/ProfileReader.h"

#include "settings/SettingsFileText.h"

// Hand-written because the settings file follows the classic private-profile rules
// (case-blind names, quote stripping, first match wins) that no packaged INI parser (and
// not QSettings, whose keys are case-sensitive on Unix) reproduces.
namespace uvq::settings {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Splits off the next line (without its LF or CR LF) from `rest`.
std::string_view NextLine(std::string_view& rest) {
  const size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = (end == std::string_view::npos) ? std::string_view{} : rest.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());

  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  enum class Where { BeforeSection, InWanted, InOther } where = Where::BeforeSection;
  bool wantedSeen = false;

  std::string_view rest = text;
  while (!rest.empty()) {
    const std::string_view line = Trim(NextLine(rest));
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      // Only the first section of the wanted name is searched; a later duplicate is not.
      if (where == Where::InWanted) break;
      std::string_view name = line.substr(1);
      name = Trim(name.substr(0, name.find(']')));
      if (!wantedSeen && SameName(name, wantedSection)) {
        where = Where::InWanted;
        wantedSeen = true;
      } else {
        where = Where::InOther;
      }
      continue;
    }
    if (where != Where::InWanted) continue;

    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!SameName(Trim(line.substr(0, equals)), wantedKey)) continue;
    const std::string_view value = StripQuotes(Trim(line.substr(equals + 1)));
    return std::string(value.substr(0, kMaxProfileValueLength));
  }
  return std::nullopt;
}

std::string FindProfileString(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view defaultValue) {
  return FindProfileValue(text, section, key).value_or(std::string(defaultValue));
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue) {
  const SettingsFileText file = ReadSettingsFileText(path);
  if (!file.problem.empty()) return std::string(defaultValue);
  return FindProfileString(file.text, section, key, defaultValue);
}

}  // namespace uvq::settings
