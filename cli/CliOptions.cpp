// SPDX-License-Identifier: Apache-2.0
#include "CliOptions.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "CommandTable.h"
#include "ConfigFile.h"
#include "OptionRows.h"
#include "StationOptions.h"
#include "protocol/AccessCode.h"
#include "protocol/IpAddressText.h"
#include "reports/TerminalText.h"
#include "settings/SettingsFileText.h"
#include "units/Hex.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

// The subcommands that take their own words, beside the operations on units.
constexpr std::array<std::string_view, 5> kOwnParsers{"history", "rollout", "station", "serve",
                                                      "report"};

std::vector<std::string> SubcommandNames() {
  std::vector<std::string> names;
  for (const JobSubcommand& row : kJobSubcommands) names.emplace_back(jobs::KindName(row.kind));
  for (const std::string_view name : kOwnParsers) names.emplace_back(name);
  return names;
}

std::string SubcommandList() {
  std::string list;
  for (const std::string& name : SubcommandNames()) list += (list.empty() ? "" : ", ") + name;
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

// Anything at the path counts, so that a FIFO or a device there is refused by name when read
// rather than passed over in silence.
bool Exists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

ParsedOptions UsageError(const std::string& message) {
  std::cerr << "uvq: " << reports::Escaped(message) << "\nRun 'uvq --help' for more information.\n";
  return {std::nullopt, ExitCode::Usage};
}

// The parser, with the one step of CLI11's own configuration reading that is wanted here:
// values handed over after the command line, for the options it left unset.
class UvqApp : public CLI::App {
 public:
  using CLI::App::App;
  void applyConfig(const std::vector<ConfigValue>& values) {
    std::vector<CLI::ConfigItem> items;
    for (const ConfigValue& v : values) {
      CLI::ConfigItem item;
      if (!v.subcommand.empty()) item.parents.push_back(v.subcommand);
      item.name = v.option;
      item.inputs = {v.value};
      items.push_back(std::move(item));
    }
    _parse_config(items);
  }
};

// The top-level help lists each subcommand with its arguments and own options.
class UvqFormatter : public CLI::Formatter {
 public:
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream out;
    CLI::detail::format_help(out, SubcommandSynopsis(sub->get_name()), sub->get_description(),
                             column_width_);
    return out.str();
  }
};

// A word on the command line that looks like a long option the table does not know, skipping
// the values of those it knows.
std::optional<std::string> UnknownLongOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return std::nullopt;
    if (!arg.starts_with("--")) continue;
    const std::string name = arg.substr(0, arg.find('='));
    const OptionRow* known = nullptr;
    for (const OptionRow& row : kOptionRows)
      if (LongName(row) == name) known = &row;
    if (!known) return name;
    if (!known->value.empty() && arg.find('=') == std::string::npos) ++i;
  }
  return std::nullopt;
}

std::vector<std::string> EraseKindNames() {
  std::vector<std::string> names;
  for (const EraseKindRow& row : kEraseKinds) names.emplace_back(row.commandLineName);
  return names;
}

// Where the first word on the command line that is neither an option nor an option's value
// is: what the user meant as the subcommand. argc when there is none.
int FirstWordIndex(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1;
    if (arg.size() > 1 && arg[0] == '-') {
      if (arg.find('=') != std::string::npos) continue;
      const CLI::Option* option = app.get_option_no_throw(arg);
      if (option && option->get_type_size() > 0) ++i;  // its value follows
      continue;
    }
    return i;
  }
  return argc;
}

std::optional<std::string> FirstWord(CLI::App& app, int argc, char** argv) {
  const int i = FirstWordIndex(app, argc, argv);
  return i < argc ? std::optional<std::string>(argv[i]) : std::nullopt;
}

// Whether the parser of a subcommand with its own words takes `name` itself: its rows in the
// table (history's --target is a filter of its own), and the run's options that may follow
// rollout and station.
bool OwnParserTakes(std::string_view subcommand, std::string_view name) {
  if (name == "--help" || name == "-h" || FindOptionRow(subcommand, name)) return true;
  if (subcommand == "rollout" && (name == "--target" || name == "--targets-file")) return true;
  if (subcommand != "rollout" && subcommand != "station") return false;
  CLI::App runApp;
  CliOptions scratch;
  const RunOptionRows rows(runApp, scratch);
  return runApp.get_option_no_throw(std::string(name)) != nullptr;
}

