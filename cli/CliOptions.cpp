#include "CliOptions.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <fstream>
#include <iostream>

#include "TargetList.h"
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

ParsedOptions UsageError(const std::string& message) {
  std::cerr << "uvq: " << message << "\nRun with --help for more information.\n";
  return {std::nullopt, ExitCode::Usage};
}

}  // namespace

ParsedOptions ParseCliOptions(int argc, char** argv) {
  CLI::App app{
      "Finds UVQ units on the network, captures them into loader mode and programs, "
      "erases, resets or re-addresses them.",
      "uvq"};
  app.footer(std::string("\n") + kExitCodeHelp +
             "\n\nWithout --target the address comes from uvq.INI beside the executable "
             "(section Net, key Address), as for the window.");
  app.fallthrough();
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("uvq ") + kVersion);

  CliOptions options;
  SessionPlan& plan = options.plan;
  std::string targetsFile;
  std::string unitId;
  std::string accessCode;
  bool noReset = false;
  app.add_option("--target", options.targets, "unit address or host name (repeatable)");
  app.add_option("--targets-file", targetsFile, "file with one target per line, # comments");
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
  app.add_flag("--json", options.json, "one JSON object per line per event");
  app.add_flag("--quiet", options.quiet, "no log lines and no progress");
  app.add_flag("--beep", plan.beep, "beep when programming completes");

  CLI::App* locate = app.add_subcommand("locate", "list the units that answer");
  CLI::App* status = app.add_subcommand("status", "show what the unit reports");
  CLI::App* capture = app.add_subcommand("capture", "put the unit into loader mode");
  CLI::App* program = app.add_subcommand("program", "capture, then program an image");
  program->add_option("FILE", plan.imageFile, "image file (.cry)")->required();
  program->add_flag("--no-reset", noReset, "do not reset the unit after programming");
  CLI::App* erase = app.add_subcommand("erase", "capture, then erase");
  std::string eraseWhat;
  erase->add_option("WHAT", eraseWhat, "device, program or data")
      ->required()
      ->check(CLI::IsMember({"device", "program", "data"}));
  CLI::App* reset = app.add_subcommand("reset", "reset the unit");
  CLI::App* setIp = app.add_subcommand("set-ip", "give the unit a new IP address");
  setIp->add_option("ADDRESS", plan.newAddress, "the new address, a.b.c.d")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return {std::nullopt, code == 0 ? ExitCode::Ok : ExitCode::Usage};
  }

  const std::pair<CLI::App*, Operation> operations[] = {
      {locate, Operation::Locate},   {status, Operation::Status}, {capture, Operation::Capture},
      {program, Operation::Program}, {erase, Operation::Erase},   {reset, Operation::Reset},
      {setIp, Operation::SetIp}};
  for (const auto& [sub, operation] : operations)
    if (sub->parsed()) plan.operation = operation;
  plan.autoReset = !noReset;
  if (eraseWhat == "program") plan.eraseKind = EraseKind::Program;
  if (eraseWhat == "data") plan.eraseKind = EraseKind::Data;

  if (plan.operation == Operation::SetIp &&
      !protocol::ParseUnitIpAddress(plan.newAddress).has_value())
    return UsageError("invalid address '" + plan.newAddress + "' (expected a.b.c.d, 0 to 255)");
  if (!unitId.empty() || app.count("--id") > 0) {
    plan.unitId = NormalizedUnitId(unitId);
    if (!plan.unitId) return UsageError("invalid unit ID '" + unitId + "' (1 to 4 hex digits)");
  }
  if (app.count("--access-code") > 0) {
    const protocol::AccessCode code(accessCode);
    if (!code.ok()) return UsageError("access code: " + code.problem());
    plan.accessCode = accessCode;
  }
  if (!targetsFile.empty()) {
    std::ifstream in(targetsFile);
    if (!in) return UsageError("cannot read targets file '" + targetsFile + "'");
    for (std::string& target : ReadTargetLines(in)) options.targets.push_back(std::move(target));
    if (options.targets.empty()) return UsageError("no targets in '" + targetsFile + "'");
  }
  for (const std::string& target : options.targets)
    if (target.empty()) return UsageError("empty target");
  if (const auto duplicate = FirstDuplicate(options.targets))
    return UsageError("target '" + *duplicate + "' given twice");
  return {std::move(options), ExitCode::Ok};
}

}  // namespace uvq::cli
