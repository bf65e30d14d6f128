// SPDX-License-Identifier: Apache-2.0
#include "jobs/StatusText.h"

#include <cstdio>

#include "protocol/StatusFlags.h"

namespace uvq::jobs {

std::string HexWord(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string StatusInWords(uint16_t status) {
  std::string words;
  for (const protocol::StatusFlag& flag : protocol::kStatusFlagsInPrintOrder) {
    if (!(status & flag.bit)) continue;
    std::string_view text = flag.text;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (!words.empty()) words += ", ";
    words += text;
  }
  return HexWord(status) + " (" + (words.empty() ? std::string("no flags") : words) + ")";
}

}  // namespace uvq::jobs
