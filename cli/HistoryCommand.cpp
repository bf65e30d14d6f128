// SPDX-License-Identifier: Apache-2.0
#include "HistoryCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "FilterArgs.h"
#include "OptionRows.h"
#include "fleet/OpenStores.h"
#include "protocol/IpAddressText.h"
#include "recording/StationFacts.h"
#include "reports/HistoryText.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::cli {

namespace {

int Fail(ExitCode code, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "uvq: %s\n", reports::Escaped(message).c_str());
  return ToInt(code);
}

// The outcome words a filter takes: the outcome table's, then those of rows never completed.
std::vector<std::string> OutcomeWords() {
  std::vector<std::string> ended;
  for (const OutcomeRow& row : kOutcomeTable)
    ended.emplace_back(row.outcome ? jobs::OutcomeIdentifier(*row.outcome) : row.word);
  return history::OutcomeFilterWords(ended);
}

struct HistoryRequest {
  bool units = false;
  bool actions = false;  // the actions on rollouts
  bool flush = false;
  reports::HistoryForm format = reports::HistoryForm::Table;
  history::HistoryFilter filter;
  std::string db;
};

// The command's own words. nullopt with the exit code when they were wrong or asked for help
// (already printed).
std::optional<HistoryRequest> ParseRequest(const CliOptions& options, int& exitCode) {
  SubcommandApp app{"Shows what was done to which unit, newest first, from the history database.",
                    "uvq history"};
  app.footer(
      "\nuvq history units [filters]: each unit's latest state (address, last operation and "
      "outcome, last image programmed successfully and when); with --image: the units that "
      "carry that image. A unit is its ID at its address: one ID at two addresses is two "
      "units, and a unit given a new address (set-ip) takes its history along.\nuvq history "
      "actions [--rollout NAME] [--limit N] [--json]: every action on the rollouts (create, "
      "pause, approve, skip, ...), who did it, from where and when, oldest first.\nTimes are "
      "UTC: 2026-12-07, 2026-12-07T10:15[:30][Z], or a time "
      "back from now: 7d, 12h, 30m, 45s. A row begun and not completed shows as running while "
      "the process that began it lives, else as abandoned.");
  HistoryRequest request;
  request.db = options.history.db;
  request.format = options.json ? reports::HistoryForm::Json : reports::HistoryForm::Table;
  std::string what, unit, image, since, until;
  bool json = false, csv = false;
  int limit = 100;
  // Names, value names and help from the one table, as everywhere on the command line.
  AddRow(app, "history", "units", what)->check(CLI::IsMember({"units", "actions"}));
  AddRow(app, "history", "--unit", unit);
  AddRow(app, "history", "--target", request.filter.target);
  AddRow(app, "history", "--address", request.filter.unitAddress);
  AddRow(app, "history", "--image", image);
  AddRow(app, "history", "--outcome", request.filter.outcome);
  AddRow(app, "history", "--operation", request.filter.operation);
  AddRow(app, "history", "--station", request.filter.station);
  AddRow(app, "history", "--rollout", request.filter.rollout);
  AddRow(app, "history", "--since", since);
  AddRow(app, "history", "--until", until);
  AddRow(app, "history", "--limit", limit)->check(CLI::Range(0, 1 << 30));
  AddRow(app, "history", "--json", json);
  AddRow(app, "history", "--csv", csv);
  AddRow(app, "history", "--flush", request.flush);
  AddRow(app, "history", "--db", request.db);

  if (const auto code =
          app.parseWithSection(options.history.commandArgs, options.sectionValues, "history")) {
    exitCode = *code;
    return std::nullopt;
  }
  const auto usage = [&](const std::string& message) {
    std::cerr << "uvq: history: " << reports::Escaped(message) << "\n";
    exitCode = ToInt(ExitCode::Usage);
    return std::nullopt;
  };
  if (json && csv) return usage("--json and --csv exclude each other");
  if (csv) request.format = reports::HistoryForm::Csv;
  if (json) request.format = reports::HistoryForm::Json;
  request.units = what == "units";
  request.actions = what == "actions";
  if (request.actions) {
    const history::HistoryFilter& f = request.filter;
    if (csv || !unit.empty() || !image.empty() || !since.empty() || !until.empty() ||
        !f.target.empty() || !f.outcome.empty() || !f.operation.empty() || !f.station.empty())
      return usage("actions takes --rollout, --limit, --json and --db only");
    request.filter.limit = limit;
    return request;
  }
  if (request.units && !request.filter.rollout.empty())
    return usage("--rollout filters the operations, not the units' latest states");
  if (!request.filter.outcome.empty()) {
    const std::vector<std::string> known = OutcomeWords();
    if (std::find(known.begin(), known.end(), request.filter.outcome) == known.end()) {
      std::string list;
      for (const std::string& word : known) list += (list.empty() ? "" : ", ") + word;
      return usage("--outcome takes one of " + list + ", not '" + request.filter.outcome + "'");
    }
  }
  request.filter.limit = limit;
  if (!unit.empty()) {
    const auto id = NormalizedUnitId(unit);
    if (!id) return usage("invalid unit ID '" + unit + "' (1 to 4 hex digits)");
    request.filter.unitId = *id;
  }
  if (!request.filter.target.empty() &&
      !protocol::ParseIpAddressParts(request.filter.target).has_value())
    return usage("--target takes an address a.b.c.d, not '" + request.filter.target + "'");
  if (!request.filter.unitAddress.empty()) {
    const auto address = protocol::ParseIpAddressParts(request.filter.unitAddress);
    if (!address)
      return usage("--address takes an address a.b.c.d, not '" + request.filter.unitAddress + "'");
    request.filter.unitAddress = protocol::Ipv4Text(*address);
  }
  if (!ReadFilterArgsInto("history", {since, until, image}, request.filter, exitCode))
    return std::nullopt;
  return request;
}

