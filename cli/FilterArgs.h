// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "ExitCode.h"
#include "store/history/HistoryStore.h"

namespace uvq::cli {

// What `history` and `report` both filter by, as typed: times (--since, --until) and an image
// (a SHA-256, or a file known by its contents whatever its name when it was programmed).
struct FilterArgs {
  std::string since;
  std::string until;
  std::string image;
};

// The filter's bounds and image as the store takes them.
struct FilterBounds {
  std::optional<history::UtcMillis> since;
  std::optional<history::UtcMillis> until;
  std::string imageSha256OrPath;
};

struct FilterProblem {
  ExitCode code;
  std::string message;  // without the "uvq: COMMAND: " in front
};

// Reads `args` into `bounds`; nullopt when all of it was read.
std::optional<FilterProblem> ReadFilterArgs(const FilterArgs& args, FilterBounds& bounds);

}  // namespace uvq::cli
