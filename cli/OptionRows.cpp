// SPDX-License-Identifier: Apache-2.0
#include "OptionRows.h"

#include "ExitCode.h"

namespace uvq::cli {

void SubcommandApp::applyConfigSection(const std::vector<ConfigValue>& values,
                                       std::string_view section) {
  std::vector<CLI::ConfigItem> items;
  for (const ConfigValue& v : values) {
    if (v.subcommand != section) continue;
    CLI::ConfigItem item;
    item.name = v.option;
    item.inputs = {v.value};
    items.push_back(std::move(item));
  }
  if (!items.empty()) _parse_config(items);
}

std::optional<int> SubcommandApp::parseWithSection(const std::vector<std::string>& words,
                                                   const std::vector<ConfigValue>& values,
                                                   std::string_view section) {
  std::vector<std::string> args(words.rbegin(), words.rend());  // CLI11 takes them last first
  try {
    parse(args);
    applyConfigSection(values, section);
  } catch (const CLI::ParseError& error) {
    const int code = exit(error);
    return code == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::Usage);
  }
  return std::nullopt;
}

RunOptionRows::RunOptionRows(CLI::App& app, CliOptions& options)
    : options_(options), noVerify_(!options.plan.verify) {
  jobs::JobPlan& plan = options.plan;
  AddRow(app, "", "--db", options.history.db);
  AddRow(app, "", "--station", options.history.station);
  AddRow(app, "", "--no-history", options.history.noHistory);
  AddRow(app, "", "--json", options.json);
  AddRow(app, "", "--quiet", quiet_);
  AddRow(app, "", "--verbose", verbose_);
  AddRow(app, "", "--wait-ms", plan.waitMs)->check(CLI::Range(1, 600000));
  AddRow(app, "", "--watchdog-ms", plan.timing.programWatchdogMs)->check(CLI::Range(1, 600000));
  AddRow(app, "", "--resends", plan.timing.programResends)->check(CLI::Range(0, 1000));
  AddRow(app, "", "--capture-attempts", plan.timing.captureAttempts)->check(CLI::Range(1, 100000));
  AddRow(app, "", "--capture-interval-ms", plan.timing.captureIntervalMs)
      ->check(CLI::Range(1, 600000));
  AddRow(app, "", "--strict", plan.strict);
  AddRow(app, "", "--no-verify", noVerify_);
  AddRow(app, "", "--allow-partial-record", options.allowPartialRecord);
}

std::optional<std::string> RunOptionRows::apply() {
  if (quiet_ > 0 && verbose_ > 0) return "--quiet and --verbose contradict each other";
  if (quiet_ > 0) options_.verbosity = Verbosity::Quiet;
  if (verbose_ > 0) options_.verbosity = Verbosity::Verbose;
  options_.plan.verify = !noVerify_;
  return std::nullopt;
}

}  // namespace uvq::cli
