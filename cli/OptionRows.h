// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "CliOptions.h"
#include "CommandTable.h"
#include "ConfigFile.h"

namespace uvq::cli {

// Adds the table's row for `longName` of `subcommand` to `app`, bound to `variable`: every
// parser of the command line takes its options' names, value names and help from the one table.
template <typename T>
CLI::Option* AddRow(CLI::App& app, std::string_view subcommand, std::string_view longName,
                    T& variable) {
  const OptionRow* row = FindOptionRow(subcommand, longName);
  if (!row) throw std::logic_error("no table row for " + std::string(longName));
  const std::string names(row->names);
  CLI::Option* option = row->value.empty() && names.starts_with('-')
                            ? app.add_flag(names, variable, std::string(row->help))
                            : app.add_option(names, variable, std::string(row->help));
  option->type_name(std::string(row->value));  // the table's name, or none for an argument
  return option;
}

// The parser of a subcommand that takes the rest of the command line as it is (history,
// rollout, station, serve): its section of the configuration file fills what the command line
// left unset, after parsing.
class SubcommandApp : public CLI::App {
 public:
  using CLI::App::App;
  // The values of section `section`; throws CLI::ParseError for a value its option refuses.
  void applyConfigSection(const std::vector<ConfigValue>& values, std::string_view section);
  // Parses the subcommand's words (in the order given), then section
  // `section` of the configuration; nullopt when both were read, else the exit code of CLI11's
  // answer (0 after --help, the usage code after a refusal it has printed).
  std::optional<int> parseWithSection(const std::vector<std::string>& words,
                                      const std::vector<ConfigValue>& values,
                                      std::string_view section);
};

// The options of a programming run that may also follow `rollout` and `station`: history,
// output, timing and the checks of the run, with the same limits as before the subcommand.
class RunOptionRows {
 public:
  RunOptionRows(CLI::App& app, CliOptions& options);
  // After parsing: the words applied to the options; a usage problem in words, or nothing.
  std::optional<std::string> apply();

 private:
  CliOptions& options_;
  int quiet_ = 0;
  int verbose_ = 0;
  bool noVerify_ = false;
};

}  // namespace uvq::cli