// The row of a global option by any of its names ("-q" or "--quiet"); nullptr when none.
const OptionRow* GlobalRowNamed(std::string_view name) {
  for (const OptionRow& row : kOptionRows) {
    if (!row.subcommand.empty()) continue;
    for (std::string_view rest = row.names; !rest.empty();) {
      const size_t comma = rest.find(',');
      if (rest.substr(0, comma) == name) return &row;
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return nullptr;
}

// The first option with a value given more than once among `words` (a subcommand's and the
// global ones), in one sentence; CLI11 would say "At Most 1 required but received 2".
std::optional<std::string> RepeatedOption(std::string_view subcommand,
                                          const std::vector<std::string>& words) {
  std::vector<std::string_view> seen;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& arg = words[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    const std::string name = arg.substr(0, arg.find('='));
    const OptionRow* row = FindOptionRow(subcommand, name);
    if (!row) row = GlobalRowNamed(name);
    if (!row || row->value.empty()) continue;
    if (name.size() == arg.size()) ++i;  // its value
    if (row->repeatable) continue;
    if (std::find(seen.begin(), seen.end(), LongName(*row)) != seen.end())
      return std::string(LongName(*row)) + " is given more than once; give it once";
    seen.push_back(LongName(*row));
  }
  return std::nullopt;
}

// The command line as the parser takes it (CLI11's order: last word first), or what is wrong
// with it. After a subcommand with its own words, a global option its parser does not take
// (--config, --log, ...) is moved before the subcommand with its value, so the global options
// go before or after every subcommand alike; an option neither takes is refused here, with
// the nearest name, as before any subcommand.
struct ParserWords {
  std::vector<std::string> words;
  std::optional<std::string> problem;
};
ParserWords WordsToParse(CLI::App& app, int argc, char** argv) {
  const int at = FirstWordIndex(app, argc, argv);
  std::vector<std::string> before(argv + 1, argv + std::min(at, argc));
  std::vector<std::string> after;
  const std::string subcommand = at < argc ? argv[at] : "";
  const bool ownWords =
      std::find(kOwnParsers.begin(), kOwnParsers.end(), subcommand) != kOwnParsers.end() &&
      std::string_view(argv[at - 1]) != "--";
  ParserWords parsed;
  for (int i = at; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i == at || !ownWords || arg.size() < 2 || arg[0] != '-') {
      after.push_back(arg);
      if (arg == "--" && i > at) {  // the rest is the subcommand's, word for word
        after.insert(after.end(), argv + i + 1, argv + argc);
        break;
      }
      continue;
    }
    const std::string name = arg.substr(0, arg.find('='));
    const bool valueFollows = name.size() == arg.size() && i + 1 < argc;
    const OptionRow* global = GlobalRowNamed(name);
    const OptionRow* own = FindOptionRow(subcommand, name);
    if (!global && !own && !OwnParserTakes(subcommand, name) && !parsed.problem) {
      const auto nearest = NearestOption(name, subcommand);
      parsed.problem = "unknown option '" + name + "'" +
                       (nearest ? "; did you mean '" + *nearest + "'?" : std::string());
    }
    const bool moved = global && !OwnParserTakes(subcommand, LongName(*global));
    // A subcommand's own option keeps its value, whatever that looks like.
    const OptionRow* row = moved ? global : own ? own : global;
    std::vector<std::string>& to = moved ? before : after;
    to.push_back(arg);
    if (row && !row->value.empty() && valueFollows) to.emplace_back(argv[++i]);
  }
  if (!parsed.problem) {
    if (ownWords) {
      parsed.problem = RepeatedOption("", before);
      if (!parsed.problem) parsed.problem = RepeatedOption(subcommand, after);
    } else {
      std::vector<std::string> all = before;
      all.insert(all.end(), after.begin(), after.end());
      parsed.problem = RepeatedOption(subcommand, all);
    }
  }
  parsed.words.assign(after.rbegin(), after.rend());
  parsed.words.insert(parsed.words.end(), before.rbegin(), before.rend());
  return parsed;
}

}  // namespace

