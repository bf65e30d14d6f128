// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "fleet/RunRecorder.h"

namespace CLI {
class App;
}  // namespace CLI

namespace uvq::cli {

// Where and whether a run is recorded, and the `history` subcommand's own words.
struct HistoryOptions {
  std::string db;                        // --db, UVQ_DB or `db =`; empty: the SQLite default
  bool noHistory = false;                // --no-history
  std::string historySwitch;             // `history = on|off` in the configuration file
  std::string station;                   // --station before the subcommand; empty: the host name
  bool command = false;                  // `uvq history ...` was asked
  std::vector<std::string> commandArgs;  // everything after `history`, parsed by the command
  bool recording() const { return !noHistory && historySwitch != "off"; }
  fleet::RecordingChoice choice() const { return {recording(), db, station}; }
};

// Registers --db, --no-history, --history (the configuration's switch), --station and the
// `history` subcommand, which takes the rest of the command line as it is.
void AddHistoryOptions(CLI::App& app, HistoryOptions& options);

// Warns once on standard error when a --db on the command line holds a password, naming the
// ways that keep it out of sight.
void WarnOfPasswordOnCommandLine(int argc, char** argv);

// After parsing: whether `history` was the subcommand, and its words.
void CollectHistoryCommand(CLI::App& app, HistoryOptions& options);

}  // namespace uvq::cli
