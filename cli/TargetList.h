#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace uvq::cli {

// Targets from a file: one per line; blank lines and text after '#' are ignored, surrounding
// blanks trimmed.
std::vector<std::string> ReadTargetLines(std::istream& in);

// The first target named twice (letter case ignored), if any. Two services talking to the same
// address would each take the other's replies as out of sequence and could flash one unit twice
// over, so a duplicate is refused before anything is sent.
std::optional<std::string> FirstDuplicate(const std::vector<std::string>& targets);

}  // namespace uvq::cli