// `history actions`: a line (or a JSON object) an action, oldest first.
int ShowActions(const HistoryRequest& request) {
  fleet::OpenedStores opened = fleet::OpenStores(request.db, {fleet::StoreKind::Rollouts});
  if (opened.problem) return Fail(ExitCode::History, opened.problem->message);
  std::vector<rollouts::ActionRecord> actions;
  try {
    actions = opened.rollouts->actions(request.filter.rollout, request.filter.limit);
  } catch (const std::exception& error) {
    return Fail(ExitCode::History, fleet::StoreProblemOf(error, request.db).message);
  }
  const std::string text =
      reports::ActionRecordsText(actions, request.format == reports::HistoryForm::Json);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::File);
}

}  // namespace

int RunHistoryCommand(const CliOptions& options) {
  int exitCode = 0;
  const std::optional<HistoryRequest> request = ParseRequest(options, exitCode);
  if (!request) return exitCode;
  if (request->actions) return ShowActions(*request);
  fleet::OpenedStores opened = fleet::OpenStores(request->db, {fleet::StoreKind::SpoolingHistory});
  if (opened.problem) return Fail(ExitCode::History, opened.problem->message);
  history::SpoolingHistoryStore* store = opened.spooled.get();
  try {
    if (request->flush) {
      const size_t moved = store->flush();
      std::printf("%zu spooled write%s moved into %s\n", moved, moved == 1 ? "" : "s",
                  reports::Escaped(store->location()).c_str());
      return ToInt(ExitCode::Ok);
    }
    // What a failed write left in the spool goes in first, so the answer holds it.
    // Still refused: the rows stay spooled, and the answer is what the database holds.
    history::MoveSpooledRows(*store);
    const std::string text =
        request->units ? reports::UnitStatesText(store->units(request->filter), request->format)
                       : reports::HistoryRowsText(store->query(request->filter), request->format);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) return ToInt(ExitCode::File);
  } catch (const std::exception& error) {
    return Fail(ExitCode::History, fleet::StoreProblemOf(error, request->db).message);
  }
  return ToInt(ExitCode::Ok);
}

}  // namespace uvq::cli
