// SPDX-License-Identifier: Apache-2.0
#include "HistoryOptions.h"

#include <CLI/CLI.hpp>

namespace uvq::cli {

void AddHistoryOptions(CLI::App& app, HistoryOptions& options) {
  app.add_option("--db", options.db,
                 "history database: a SQLite file or a postgresql:// URL (default "
                 "$XDG_DATA_HOME/uvq/history.sqlite3)")
      ->envname("UVQ_DB");
  app.add_flag("--no-history", options.noHistory, "do not record this run in the history");
  app.add_option("--history", options.historySwitch,
                 "on|off: record runs in the history (for the configuration file: history = off)")
      ->check(CLI::IsMember({"on", "off"}));
  app.add_option("--station", options.station,
                 "the station name recorded in the history (default: the host name)");
  CLI::App* history = app.add_subcommand(
      "history", "show what was done to which unit: history [units] [filters], --flush");
  // Its options are its own (see HistoryCommand): the rest of the line is handed over as it is.
  history->prefix_command();
  history->allow_extras();
  history->fallthrough(false);
  history->set_help_flag();
}

void CollectHistoryCommand(CLI::App& app, HistoryOptions& options) {
  CLI::App* history = app.get_subcommand("history");
  options.command = history->parsed();
  if (options.command) options.commandArgs = history->remaining();
}

}  // namespace uvq::cli
