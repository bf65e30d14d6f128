// SPDX-License-Identifier: Apache-2.0
#include "HistoryOptions.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "store/db/RedactedUrl.h"

namespace uvq::cli {

void AddHistoryOptions(CLI::App& app, HistoryOptions& options) {
  app.add_option("--db", options.db,
                 "history database: a SQLite file, a postgresql:// URL or libpq's "
                 "\"host=... dbname=...\" (default $XDG_DATA_HOME/uvq/history.sqlite3). A "
                 "password here shows in process lists and shell history: give it through "
                 "UVQ_DB, a configuration file of mode 0600 (db =, or the window's [History] "
                 "Db=) or libpq's password file (~/.pgpass, PGPASSFILE)")
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
