// SPDX-License-Identifier: Apache-2.0
#include "HistoryOptions.h"

#include <CLI/CLI.hpp>

#include "OptionRows.h"

namespace uvq::cli {

void AddHistoryOptions(CLI::App& app, HistoryOptions& options) {
  AddRow(app, "", "--db", options.db)->envname("UVQ_DB");
  AddRow(app, "", "--no-history", options.noHistory);
  AddRow(app, "", "--history", options.historySwitch)->check(CLI::IsMember({"on", "off"}));
  AddRow(app, "", "--station", options.station);
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
