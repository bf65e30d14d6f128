#include "CliOptions.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "protocol/AccessCode.h"
#include "protocol/IpAddressText.h"
#include "uvq/Version.h"

namespace uvq::cli {

std::optional<std::string> NormalizedUnitId(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::string id(4 - text.size(), '0');
  for (unsigned char c : text) {
    if (!std::isxdigit(c)) return std::nullopt;
    id += static_cast<char>(std::toupper(c));
  }
  return id;
}

namespace {

std::string SubcommandList() {
  std::string list;
  for (const OperationRow& row : kOperations)
    list += (list.empty() ? "" : ", ") + std::string(row.name);
  return list;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

ParsedOptions UsageError(const std::string& message) {
  std::cerr << "uvq: " << message << "\nRun with --help for more information.\n";
  return {std::nullopt, ExitCode::Usage};
}

std::vector<std::string> EraseKindNames() {
  std::vector<std::string> names;
  for (const EraseKindRow& row : kEraseKinds) names.emplace_back(row.commandLineName);
  return names;
}

// The first word on the command line that is neither an option nor an option's value: what
// the user meant as the subcommand.
std::optional<std::string> FirstWord(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? std::optional<std::string>(argv[i + 1]) : std::nullopt;
    if (arg.size() > 1 && arg[0] == '-') {
      if (arg.find('=') != std::string::npos) continue;
      const CLI::Option* option = app.get_option_no_throw(arg);
      if (option && option->get_type_size() > 0) ++i;  // its value follows
      continue;
    }
    return arg;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> NearestSubcommand(const std::string& word) {
  std::optional<std::string> best;
  size_t bestDistance = 0;
  for (const OperationRow& row : kOperations) {
    const std::string name(row.name);
    const size_t d = EditDistance(word, name);
    if (!best || d < bestDistance) best = name, bestDistance = d;
  }
  // Near enough to be a slip of the keys: at most a third of the word, and never more than 3.
  if (bestDistance == 0 || bestDistance > std::min<size_t>(3, std::max<size_t>(1, word.size() / 3)))
    return std::nullopt;
  return best;
}

std::string DefaultConfigFile() {
  std::string user;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    user = std::string(xdg) + "/uvq/uvq.ini";
  else if (const char* home = std::getenv("HOME"); home && *home)
    user = std::string(home) + "/.config/uvq/uvq.ini";
  if (IsFile(user)) return user;
  if (IsFile("/etc/uvq/uvq.ini")) return "/etc/uvq/uvq.ini";
  return "";
}

ParsedOptions ParseCliOptions(int argc, char** argv) {
  CLI::App app{
      "Finds UVQ units on the network, captures them into loader mode and programs, "
      "erases, resets or re-addresses them.",
      "uvq"};
  app.footer(std::string("\n") + kExitCodeHelp +
             "\n\nTarget: --target, else the environment variable UVQ_TARGET, else uvq.INI "
             "beside the executable (section Net, key Address), as for the window.\n"
             "Options may also come from a configuration file (INI, key = option name without "
             "dashes, e.g. watchdog-ms = 8000): --config FILE, else $XDG_CONFIG_HOME/uvq/uvq.ini, "
             "else /etc/uvq/uvq.ini. The command line wins over the file, the file over "
             "UVQ_TARGET.");
  app.fallthrough();
  app.require_subcommand(1);
  app.config_formatter(std::make_shared<CLI::ConfigINI>());
  const std::string defaultConfig = DefaultConfigFile();
  app.set_config("--config", defaultConfig,
                 "read options from this INI file (default: $XDG_CONFIG_HOME/uvq/uvq.ini, then "
                 "/etc/uvq/uvq.ini)");
  app.set_version_flag("--version", std::string("uvq ") + kVersion);

  CliOptions options;
  SessionPlan& plan = options.plan;
  std::vector<std::string> targets;
  std::string targetsFile;
  std::string unitId;
  std::string accessCode;
  bool noReset = false;
  bool noVerify = false;
  int quiet = 0;
  int verbose = 0;
  app.add_option("--target", targets, "unit address or host name (repeatable)")
      ->envname("UVQ_TARGET");
  app.add_option("--targets-file", targetsFile,
                 "file with one target per line, optionally followed by a unit ID; # comments");
  app.add_option("--id", unitId, "address only the unit with this ID (hex) when several answer");
  app.add_option("--access-code", accessCode,
                 "send a live reboot request with this code before capturing");
  app.add_option("--wait-ms", plan.waitMs, "how long to wait for answers (default 1000)")
      ->check(CLI::Range(1, 600000));
  app.add_option("--watchdog-ms", plan.timing.programWatchdogMs,
                 "programming watchdog per record (default 5000)")
      ->check(CLI::Range(1, 600000));
  app.add_option("--resends", plan.timing.programResends,
                 "resends of an unanswered record (default 4)")
      ->check(CLI::Range(0, 1000));
  app.add_option("--capture-attempts", plan.timing.captureAttempts,
                 "captures sent before giving up (default 150)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--capture-interval-ms", plan.timing.captureIntervalMs,
                 "time between captures (default 500)")
      ->check(CLI::Range(1, 600000));
  app.add_option("--erase-timeout-ms", plan.timing.eraseWatchdogMs,
                 "how long to wait for an erase to be answered (default 20000)")
      ->check(CLI::Range(1, 3600000));
  app.add_flag("--strict", plan.strict,
               "fail the run when the unit refused any record (loader overwrite, unsupported "
               "record type), which otherwise only counts them");
  app.add_flag("--no-verify", noVerify,
               "after programming and reset, do not locate the unit again to confirm it left "
               "loader mode with a valid program");
  app.add_flag("--allow-partial-record", plan.allowPartialRecord,
               "send an image whose size is not a multiple of 24 bytes");
  app.add_option("--log", options.logFile,
                 "append one JSON line per unit and run to this file (image SHA-256, outcome)");
  app.add_flag("--json", options.json, "one JSON object per line per event");
  app.add_flag("-q,--quiet", quiet, "no log lines and no progress");
  app.add_flag("-v,--verbose", verbose, "also every reply's fields, one line each");
  app.add_flag("--beep", plan.beep, "beep when programming completes");
  AddHistoryOptions(app, options.history);

  std::array<CLI::App*, kOperations.size()> subcommands{};
  for (size_t i = 0; i < kOperations.size(); ++i)
    subcommands[i] =
        app.add_subcommand(std::string(kOperations[i].name), std::string(kOperations[i].help));
  const auto subcommand = [&](Operation operation) {
    return subcommands[static_cast<size_t>(&OperationOf(operation) - kOperations.data())];
  };
  CLI::App* program = subcommand(Operation::Program);
  program->add_option("FILE", plan.imageFile, "image file (.cry)")->required();
  program->add_flag("--no-reset", noReset, "do not reset the unit after programming");
  CLI::App* erase = subcommand(Operation::Erase);
  std::string eraseWhat;
  erase->add_option("WHAT", eraseWhat, "device, program or data")
      ->required()
      ->check(CLI::IsMember(EraseKindNames()));
  CLI::App* setIp = subcommand(Operation::SetIp);
  setIp->add_option("ADDRESS", plan.newAddress, "the new address, a.b.c.d")->required();
  CLI::App* scan = subcommand(Operation::Scan);
  scan->add_option("RANGE", options.scanRange, "FIRST-LAST, e.g. 10.1.2.1-10.1.2.254")->required();
  scan->add_option("--rate", options.scanRate, "addresses asked per second (default 50)")
      ->check(CLI::Range(1, 10000));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const bool anySubcommand = std::any_of(std::begin(subcommands), std::end(subcommands),
                                           [](const CLI::App* sub) { return sub->parsed(); });
    const auto word = FirstWord(app, argc, argv);
    if (error.get_exit_code() != 0 && !anySubcommand && word) {
      const auto nearest = NearestSubcommand(*word);
      return UsageError(
          "unknown subcommand '" + *word + "'" +
          (nearest ? "; did you mean '" + *nearest + "'?" : "; one of " + SubcommandList()));
    }
    const int code = app.exit(error);
    return {std::nullopt, code == 0 ? ExitCode::Ok : ExitCode::Usage};
  }

  CollectHistoryCommand(app, options.history);
  if (options.history.command) return {std::move(options), ExitCode::Ok};
  for (size_t i = 0; i < kOperations.size(); ++i)
    if (subcommands[i]->parsed()) plan.operation = kOperations[i].operation;
  plan.autoReset = !noReset;
  if (const auto kind = EraseKindNamed(eraseWhat)) plan.eraseKind = *kind;
  plan.verify = !noVerify;
  if (quiet > 0 && verbose > 0) return UsageError("--quiet and --verbose contradict each other");
  options.verbosity = quiet > 0     ? Verbosity::Quiet
                      : verbose > 0 ? Verbosity::Verbose
                                    : Verbosity::Normal;
  if (const CLI::Option* config = app.get_config_ptr(); config && config->count() > 0)
    options.configFile = config->as<std::string>();

  if (plan.operation == Operation::SetIp &&
      !protocol::ParseUnitIpAddress(plan.newAddress).has_value())
    return UsageError("invalid address '" + plan.newAddress +
                      "' (expected a.b.c.d, 0 to 255; not 0.x.y.z, multicast or broadcast)");
  if (!unitId.empty() || app.count("--id") > 0) {
    plan.unitId = NormalizedUnitId(unitId);
    if (!plan.unitId) return UsageError("invalid unit ID '" + unitId + "' (1 to 4 hex digits)");
  }
  if (app.count("--access-code") > 0) {
    const protocol::AccessCode code(accessCode);
    if (!code.ok()) return UsageError("access code: " + code.problem());
    plan.accessCode = accessCode;
  }
  for (std::string& target : targets) options.targets.push_back({std::move(target), {}});
  if (!targetsFile.empty()) {
    std::ifstream in(targetsFile);
    if (!in) return UsageError("cannot read targets file '" + targetsFile + "'");
    auto lines = ReadTargetLines(in);
    if (const auto* problem = std::get_if<TargetFileError>(&lines))
      return UsageError("targets file '" + targetsFile + "', " + problem->message);
    auto& entries = std::get<std::vector<TargetEntry>>(lines);
    if (entries.empty()) return UsageError("no targets in '" + targetsFile + "'");
    for (TargetEntry& entry : entries) options.targets.push_back(std::move(entry));
  }
  return {std::move(options), ExitCode::Ok};
}

}  // namespace uvq::cli
