// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "store/history/HistoryStore.h"

namespace uvq::history {

// One spooled write: a begin or a complete of a row, and the database it was meant for.
struct SpoolEntry {
  std::string location;  // the store's location(): a path or a URL without its password
  bool completed = false;
  OperationRow row;
};

// One line, tab-separated, ending in '\n'; tabs, newlines and backslashes in values escaped,
// "\N" for a missing value. The first field names the format so that a later uvq can tell.
std::string SpoolLine(const SpoolEntry& entry);
// The entry of a line (without its '\n'); nothing for a line that is not one.
std::optional<SpoolEntry> ParseSpoolLine(const std::string& line);

}  // namespace uvq::history
