// SPDX-License-Identifier: Apache-2.0
#include "settings/TargetAddress.h"

#include "protocol/IntegerText.h"

namespace uvq::settings {

AddressParts SplitAddress(std::string_view text) {
  AddressParts parts;
  size_t start = 0;
  int dots = 0;
  // The bound excludes the last character on purpose (see the header).
  for (size_t p = 0; p + 1 < text.size(); ++p) {
    if (text[p] != '.') continue;
    parts[dots] = std::string(text.substr(start, p - start));
    ++dots;
    start = p + 1;
    if (dots == 3) {
      parts[3] = std::string(text.substr(start));
      break;
    }
  }
  return parts;
}

PartStep StepPart(std::string_view text, bool up) {
  const std::optional<int32_t> parsed = protocol::ParseIntegerText(text);
  if (!parsed) {
    std::string message = "'";  // built in steps: GCC 12 misreads the one-line sum at -O3
    message.append(text).append("' is not a valid integer value");
    return PartStep{std::nullopt, std::move(message)};
  }
  int32_t value = *parsed;
  if (up && value < 255) ++value;
  if (!up && value > 0) --value;
  return PartStep{std::to_string(value), {}};
}

std::string JoinAddress(std::string_view part1, std::string_view part2, std::string_view part3,
                        std::string_view part4) {
  std::string joined;
  joined.reserve(part1.size() + part2.size() + part3.size() + part4.size() + 3);
  joined.append(part1).append(".").append(part2).append(".").append(part3).append(".").append(
      part4);
  return joined;
}

}  // namespace uvq::settings
