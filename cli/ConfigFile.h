// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace uvq::cli {

// One option's value from a configuration file, for the option parser: `subcommand` empty for
// the options taken anywhere on the command line.
struct ConfigValue {
  std::string subcommand;
  std::string option;  // long name without dashes: "watchdog-ms"
  std::string value;
  int line = 0;
};

// What a configuration file says: option values, and the targets it names (`target = ...`, or
// the window's `[Net]` `Address=`), which count only when the command line names none.
struct ConfigContents {
  std::vector<ConfigValue> values;
  std::vector<std::string> targets;
};

// Reads the INI text of a configuration file (settings::ReadIniText: `key = value` lines,
// `[section]` headers, `;` and `#` comments, names without regard to case, values optionally
// quoted) and checks it against the option table. Keys are the options' long names without
// dashes; a subcommand's options go in a section named after it; the
// window's settings section `[Net]` with its `Address` is understood too. An unknown section or
// key, or a line that is neither, is an error naming it and its line.
std::variant<ConfigContents, std::string> ParseConfigText(const std::string& text);

// The same for a file, read by the rule for every file the tools read: a regular file only
// (a FIFO or a device is refused without waiting), at most 1 MiB.
std::variant<ConfigContents, std::string> ReadConfigFile(const std::string& path);

}  // namespace uvq::cli
