// SPDX-License-Identifier: Apache-2.0
#include "ServeCommand.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <optional>

#include "Interruption.h"
#include "OptionRows.h"
#include "dashboard/AccessToken.h"
#include "dashboard/DashboardServer.h"
#include "dashboard/ServeSetup.h"
#include "fleet/OpenStores.h"
#include "platform/OpenFileLimit.h"
#include "reports/TerminalText.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::cli {

namespace {

// Open connections the dashboard may hold at once (each a descriptor), with room to spare.
constexpr size_t kWantedOpenFiles = 8192;

int Usage(const std::string& message) {
  std::cerr << "uvq: serve: " << reports::Escaped(message) << "\n";
  return ToInt(ExitCode::Usage);
}

}  // namespace

int RunServeCommand(const CliOptions& options) {
  SubcommandApp app{
      "Serves a web dashboard of the rollouts and the history (read-only unless "
      "--allow-actions).",
      "uvq serve"};
  app.footer(
      "\nThe page and its API are served by uvq itself; nothing is fetched from elsewhere. "
      "Beyond loopback every API call needs the token (Authorization: Bearer TOKEN); "
      "pause, resume, cancel, retry-failed and approve need --allow-actions and an operator's "
      "token. The token file holds one token of at least 16 printable characters (an operator "
      "named 'operator'), or one line per person or role: NAME ROLE TOKEN, ROLE viewer "
      "(reads) or operator (also acts; its actions are recorded under NAME). It must not be "
      "readable by others.");
  std::string listen = dashboard::kDefaultListen, tokenFile, db = options.history.db;
  bool allowActions = false;
  AddRow(app, "serve", "--listen", listen);
  AddRow(app, "serve", "--allow-actions", allowActions);
  AddRow(app, "serve", "--token-file", tokenFile);
  AddRow(app, "serve", "--db", db);
  if (const auto code =
          app.parseWithSection(options.serve.commandArgs, options.sectionValues, "serve"))
    return *code;

  dashboard::DashboardConfig config;
  std::string problem;
  const auto address = dashboard::ParseListenAddress(listen, problem);
  if (!address) return Usage(problem);
  config.listen = *address;
  config.allowActions = allowActions;
  config.db = db;
  if (!tokenFile.empty()) {
    auto access = dashboard::ReadAccessFile(tokenFile, problem);
    if (!access) return Usage(problem);
    config.access = std::move(*access);
  }
  if (const auto refusal = dashboard::StartRefusal(config)) return Usage(*refusal);

  dashboard::UseShortDatabaseTimeouts();
  platform::RaiseOpenFileLimit(kWantedOpenFiles);
  // Opened once before listening, so a database that cannot be used is said at once.
  if (const auto problem =
          fleet::OpenStores(db, {fleet::StoreKind::History, fleet::StoreKind::Rollouts}).problem) {
    std::fprintf(stderr, "uvq: serve: %s\n", reports::Escaped(problem->message).c_str());
    return ToInt(ExitCode::History);
  }

  // SIGINT, SIGTERM and SIGHUP ask the process's stop request, which ends the server; its
  // threads, started from here on, never take the signals.
  Interruption::Install();
  std::atomic<dashboard::DashboardServer*> running{nullptr};
  std::optional<fleet::StopWatch> stopper;
  stopper.emplace(Interruption::Source(), [&running] {
    if (dashboard::DashboardServer* server = running.load()) server->stop();
  });

  const std::unique_ptr<dashboard::DashboardServer> server = dashboard::ServerOnDatabase(config);
  if (!server->bind(problem)) return Usage(problem);
  std::printf("uvq serve: http://%s:%u/ (history %s; %s)\n", config.listen.host.c_str(),
              static_cast<unsigned>(server->port()),
              reports::Escaped(history::DisplayedSetting(db)).c_str(),
              allowActions ? "actions allowed with the token" : "read-only");
  std::fflush(stdout);

  running = server.get();
  // A stop asked before the server was known is not lost: it does not start.
  const bool ran = Interruption::Source().requested() || server->run();
  stopper.reset();  // before the server goes
  return ran ? ToInt(ExitCode::Ok) : ToInt(ExitCode::Internal);
}

}  // namespace uvq::cli
