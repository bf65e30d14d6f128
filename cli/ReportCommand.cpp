// SPDX-License-Identifier: Apache-2.0
#include "ReportCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "CliOptions.h"
#include "FilterArgs.h"
#include "OptionRows.h"
#include "fleet/OpenStores.h"
#include "protocol/IpAddressText.h"
#include "recording/StationFacts.h"
#include "reports/ReportFormats.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"

namespace uvq::cli {

namespace {

struct ReportRequest {
  std::string what;  // "rollout" or "units"
  std::string name;
  reports::ReportFormat format = reports::ReportFormat::Csv;
  reports::UnitsReportFilter filter;
  std::string db;
};

std::optional<ReportRequest> ParseRequest(const CliOptions& options, int& exitCode) {
  SubcommandApp app{
      "Reports each unit's final state (UVQ ID, address, image SHA-256 and path, outcome, "
      "last status, station, attempts, time of the final attempt) as CSV, JSON or a printable "
      "HTML page.",
      "uvq report"};
  app.footer(
      "\nuvq report rollout NAME: every unit of the rollout. uvq report units [filters]: each "
      "unit programmed in the time given (any time without one); with --image only the units "
      "that carry that image now.\nTimes are UTC: 2026-12-07, 2026-12-07T10:15[:30][Z], or a "
      "time back from now: 7d, 12h, 30m, 45s. CSV unless --json or --html.");
  ReportRequest request;
  request.db = options.history.db;
  std::string unit, image, since, until;
  bool csv = false, json = false, html = false;
  AddRow(app, "report", "WHAT", request.what)
      ->required()
      ->check(CLI::IsMember({"rollout", "units"}));
  AddRow(app, "report", "NAME", request.name);
  AddRow(app, "report", "--image", image);
  AddRow(app, "report", "--since", since);
  AddRow(app, "report", "--until", until);
  AddRow(app, "report", "--station", request.filter.station);
  AddRow(app, "report", "--unit", unit);
  AddRow(app, "report", "--target", request.filter.address);
  AddRow(app, "report", "--csv", csv);
  AddRow(app, "report", "--json", json);
  AddRow(app, "report", "--html", html);
  AddRow(app, "report", "--db", request.db);
  if (const auto code =
          app.parseWithSection(options.report.commandArgs, options.sectionValues, "report")) {
    exitCode = *code;
    return std::nullopt;
  }
  const auto usage = [&](const std::string& message) {
    std::cerr << "uvq: report: " << reports::Escaped(message) << "\n";
    exitCode = ToInt(ExitCode::Usage);
    return std::nullopt;
  };
  if (int(csv) + int(json) + int(html) > 1)
    return usage("--csv, --json and --html exclude each other");
  if (json) request.format = reports::ReportFormat::Json;
  if (html) request.format = reports::ReportFormat::Html;
  const bool filtered = !image.empty() || !since.empty() || !until.empty() || !unit.empty() ||
                        !request.filter.station.empty() || !request.filter.address.empty();
  if (request.what == "rollout") {
    if (request.name.empty()) return usage("report rollout takes the rollout's NAME");
    if (filtered) return usage("the filters are for report units; a rollout report has every unit");
    return request;
  }
  if (!request.name.empty()) return usage("report units takes no name, only filters");
  if (!unit.empty()) {
    const auto id = NormalizedUnitId(unit);
    if (!id) return usage("invalid unit ID '" + unit + "' (1 to 4 hex digits)");
    request.filter.unitId = *id;
  }
  if (!request.filter.address.empty() &&
      !protocol::ParseIpAddressParts(request.filter.address).has_value())
    return usage("--target takes an address a.b.c.d, not '" + request.filter.address + "'");
  if (!ReadFilterArgsInto("report", {since, until, image}, request.filter, exitCode))
    return std::nullopt;
  return request;
}

int Fail(ExitCode code, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "uvq: report: %s\n", reports::Escaped(message).c_str());
  return ToInt(code);
}

}  // namespace

void AddReportCommand(CLI::App& app, ReportOptions& options) {
  (void)options;
  CLI::App* report = app.add_subcommand(
      "report",
      "each unit's final state for sign-off: report rollout NAME, report units [filters]; "
      "--csv, --json or --html");
  report->prefix_command();
  report->allow_extras();
  report->fallthrough(false);
  report->set_help_flag();
}

void CollectReportCommand(CLI::App& app, ReportOptions& options) {
  CLI::App* report = app.get_subcommand("report");
  options.command = report->parsed();
  if (options.command) options.commandArgs = report->remaining();
}

int RunReportCommand(const CliOptions& options) {
  int exitCode = 0;
  const std::optional<ReportRequest> request = ParseRequest(options, exitCode);
  if (!request) return exitCode;
  const bool rollout = request->what == "rollout";
  const fleet::OpenedStores stores =
      rollout
          ? fleet::OpenStores(request->db, {fleet::StoreKind::History, fleet::StoreKind::Rollouts})
          : fleet::OpenStores(request->db, {fleet::StoreKind::History});
  if (stores.problem) return Fail(ExitCode::History, stores.problem->message);
  try {
    const history::UtcMillis now = recording::NowUtcMillis();
    std::optional<reports::UnitReport> report;
    if (rollout) {
      report = reports::RolloutReport(*stores.history, *stores.rollouts, request->name, now);
      if (!report) return Fail(ExitCode::Usage, "no rollout named '" + request->name + "'");
    } else {
      report = reports::UnitsReport(*stores.history, request->filter, now);
    }
    const std::string text = reports::ReportText(*report, request->format);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) return ToInt(ExitCode::File);
  } catch (const std::exception& error) {
    return Fail(ExitCode::History, fleet::StoreProblemOf(error, request->db).message);
  }
  return ToInt(ExitCode::Ok);
}

}  // namespace uvq::cli
