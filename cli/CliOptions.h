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
#include "operations/EraseKinds.h"
#include "operations/LoaderService.h"

namespace uvq::cli {

enum class Operation { Locate, Status, Capture, Program, Erase, Reset, SetIp, Scan };

// One row per subcommand: its name, and whether it changes a unit (and so holds the unit's lock
// and refuses to guess among several units).
struct OperationRow {
  Operation operation;
  std::string_view name;
  bool changesUnit;
  std::string_view help;
};
inline constexpr std::array<OperationRow, 8> kOperations{{
    {Operation::Locate, "locate", false, "list the units that answer"},
    {Operation::Status, "status", false, "show what the unit reports"},
    {Operation::Capture, "capture", true, "put the unit into loader mode"},
    {Operation::Program, "program", true, "capture, then program an image"},
    {Operation::Erase, "erase", true, "capture, then erase"},
    {Operation::Reset, "reset", true, "reset the unit"},
    {Operation::SetIp, "set-ip", true, "give the unit a new IP address"},
    {Operation::Scan, "scan", false, "ask every address of a range who is there"},
}};

constexpr const OperationRow& OperationOf(Operation operation) {
  for (const OperationRow& row : kOperations)
    if (row.operation == operation) return row;
  return kOperations.front();  // unreachable: every operation has its row
}
constexpr std::string_view OperationName(Operation operation) {
  return OperationOf(operation).name;
}
constexpr bool ChangesUnit(Operation operation) {
  return OperationOf(operation).changesUnit;
}

// What one target's session does; the same for every target of a run.
struct SessionPlan {
  Operation operation = Operation::Locate;
  EraseKind eraseKind = EraseKind::Device;
  std::string imageFile;                  // program
  std::string newAddress;                 // set-ip, already checked
  std::optional<std::string> accessCode;  // sent as a live reboot request before capturing
  std::optional<std::string> unitId;      // four upper-case hex digits
  int waitMs = 1000;                      // answers to locate, status, reset, set-ip
  bool autoReset = true;
  bool beep = false;
  // The window's figures unless the options say otherwise: capture attempts and interval, erase
  // time-out, programming watchdog and resends.
  Timing timing;
  // --strict: a record the unit refused without aborting the run (it answered that the record
  // would overwrite the loader, or is of a type it does not take) fails the run.
  bool strict = false;
  // --no-verify: after programming, the unit's status is not read back to confirm the image.
  bool verify = true;
  // --allow-partial-record: an image whose size is not a multiple of 24 bytes is still sent.
  bool allowPartialRecord = false;
  // Locates sent while nobody answers; 0: the capture attempts (rollout run --watch, station).
  int findAttempts = 0;
};

struct CliOptions {
  SessionPlan plan;
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
