#include "TargetList.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace uvq::cli {
namespace {

std::string Trimmed(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  auto begin = std::find_if_not(text.begin(), text.end(), blank);
  auto end = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return begin < end ? std::string(begin, end) : std::string();
}

}  // namespace

std::vector<std::string> ReadTargetLines(std::istream& in) {
  std::vector<std::string> targets;
  std::string line;
  while (std::getline(in, line)) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::string target = Trimmed(line);
    if (!target.empty()) targets.push_back(std::move(target));
  }
  return targets;
}

std::optional<std::string> FirstDuplicate(const std::vector<std::string>& targets) {
  std::set<std::string> seen;
  for (const std::string& target : targets) {
    std::string key = target;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!seen.insert(key).second) return target;
  }
  return std::nullopt;
}

}  // namespace uvq::cli
