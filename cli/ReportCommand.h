// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace uvq::cli {

struct CliOptions;

// `uvq report rollout NAME` and `uvq report units [filters]`: each unit's final state as CSV,
// JSON or a printable HTML page; its own options are read by the command.
struct ReportOptions {
  bool command = false;
  std::vector<std::string> commandArgs;  // everything after `report`
};

// Registers the `report` subcommand, which takes the rest of the command line as it is.
void AddReportCommand(CLI::App& app, ReportOptions& options);
void CollectReportCommand(CLI::App& app, ReportOptions& options);

// Returns the exit code.
int RunReportCommand(const CliOptions& options);

}  // namespace uvq::cli
