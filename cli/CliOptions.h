// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "ConfigFile.h"
#include "ExitCode.h"
#include "Fleet.h"
#include "HistoryOptions.h"
#include "Output.h"
#include "ReportCommand.h"
#include "RolloutOptions.h"
#include "ServeOptions.h"
#include "jobs/JobPlan.h"

namespace uvq::cli {

// The subcommands that run one job on every target, in the order the help lists them; each is
// named by its job's word ("set-ip").
struct JobSubcommand {
  jobs::JobKind kind;
  std::string_view help;
};
inline constexpr std::array<JobSubcommand, 8> kJobSubcommands{{
    {jobs::JobKind::Locate, "list the units that answer"},
    {jobs::JobKind::Status, "show what the unit reports"},
    {jobs::JobKind::Capture, "put the unit into loader mode"},
    {jobs::JobKind::Program, "capture, then program an image"},
    {jobs::JobKind::Erase, "capture, then erase"},
    {jobs::JobKind::Reset, "reset the unit"},
    {jobs::JobKind::SetIp, "give the unit a new IP address"},
    {jobs::JobKind::Scan, "ask every address of a range who is there"},
}};

struct CliOptions {
  // What each target's job does, the same for every target of a run (a targets file line may
  // name its own unit). The window's timing unless the options say otherwise; --strict,
  // --no-verify; findAttempts 0: the capture attempts.
  jobs::JobPlan plan;
  std::string imageFile;  // program: the image, read once the options are all known
  // --allow-partial-record: an image whose size is not a multiple of 24 bytes is still sent.
  bool allowPartialRecord = false;
  // --target and --targets-file; else (not for scan) the configuration file's, else UVQ_TARGET;
  // empty: uvq.INI's address beside the program, else the built-in default.
  std::vector<TargetEntry> targets;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
  bool quiet() const { return verbosity == Verbosity::Quiet; }
  std::string logFile;     // --log: one JSON line per unit and run appended here
  std::string configFile;  // the configuration file that was read, "" when none
  // Its values for the subcommands that parse the rest of the command line themselves
  // (history, rollout, station, serve, report), applied by their parsers.
  std::vector<ConfigValue> sectionValues;
  std::string scanRange;   // scan: "FIRST-LAST"
  int scanRate = 50;       // scan: addresses asked per second
  HistoryOptions history;  // recording, and the `history` subcommand
  RolloutWords rollout;    // the `rollout` subcommand
  ServeOptions serve;      // the `serve` subcommand (the web dashboard)
  ReportOptions report;    // the `report` subcommand
  RolloutWords station;    // the `station` subcommand
};

// Either options to run with, or the code to exit with at once (help: 0, bad usage: 2). Help
// and usage errors have been printed already.
struct ParsedOptions {
  std::optional<CliOptions> options;
  ExitCode exitCode = ExitCode::Ok;
};

ParsedOptions ParseCliOptions(int argc, char** argv);

// The subcommand nearest to a mistyped word by edit distance, when near enough to be a typo.
std::optional<std::string> NearestSubcommand(const std::string& word);

// The long option nearest to a mistyped one ("--wachdog-ms": "--watchdog-ms"), when near
// enough to be a slip of the keys: any subcommand's, or with `subcommand` a global one or its.
std::optional<std::string> NearestOption(const std::string& word, std::string_view subcommand = "");

// Where the configuration is read from without --config: $XDG_CONFIG_HOME/uvq/uvq.ini
// (~/.config when unset), else /etc/uvq/uvq.ini; the first that exists, else "".
std::string DefaultConfigFile();

}  // namespace uvq::cli
