// SPDX-License-Identifier: Apache-2.0
#include "RolloutCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "CommandTable.h"
#include "OptionRows.h"
#include "RolloutRequest.h"
#include "alerts/AlertSender.h"
#include "fleet/OpenStores.h"
#include "fleet/RolloutActions.h"
#include "fleet/RolloutCreate.h"
#include "reports/TerminalText.h"
#include "settings/SettingsFileText.h"

namespace uvq::cli {

namespace {

const char* kActions[] = {"create", "run",    "status",  "list", "pause",
                          "resume", "cancel", "approve", "skip", "retry"};

bool Known(const std::string& action) {
  for (const char* known : kActions)
    if (action == known) return true;
  return false;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "uvq: rollout: %s\nRun 'uvq rollout --help' for more information.\n",
               reports::Escaped(message).c_str());
  return ToInt(ExitCode::Usage);
}

// The words after `rollout`; the options taken before it are the defaults. nullopt with the exit
// code when they were wrong or asked for help (already printed).
std::optional<RolloutRequest> Parse(const CliOptions& options, int& exitCode) {
  SubcommandApp app{
      "Rollouts: one image for many units, in groups started one after another while enough "
      "of the previous group succeeded; stopped as soon as a group fails too often; resumed "
      "where it stopped after any interruption; shared by several stations.",
      "uvq rollout"};
  app.footer(
      "\nuvq rollout create NAME IMAGE (--target HOST ... | --targets-file FILE | --range A-B) "
      "[--groups N | --group-size K] [--success-threshold PCT] [--error-threshold PCT] "
      "[--retries N] [--search-s S] [--approve-groups] [--notify-url URL]\nuvq rollout run NAME "
      "[--parallel N] [--lease-s S] [--search-s S] [--only-range A-B] "
      "[--watch [--ask-every-ms MS]] [--exit-on-pause] [--station NAME] [--db DB] [--json]\n"
      "uvq rollout status NAME "
      "[--json]; uvq rollout list; "
      "uvq rollout pause|resume|cancel|approve NAME; uvq rollout resume NAME --accept-failures; "
      "uvq rollout skip NAME --target ADDR; uvq rollout retry NAME --failed; every action is "
      "recorded with --actor NAME (default: the user)\n"
      "A station waits while its rollout is paused and goes on at resume; it ends when the "
      "rollout is done, stopped or cancelled, or by a signal.\n"
      "Exit codes: 0 done, 3 the image file changed since create, 5 stopped by a group's "
      "threshold, 8 cancelled (or paused, with --exit-on-pause), 130/143 interrupted (uvq help "
      "exit-codes).");
  RolloutRequest request;
  request.options = options;
  CliOptions& o = request.options;
  std::vector<std::string> targets;
  std::string targetsFile, onlyRange;
  app.add_option("ACTION", request.action,
                 "create, run, status, list, pause, resume, cancel, approve, skip, retry");
  AddRow(app, "rollout", "NAME", request.name);
  AddRow(app, "rollout", "IMAGE", request.create.image);
  AddRow(app, "", "--target", targets);
  AddRow(app, "", "--targets-file", targetsFile);
  AddRow(app, "rollout", "--range", request.create.range);
  AddRow(app, "rollout", "--groups", request.create.groups)->check(CLI::Range(1, 100000));
  AddRow(app, "rollout", "--group-size", request.create.groupSize)->check(CLI::Range(1, 1 << 30));
  AddRow(app, "rollout", "--success-threshold", request.create.successThreshold)
      ->check(CLI::Range(0, 100));
  AddRow(app, "rollout", "--error-threshold", request.create.errorThreshold)
      ->check(CLI::Range(0, 100));
  AddRow(app, "rollout", "--retries", request.create.retries)->check(CLI::Range(0, 1000));
  AddRow(app, "rollout", "--search-s", request.searchSeconds)->check(CLI::Range(0, 86400));
  AddRow(app, "rollout", "--parallel", request.parallel)->check(CLI::Range(1, kMaxParallel));
  AddRow(app, "rollout", "--lease-s", request.leaseSeconds)->check(CLI::Range(1, 86400));
  AddRow(app, "rollout", "--only-range", onlyRange);
  AddRow(app, "rollout", "--failed", request.failed);
  AddRow(app, "rollout", "--watch", request.watch);
  AddRow(app, "rollout", "--ask-every-ms", request.askEveryMs)->check(CLI::Range(100, 3600000));
  AddRow(app, "rollout", "--exit-on-pause", request.exitOnPause);
  AddRow(app, "rollout", "--approve-groups", request.create.approveGroups);
  AddRow(app, "rollout", "--notify-url", request.create.notifyUrl);
  AddRow(app, "rollout", "--accept-failures", request.acceptFailures);
  AddRow(app, "rollout", "--actor", request.actor);
  // The options every subcommand takes may also follow `rollout`.
  RunOptionRows runRows(app, o);

  if (const auto code =
          app.parseWithSection(options.rollout.args, options.sectionValues, "rollout")) {
    exitCode = *code;
    return std::nullopt;
  }
  const auto usage = [&](const std::string& message) {
    exitCode = Usage(message);
    return std::nullopt;
  };
  if (request.action.empty())
    return usage(
        "which one: create, run, status, list, pause, resume, "
        "cancel, approve, skip or retry");
  if (!Known(request.action)) return usage("unknown action '" + request.action + "'");
  if (request.action != "list") {
    if (request.name.empty()) return usage(request.action + " needs the rollout's NAME");
    if (const auto problem = fleet::RolloutNameProblem(request.name)) return usage(*problem);
  }
  if (request.action != "create" && !request.create.image.empty())
    return usage("unexpected word '" + request.create.image + "'");
  if (request.action == "create" && request.create.image.empty())
    return usage("create needs NAME and IMAGE");
  if (request.action == "retry" && !request.failed)
    return usage("retry puts failed units back: retry NAME --failed");
  if (request.action != "create" &&
      (request.create.approveGroups || !request.create.notifyUrl.empty()))
    return usage("--approve-groups and --notify-url are given at create");
  if (request.searchSeconds && request.action != "create" && request.action != "run")
    return usage("--search-s goes with create (stored) or run (for this station)");
  if (request.action != "resume" && request.acceptFailures)
    return usage("--accept-failures goes with resume: resume NAME --accept-failures");
  if (!request.create.notifyUrl.empty())
    if (const auto problem = alerts::NotifyUrlProblem(request.create.notifyUrl))
      return usage("--notify-url " + *problem);
  if (request.actor.size() > 64 || request.actor.find_first_of("\r\n") != std::string::npos)
    return usage("--actor takes a name of at most 64 characters on one line");
  if (request.create.groups > 0 && request.create.groupSize > 0)
    return usage("--groups and --group-size exclude each other");
  if (!onlyRange.empty()) {
    request.onlyRange = fleet::ParseAddressRange(onlyRange);
    if (!request.onlyRange) return usage("--only-range takes A-B, two addresses, A not after B");
  }
  if (const auto problem = runRows.apply()) return usage(*problem);
  o.plan.kind = jobs::JobKind::Program;
  for (std::string& target : targets) o.targets.push_back({std::move(target), {}});
  if (!targetsFile.empty()) {
    const settings::SettingsFileText file =
        settings::ReadSettingsFileText(targetsFile, kMaxTargetsFileSize);
    if (!file.problem.empty())
      return usage("targets file '" + targetsFile +
                   (file.problem.starts_with("is ") ? "' " : "': ") + file.problem);
    std::istringstream in(file.text);
    auto lines = ReadTargetLines(in);
    if (const auto* problem = std::get_if<TargetFileError>(&lines))
      return usage("targets file '" + targetsFile + "', " + problem->message);
    for (TargetEntry& entry : std::get<std::vector<TargetEntry>>(lines))
      o.targets.push_back(std::move(entry));
  }
  request.create.targets = o.targets;
  if (request.action == "skip") {
    if (request.create.targets.size() != 1 || !request.create.range.empty() ||
        !fleet::ParseDecimalAddress(request.create.targets.front().text))
      return usage("skip takes one unit's address: skip NAME --target A.B.C.D");
    request.skipTarget = request.create.targets.front().text;
    request.create.targets.clear();
  }
  if (request.action != "create" &&
      (!request.create.targets.empty() || !request.create.range.empty()))
    return usage("the targets are given at create; a station limits itself with --only-range");
  return request;
}

int Act(const RolloutRequest& request, rollouts::RolloutStore& store) {
  using rollouts::RolloutAction;
  const auto named = fleet::RolloutActionOf(request.action, request.acceptFailures);
  if (!named) return Usage("unknown action '" + request.action + "'");
  fleet::RolloutActionOrder order;
  order.rollout = request.name;
  order.action = *named;
  order.skipTarget = request.skipTarget;
  order.actor = fleet::ActorOf(request.actor);
  const fleet::RolloutActionDone done = fleet::ActOnRollout(store, order);
  if (done.refusal != fleet::RolloutActionDone::Refusal::None)
    return RolloutFail(ExitCode::Usage, done.problem);
  const rollouts::ActionResult& result = done.result;
  const RolloutAction action = order.action;
  std::string line =
      "rollout '" + request.name + "' is " + std::string(rollouts::RolloutStateName(result.state));
  const auto units = [&](const char* what) {
    return " (" + std::to_string(result.unitsReset) + " " + what +
           (result.unitsReset == 1 ? "" : "s");
  };
  if (action == RolloutAction::RetryFailed) line += units("failed unit") + " pending again)";
  if (action == RolloutAction::Skip)
    line += units("unit") + " at " + request.skipTarget + " skipped)";
  if (action == RolloutAction::AcceptFailures) line += units("failure") + " accepted)";
  if (action == RolloutAction::Approve)
    line += " (group " + std::to_string(result.group + 1) + " approved)";
  std::printf("%s\n", reports::Escaped(line).c_str());
  return ToInt(ExitCode::Ok);
}

}  // namespace

