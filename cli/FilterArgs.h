// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// Prints "uvq: COMMAND: problem" on standard error.
void SayFilterProblem(std::string_view command, const FilterProblem& problem);

// Reads `args` into `filter` (a history or report filter); false, with the problem said and
// `exitCode` set, when they cannot be read.
template <typename Filter>
bool ReadFilterArgsInto(std::string_view command, const FilterArgs& args, Filter& filter,
                        int& exitCode) {
  FilterBounds bounds;
  if (const auto problem = ReadFilterArgs(args, bounds)) {
    SayFilterProblem(command, *problem);
    exitCode = ToInt(problem->code);
    return false;
  }
  filter.since = bounds.since;
  filter.until = bounds.until;
  if (!bounds.imageSha256OrPath.empty()) filter.image = bounds.imageSha256OrPath;
  return true;
}

}  // namespace uvq::cli