std::optional<std::string> NearestSubcommand(const std::string& word) {
  std::optional<std::string> best;
  size_t bestDistance = 0;
  for (const std::string& name : SubcommandNames()) {
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
  if (Exists(user)) return user;
  if (Exists("/etc/uvq/uvq.ini")) return "/etc/uvq/uvq.ini";
  return "";
}

std::optional<std::string> NearestOption(const std::string& word, std::string_view subcommand) {
  std::optional<std::string> best;
  size_t bestDistance = 0;
  for (const OptionRow& row : kOptionRows) {
    if (!subcommand.empty() && !row.subcommand.empty() && row.subcommand != subcommand) continue;
    const std::string name(LongName(row));
    if (!name.starts_with("--")) continue;
    const size_t d = EditDistance(word, name);
    if (!best || d < bestDistance) best = name, bestDistance = d;
  }
  if (bestDistance == 0 || bestDistance > std::min<size_t>(3, std::max<size_t>(1, word.size() / 3)))
    return std::nullopt;
  return best;
}

ParsedOptions ParseCliOptions(int argc, char** argv) {
  UvqApp app{
      "Finds UVQ units on the network, captures them into loader mode and programs, "
      "erases, resets or re-addresses them.",
      "uvq"};
  app.formatter(std::make_shared<UvqFormatter>());
  app.get_formatter()->column_width(44);
  app.footer(
      "\nTarget: --target or --targets-file, else the configuration file's target (or its "
      "[Net] Address), else the environment variable UVQ_TARGET, else uvq.INI beside the "
      "executable ([Net] Address), as for the window.\n"
      "Options may also come from a configuration file (INI, key = option name without "
      "dashes, e.g. watchdog-ms = 8000; a subcommand's options in a section named after it): "
      "--config FILE, else $XDG_CONFIG_HOME/uvq/uvq.ini, else /etc/uvq/uvq.ini. The command "
      "line wins over the file. An unknown section or key is an error.\n"
      "Exit codes: uvq help exit-codes, or man uvq. A subcommand's own options: uvq help "
      "SUBCOMMAND.");
  app.fallthrough();
  app.require_subcommand(1);
  app.set_help_flag();  // the table's row below, answered once the subcommand is known
  bool versionWanted = false;

  CliOptions options;
  jobs::JobPlan& plan = options.plan;
  std::string newAddress;
  std::vector<std::string> targets;
  std::string targetsFile;
  std::string unitId;
  std::string accessCode;
  std::string configFile;
  bool noReset = false;
  bool noVerify = false;
  int quiet = 0;
  int verbose = 0;
  bool helpWanted = false;
  AddRow(app, "", "--help", helpWanted);
  AddRow(app, "", "--version", versionWanted);
  AddRow(app, "", "--target", targets);
  AddRow(app, "", "--targets-file", targetsFile);
  AddRow(app, "", "--id", unitId);
  AddRow(app, "", "--access-code", accessCode);
  AddRow(app, "", "--wait-ms", plan.waitMs)->check(CLI::Range(1, 600000));
  AddRow(app, "", "--watchdog-ms", plan.timing.programWatchdogMs)->check(CLI::Range(1, 600000));
  AddRow(app, "", "--resends", plan.timing.programResends)->check(CLI::Range(0, 1000));
  AddRow(app, "", "--capture-attempts", plan.timing.captureAttempts)->check(CLI::Range(1, 100000));
  AddRow(app, "", "--capture-interval-ms", plan.timing.captureIntervalMs)
      ->check(CLI::Range(1, 600000));
  AddRow(app, "", "--erase-timeout-ms", plan.timing.eraseWatchdogMs)->check(CLI::Range(1, 3600000));
  AddRow(app, "", "--strict", plan.strict);
  AddRow(app, "", "--no-verify", noVerify);
  AddRow(app, "", "--allow-partial-record", options.allowPartialRecord);
  AddRow(app, "", "--log", options.logFile);
  AddRow(app, "", "--json", options.json);
  AddRow(app, "", "--quiet", quiet);
  AddRow(app, "", "--verbose", verbose);
  AddRow(app, "", "--beep", plan.beep);
  AddRow(app, "", "--config", configFile);
  AddHistoryOptions(app, options.history);
  AddRolloutCommand(app, options.rollout);
  AddServeCommand(app, options.serve);
  AddReportCommand(app, options.report);
  AddStationCommand(app);

  std::array<CLI::App*, kJobSubcommands.size()> subcommands{};
  for (size_t i = 0; i < kJobSubcommands.size(); ++i)
    subcommands[i] = app.add_subcommand(std::string(jobs::KindName(kJobSubcommands[i].kind)),
                                        std::string(kJobSubcommands[i].help));
  const auto subcommand = [&](jobs::JobKind kind) {
    for (size_t i = 0; i < kJobSubcommands.size(); ++i)
      if (kJobSubcommands[i].kind == kind) return subcommands[i];
    return subcommands.front();  // unreachable: every job kind has its subcommand
  };
  CLI::App* program = subcommand(jobs::JobKind::Program);
  AddRow(*program, "program", "FILE", options.imageFile)->required();
  AddRow(*program, "program", "--no-reset", noReset);
  CLI::App* erase = subcommand(jobs::JobKind::Erase);
  std::string eraseWhat;
  AddRow(*erase, "erase", "WHAT", eraseWhat)->required()->check(CLI::IsMember(EraseKindNames()));
  CLI::App* setIp = subcommand(jobs::JobKind::SetIp);
  AddRow(*setIp, "set-ip", "ADDRESS", newAddress)->required();
  CLI::App* scan = subcommand(jobs::JobKind::Scan);
  AddRow(*scan, "scan", "RANGE", options.scanRange)->required();
  AddRow(*scan, "scan", "--rate", options.scanRate)->check(CLI::Range(1, 10000));
  CLI::App* help = app.add_subcommand("help", "this help, a subcommand's, or the exit codes");
  // `help rollout create`: the words after the topic go to that subcommand's parser.
  std::vector<std::string> topicWords;
  AddRow(*help, "help", "TOPIC", topicWords);
  for (CLI::App* sub : app.get_subcommands({}))
    sub->footer(
        "\nThe options every subcommand takes (--target, --json, ...): uvq --help. Exit codes: "
        "uvq help exit-codes, or man uvq.");

  ParserWords words = WordsToParse(app, argc, argv);
  if (words.problem) return UsageError(*words.problem);
  try {
    app.parse(words.words);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return {std::nullopt, ExitCode::Ok};
    if (const auto unknown = UnknownLongOption(argc, argv)) {
      const auto nearest = NearestOption(*unknown);
      return UsageError("unknown option '" + *unknown + "'" +
                        (nearest ? "; did you mean '" + *nearest + "'?" : std::string()));
    }
    const bool anySubcommand = std::any_of(std::begin(subcommands), std::end(subcommands),
                                           [](const CLI::App* sub) { return sub->parsed(); });
    const auto word = FirstWord(app, argc, argv);
    if (!anySubcommand && !help->parsed() && word && !helpWanted) {
      const auto nearest = NearestSubcommand(*word);
      return UsageError(
          "unknown subcommand '" + *word + "'" +
          (nearest ? "; did you mean '" + *nearest + "'?" : "; one of " + SubcommandList()));
    }
    if (helpWanted || versionWanted) {
      // --help or --version beside an incomplete command line still answers.
    } else {
      return UsageError(error.what());
    }
  }
  if (versionWanted) {
    std::cout << "uvq " << kVersion << "\n";
    return {std::nullopt, ExitCode::Ok};
  }
  if (helpWanted || help->parsed()) {
    // `uvq help TOPIC`, `uvq SUBCOMMAND --help` or `uvq --help`.
    const CLI::App* about = nullptr;
    if (help->parsed()) {
      const std::string topic = topicWords.empty() ? "" : topicWords.front();
      const std::vector<std::string> more(topicWords.begin() + (topicWords.empty() ? 0 : 1),
                                          topicWords.end());
      if (topic == "exit-codes") {
        std::cout << ExitCodeText() << "\n";
        return {std::nullopt, ExitCode::Ok};
      }
      // A subcommand with its own parser answers as `uvq SUBCOMMAND ... --help` does.
      if (std::find(kOwnParsers.begin(), kOwnParsers.end(), topic) != kOwnParsers.end()) {
        std::vector<std::string> words = more;
        words.emplace_back("--help");
        if (topic == "history") options.history.command = true, options.history.commandArgs = words;
        if (topic == "serve") options.serve.command = true, options.serve.commandArgs = words;
        if (topic == "report") options.report.command = true, options.report.commandArgs = words;
        if (topic == "rollout") options.rollout.command = true, options.rollout.args = words;
        if (topic == "station") options.station.command = true, options.station.args = words;
        return {std::move(options), ExitCode::Ok};
      }
      if (!more.empty()) return UsageError("no help on '" + topic + " " + more.front() + "'");
      for (CLI::App* sub : app.get_subcommands({}))
        if (!topic.empty() && sub->get_name() == topic) about = sub;
      if (!topic.empty() && !about)
        return UsageError("no help on '" + topic + "'; one of " + SubcommandList() +
                          ", exit-codes");
    } else if (!app.get_subcommands().empty()) {
      about = app.get_subcommands().front();
    }
    std::cout << (about ? about->help("uvq")
                        : app.get_formatter()->make_help(&app, "uvq", CLI::AppFormatMode::Normal));
    return {std::nullopt, ExitCode::Ok};
  }

  // The configuration file: given, or the user's or the machine's. Its values count where the
  // command line left an option unset.
  if (configFile.empty()) configFile = DefaultConfigFile();
  std::vector<std::string> configTargets;
  if (!configFile.empty()) {
    auto read = ReadConfigFile(configFile);
    if (const auto* problem = std::get_if<std::string>(&read)) return UsageError(*problem);
    ConfigContents& contents = std::get<ConfigContents>(read);
    try {
      // The sections of subcommands with parsers of their own go to those parsers.
      std::vector<ConfigValue> mainValues;
      for (ConfigValue& value : contents.values) {
        const bool own = value.subcommand.empty() ||
                         std::any_of(kJobSubcommands.begin(), kJobSubcommands.end(),
                                     [&](const JobSubcommand& row) {
                                       return jobs::KindName(row.kind) == value.subcommand;
                                     });
        (own ? mainValues : options.sectionValues).push_back(std::move(value));
      }
      app.applyConfig(mainValues);
    } catch (const CLI::ParseError& error) {
      return UsageError("configuration file '" + configFile + "': " + error.what());
    }
    configTargets = std::move(contents.targets);
    options.configFile = configFile;
  }

  CollectHistoryCommand(app, options.history);
  if (options.history.command) return {std::move(options), ExitCode::Ok};
  CollectServeCommand(app, options.serve);
  if (options.serve.command) return {std::move(options), ExitCode::Ok};
  CollectReportCommand(app, options.report);
  if (options.report.command) return {std::move(options), ExitCode::Ok};
  for (size_t i = 0; i < kJobSubcommands.size(); ++i)
    if (subcommands[i]->parsed()) plan.kind = kJobSubcommands[i].kind;
  plan.autoReset = !noReset;
  if (const auto kind = EraseKindNamed(eraseWhat)) plan.eraseKind = *kind;
  plan.verify = !noVerify;
  if (quiet > 0 && verbose > 0) return UsageError("--quiet and --verbose contradict each other");
  options.verbosity = quiet > 0     ? Verbosity::Quiet
                      : verbose > 0 ? Verbosity::Verbose
                                    : Verbosity::Normal;

  if (plan.kind == jobs::JobKind::SetIp) plan.newAddress = protocol::ParseUnitIpAddress(newAddress);
  if (plan.kind == jobs::JobKind::SetIp && !plan.newAddress)
    return UsageError("invalid address '" + newAddress +
                      "' (expected a.b.c.d, 0 to 255; not 0.x.y.z, multicast, reserved or "
                      "broadcast)");
  if (!unitId.empty() || app.count("--id") > 0) {
    plan.unit = fleet::UnitIdOf(unitId);
    if (!plan.unit) return UsageError("invalid unit ID '" + unitId + "' (1 to 4 hex digits)");
  }
  if (app.count("--access-code") > 0) {
    const protocol::AccessCode code(accessCode);
    if (!code.ok()) return UsageError("access code: " + code.problem());
    plan.accessCode = accessCode;
  }
  for (std::string& target : targets) options.targets.push_back({std::move(target), {}});
  if (!targetsFile.empty()) {
    // Read by the rule for every file the tools read: regular, without waiting, bounded.
    const settings::SettingsFileText file =
        settings::ReadSettingsFileText(targetsFile, kMaxTargetsFileSize);
    if (!file.problem.empty())
      return UsageError("targets file '" + targetsFile +
                        (file.problem.starts_with("is ") ? "' " : "': ") + file.problem);
    std::istringstream in(file.text);
    auto lines = ReadTargetLines(in);
    if (const auto* problem = std::get_if<TargetFileError>(&lines))
      return UsageError("targets file '" + targetsFile + "', " + problem->message);
    auto& entries = std::get<std::vector<TargetEntry>>(lines);
    if (entries.empty()) return UsageError("no targets in '" + targetsFile + "'");
    for (TargetEntry& entry : entries) options.targets.push_back(std::move(entry));
  }
  // A rollout keeps its own targets: none from the configuration or the environment.
  CollectRolloutCommand(app, options.rollout);
  if (options.rollout.command) return {std::move(options), ExitCode::Ok};
  CollectStationCommand(app, options.station);
  if (options.station.command) return {std::move(options), ExitCode::Ok};
  // A scan takes its addresses from its range alone; only a target given on the command line
  // is a contradiction. Otherwise: the file's targets, then UVQ_TARGET.
  if (options.targets.empty() && plan.kind != jobs::JobKind::Scan) {
    if (configTargets.empty())
      if (const char* fromEnvironment = std::getenv("UVQ_TARGET");
          fromEnvironment && *fromEnvironment)
        configTargets.emplace_back(fromEnvironment);
    for (std::string& target : configTargets) options.targets.push_back({std::move(target), {}});
  }
  return {std::move(options), ExitCode::Ok};
}

}  // namespace uvq::cli