int CreateRollout(const RolloutRequest& request, rollouts::RolloutStore& store) {
  using Refusal = fleet::CreatedRollout::Refusal;
  fleet::RolloutOrder order = request.create;
  order.name = request.name;
  order.allowPartialRecord = request.options.allowPartialRecord;
  order.createdBy = request.options.history.station;
  order.actor = fleet::ActorOf(request.actor);
  order.searchSeconds = request.searchSeconds;
  const fleet::CreatedRollout created = fleet::CreateRollout(order, store);
  switch (created.refusal) {
    case Refusal::None:
      break;
    case Refusal::BadRange:
      return RolloutFail(ExitCode::Usage, "--range: " + created.problem);
    case Refusal::NoUnits:
      return RolloutFail(ExitCode::Usage,
                         "create needs its units: --target, --targets-file or --range A-B");
    case Refusal::Network:
      return RolloutFail(ExitCode::Network, created.problem);
    case Refusal::Image:
      return RolloutFail(ExitCode::File, created.problem);
    case Refusal::NameInUse:
      return RolloutFail(ExitCode::Usage, created.problem + "; choose another (uvq rollout list)");
    case Refusal::BadName:
    case Refusal::Usage:
    case Refusal::Conflict:
      return RolloutFail(ExitCode::Usage, created.problem);
  }
  const rollouts::RolloutDefinition& definition = created.definition;
  const int groups = created.groups;
  std::printf("rollout '%s' created: %zu unit%s in %d group%s, image %s (%zu bytes, SHA-256 %s)\n",
              reports::Escaped(definition.name).c_str(), definition.targets.size(),
              definition.targets.size() == 1 ? "" : "s", groups, groups == 1 ? "" : "s",
              reports::Escaped(definition.imagePath).c_str(), created.imageBytes,
              definition.imageSha256.c_str());
  if (definition.approveGroups && groups > 1)
    std::printf("each group after the first waits for: uvq rollout approve %s\n",
                reports::Escaped(definition.name).c_str());
  return ToInt(ExitCode::Ok);
}

int RolloutFail(ExitCode code, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "uvq: rollout: %s\n", reports::Escaped(message).c_str());
  return ToInt(code);
}

int RunRolloutCommand(const CliOptions& options) {
  int exitCode = 0;
  const std::optional<RolloutRequest> request = Parse(options, exitCode);
  if (!request) return exitCode;
  const std::string& db = request->options.history.db;
  fleet::OpenedStores opened = fleet::OpenStores(db, {fleet::StoreKind::Rollouts});
  if (opened.problem) return RolloutFail(ExitCode::History, opened.problem->message);
  rollouts::RolloutStore* store = opened.rollouts.get();
  try {
    if (request->action == "create") return CreateRollout(*request, *store);
    if (request->action == "run") return RunRollout(*request, *store);
    if (request->action == "status") return ShowRolloutStatus(*request, *store);
    if (request->action == "list") return ListRollouts(*request, *store);
    return Act(*request, *store);
  } catch (const history::HistoryError& error) {
    return RolloutFail(ExitCode::History, fleet::StoreProblemOf(error, db).message);
  }
}

}  // namespace uvq::cli
