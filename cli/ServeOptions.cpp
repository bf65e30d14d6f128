// SPDX-License-Identifier: Apache-2.0
#include "ServeOptions.h"

#include <CLI/CLI.hpp>

namespace uvq::cli {

void AddServeCommand(CLI::App& app, ServeOptions& options) {
  (void)options;
  CLI::App* serve = app.add_subcommand(
      "serve",
      "web dashboard of the rollouts and the history: serve [--listen HOST:PORT] "
      "[--allow-actions --token-file FILE]");
  serve->prefix_command();
  serve->allow_extras();
  serve->fallthrough(false);
  serve->set_help_flag();
}

void CollectServeCommand(CLI::App& app, ServeOptions& options) {
  CLI::App* serve = app.get_subcommand("serve");
  options.command = serve->parsed();
  if (options.command) options.commandArgs = serve->remaining();
}

}  // namespace uvq::cli
