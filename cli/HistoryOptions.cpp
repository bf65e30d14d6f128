// SPDX-License-Identifier: Apache-2.0
#include "HistoryOptions.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "OptionRows.h"
#include "store/db/RedactedUrl.h"

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

void WarnOfPasswordOnCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* value = nullptr;
    if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc)
      value = argv[i + 1];
    else if (std::strncmp(argv[i], "--db=", 5) == 0)
      value = argv[i] + 5;
    if (value && store::SettingCarriesPassword(value)) {
      std::fprintf(stderr,
                   "uvq: warning: --db carries a password, which other users can see in the "
                   "process list and which stays in shell history; give it through UVQ_DB, a "
                   "configuration file of mode 0600 (uvq's \"db =\", the window's [History] Db=) "
                   "or libpq's password file (~/.pgpass or PGPASSFILE)\n");
      return;
    }
  }
}

void CollectHistoryCommand(CLI::App& app, HistoryOptions& options) {
  CLI::App* history = app.get_subcommand("history");
  options.command = history->parsed();
  if (options.command) options.commandArgs = history->remaining();
}

}  // namespace uvq::cli
