// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace uvq::cli {

// `uvq serve ...`: the web dashboard; its own options are read by the command (ServeCommand).
struct ServeOptions {
  bool command = false;
  std::vector<std::string> commandArgs;  // everything after `serve`
};

// Registers the `serve` subcommand, which takes the rest of the command line as it is.
void AddServeCommand(CLI::App& app, ServeOptions& options);
void CollectServeCommand(CLI::App& app, ServeOptions& options);

}  // namespace uvq::cli
