// SPDX-License-Identifier: Apache-2.0
// uvq: the loader for scripts and production lines. The same loader service as the window, driven
// from the command line; see README.md for the subcommands and exit codes.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "CliOptions.h"
#include "Fleet.h"
#include "HistoryCommand.h"
#include "HistoryOptions.h"
#include "Interruption.h"
#include "OpenFileLimit.h"
#include "Output.h"
#include "Progress.h"
#include "ReportCommand.h"
#include "RolloutCommand.h"
#include "ServeCommand.h"
#include "SessionOutput.h"
#include "StationCommand.h"
#include "Summary.h"
#include "platform/AlsaTone.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "protocol/IpAddressText.h"
#include "recording/StationFacts.h"
#include "reports/TerminalText.h"
#include "settings/SettingsFile.h"
#include "uvq/Version.h"

namespace {

using namespace uvq::cli;

// The beep is off unless asked for; a run then never asks for it.
class SilentTone final : public uvq::Tone {
 public:
  void beep() override {}
};

int Refuse(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "uvq: %s\n", uvq::reports::Escaped(message).c_str());
  return ToInt(code);
}

// Standard streams, the signal pipe, the run loop's wait, the log, the unit locks' probes.
constexpr size_t kOtherDescriptors = 64;

uvq::protocol::Ipv4Bytes BytesOf(const ResolvedTarget& target) {
  const uint32_t value = ntohl(target.address.s_addr);
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// A plain run's progress display on the batch's ticks, and its output written out once a round.
class RunProgress final : public uvq::fleet::BatchEvents {
 public:
  RunProgress(Progress& progress, const std::vector<std::unique_ptr<Session>>& sessions,
              Output& output)
      : progress_(progress), sessions_(sessions), output_(output) {}
  void progress(TimePoint now) override { progress_.update(now, sessions_); }
  void roundDone() override { output_.flush(); }

 private:
  Progress& progress_;
  const std::vector<std::unique_ptr<Session>>& sessions_;
  Output& output_;
};

// The history's problems on standard error; the run goes on.
class HistoryNotices final : public uvq::fleet::RecorderEvents {
 public:
  void spooled(const std::string& notice) override {
    std::fprintf(stderr, "uvq: %s\n", notice.c_str());
  }
  void historyProblem(const std::string& problem) override {
    std::fprintf(stderr, "uvq: history: %s\n", problem.c_str());
  }
};

// Said whenever the built-in address is used, so nobody aims at it unknowingly.
std::string DefaultTargetNotice(const std::string& address) {
  return "no target given (--target, --targets-file, a configuration file, UVQ_TARGET or "
         "uvq.INI beside the program): using the built-in default " +
         address;
}

int Run(CliOptions& options) {
  const bool scanning = options.plan.kind == uvq::jobs::JobKind::Scan;
  if (options.targets.empty() && !scanning) {
    // Only the settings file beside the program, as before; a file that names no address is
    // said on standard error, so a script does not aim at the default unknowingly.
    const std::string executable = uvq::settings::ExecutablePath();
    std::vector<std::string> settingsPaths;
    if (!executable.empty()) settingsPaths.push_back(uvq::settings::SettingsPathFor(executable));
    const uvq::settings::TargetSetting setting =
        uvq::settings::ReadTargetSettingFrom(settingsPaths);
    if (const auto notice = uvq::settings::TargetSettingNotice(setting))
      std::fprintf(stderr, "uvq: %s\n", uvq::reports::Escaped(*notice).c_str());
    else if (setting.path.empty())
      std::fprintf(stderr, "uvq: %s\n", DefaultTargetNotice(setting.address).c_str());
    options.targets.push_back({setting.address, std::nullopt});
  }

  // Every target is resolved once, and every check made, before the first datagram leaves.
  std::vector<ResolvedTarget> targets;
  if (scanning) {
    auto range = ExpandScanRange(options.scanRange);
    if (const auto* error = std::get_if<TargetError>(&range))
      return Refuse(ExitCode::Usage, error->message);
    if (!options.targets.empty())
      return Refuse(ExitCode::Usage, "scan takes its addresses from its range, not --target");
    targets = std::get<std::vector<ResolvedTarget>>(std::move(range));
  }
  for (const TargetEntry& entry : options.targets) {
    auto resolved = ResolveTarget(entry);
    if (const auto* error = std::get_if<TargetError>(&resolved))
      return Refuse(
          error->kind == TargetError::Kind::BadAddress ? ExitCode::Usage : ExitCode::Network,
          error->message);
    targets.push_back(std::get<ResolvedTarget>(std::move(resolved)));
    if (!targets.back().unitId && options.plan.unit)
      targets.back().unitId = uvq::jobs::IdText(*options.plan.unit);
  }
  if (const auto duplicate = FirstDuplicate(targets)) {
    const ResolvedTarget& t = targets[*duplicate];
    return Refuse(ExitCode::Usage, "target '" + t.text + "' (" + t.addressText +
                                       ") is given twice" +
                                       (t.unitId ? " for unit " + *t.unitId : std::string()) +
                                       "; each unit may be named once");
  }

  const uvq::jobs::JobPlan& plan = options.plan;
  if (plan.kind == uvq::jobs::JobKind::SetIp) {
    // A unit given a loopback address could never be reached again, unless it already is
    // reached on loopback (the emulated unit): one rule with the window's.
    for (const ResolvedTarget& target : targets)
      if (const auto refusal = uvq::protocol::NewAddressRefusal(*plan.newAddress, BytesOf(target)))
        return Refuse(ExitCode::Usage, "target '" + target.text + "': " + *refusal);
  }
  // The image is read once, before anything is sent: every unit gets exactly these bytes, and
  // the SHA-256 in the run log and the history is theirs.
  uvq::platform::PosixFileSystem files;
  uvq::jobs::Image jobImage;
  ImageFacts image;
  if (plan.kind == uvq::jobs::JobKind::Program) {
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    if (const auto problem = LoadImage(options.imageFile, options.allowPartialRecord, *bytes))
      return Refuse(ExitCode::File, problem->message);
    image.path = AbsolutePath(options.imageFile);
    image.bytes = static_cast<int64_t>(bytes->size());
    if (!options.logFile.empty() || options.history.recording()) image.sha256 = Sha256Of(*bytes);
    jobImage = {options.imageFile, std::move(bytes)};
  }
  // The history is opened before anything is sent: a run that cannot be recorded does not start.
  HistoryNotices notices;
  uvq::fleet::OpenedRecorder opened =
      uvq::fleet::OpenRunRecorder(options.history.choice(), &notices);
  if (!opened.recorder)
    return Refuse(ExitCode::History,
                  opened.problem + "; nothing was sent (--no-history runs without recording)");
  RunRecorder& history = *opened.recorder;

  RunLogFile runLog;
  if (!options.logFile.empty()) {
    // Opened before anything is sent: a log that cannot be written is known before the run.
    std::string error;
    if (!runLog.open(options.logFile, error)) return Refuse(ExitCode::File, error);
  }

  const bool severalTargets = targets.size() > 1;
  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                severalTargets);
  Progress::Style style = Progress::Style::None;
  if (!options.quiet()) {
    if (isatty(STDERR_FILENO))
      style = Progress::Style::Bar;
    else
      style = options.json ? Progress::Style::Events : Progress::Style::Lines;
  }
  Progress progress(stderr, style, output, severalTargets);

  uvq::platform::SystemClock clock;
  SilentTone silent;
  std::unique_ptr<uvq::platform::AlsaTone> alsa;
  if (plan.beep) alsa = std::make_unique<uvq::platform::AlsaTone>();
  uvq::Tone& tone = alsa ? static_cast<uvq::Tone&>(*alsa) : silent;

  SessionOutput sessionOutput(output);
  std::vector<std::unique_ptr<Session>> sessions;
  std::unordered_map<const Session*, size_t> indexOf;
  sessions.reserve(targets.size());
  for (const ResolvedTarget& target : targets) {
    uvq::jobs::JobPlan own = plan;
    own.image = jobImage;
    // A targets file line may name its own unit.
    own.unit = target.unitId ? uvq::fleet::UnitIdOf(*target.unitId) : std::nullopt;
    // The resolved address, so the session looks nothing up again.
    sessions.push_back(
        std::make_unique<Session>(target, own, sessionOutput, SharedPorts{clock, tone, files}));
    indexOf.emplace(sessions.back().get(), sessions.size() - 1);
  }
  // From here on Ctrl-C and SIGTERM stop the run through its loop, which reports where each
  // unit was left. Before, nothing has been sent and the default action is right.
  Interruption::Install();
  // Each target holds a socket while it works; a scan may start many before the first ends.
  RaiseOpenFileLimit(targets.size() + kOtherDescriptors);
  uvq::jobs::JobPlan recorded = plan;
  recorded.image = jobImage;
  history.begin(targets, recorded, image);
  sessionOutput.setOnChosen([&](const Session& session, const std::string& unit) {
    history.chosen(indexOf.at(&session), unit);
  });
  // Each target's last progress line or event comes before its result.
  sessionOutput.setBeforeResult(
      [&](const Session& session) { progress.sessionEnded(indexOf.at(&session), session); });
  progress.setOnEnded([&](size_t i) { history.ended(i, sessions[i]->result()); });
  RunProgress shown(progress, sessions, output);
  RunBatch(sessions, &Interruption::Source(), shown, scanning ? options.scanRate : 0);
  progress.finish();
  output.flush();
  history.finish(sessions);

  std::vector<ExitCode> codes;
  int ok = 0;
  int64_t unitsSeen = 0;
  for (const auto& session : sessions) {
    codes.push_back(CodeOf(session->result()));
    if (session->result().ok()) ++ok;
    unitsSeen += static_cast<int64_t>(session->result().units.size());
  }
  ExitCode code = CombinedExitCode(codes);
  // A scan succeeds when any address answered; the silent ones are what a scan is for. An
  // address that could not be asked (no socket, a failed send) makes it incomplete.
  if (scanning) {
    code = unitsSeen > 0 ? ExitCode::Ok : ExitCode::NoAnswer;
    size_t notAsked = 0;
    std::string why;
    for (const auto& session : sessions)
      if (CodeOf(session->result()) == ExitCode::Network && session->result().units.empty())
        if (++notAsked == 1) why = session->result().detail;
    if (notAsked > 0) {
      code = ExitCode::Network;
      std::fprintf(stderr, "uvq: scan incomplete: %zu of %zu addresses were not asked (%s)\n",
                   notAsked, sessions.size(), uvq::reports::Escaped(why).c_str());
    }
  }
  // A result that reached neither the database nor the spool (a full disk) is named: the run
  // does not pass for recorded.
  const std::vector<std::string> unrecorded = history.unrecorded();
  for (const std::string& unit : unrecorded)
    std::fprintf(stderr, "uvq: history: the result of %s was not recorded\n",
                 uvq::reports::Escaped(unit).c_str());
  if (!unrecorded.empty() && code == ExitCode::Ok) code = ExitCode::History;
  if (const ExitCode signal = Interruption::Pending(); signal != ExitCode::Ok) code = signal;
  if (options.json) {
    JsonLine fields;
    fields.field("ok", ok)
        .field("failed", static_cast<int>(sessions.size()) - ok)
        .field("units", unitsSeen)
        .field("exit_code", ToInt(code));
    output.event("", "summary", fields);
  } else {
    output.text(SummaryText(plan.kind, sessions));
  }
  output.flush();

  if (!options.logFile.empty()) {
    std::vector<RunLogEntry> entries;
    for (size_t i = 0; i < sessions.size(); ++i) {
      const SessionResult& r = sessions[i]->result();
      RunLogEntry e;
      e.toolVersion = uvq::kVersion;
      e.target = targets[i].text;
      e.address = targets[i].addressText;
      e.unitId = r.unit;
      e.operation = std::string(uvq::jobs::KindName(plan.kind));
      history.fillLogTimes(i, e);
      if (plan.kind == uvq::jobs::JobKind::Program) {
        e.image = options.imageFile;
        e.imageBytes = image.bytes;
        e.imageSha256 = image.sha256;
      }
      e.records = r.records;
      if (plan.kind == uvq::jobs::JobKind::Program) e.resends = static_cast<int64_t>(r.resends);
      e.finalStatus = r.finalStatus;
      e.outcome = uvq::jobs::OutcomeIdentifier(r.outcome);
      e.detail = r.detail;
      entries.push_back(std::move(e));
    }
    std::string error;
    if (!runLog.append(entries, error)) {
      std::fprintf(stderr, "uvq: %s\n", error.c_str());
      if (code == ExitCode::Ok) return ToInt(ExitCode::File);
    }
  }
  return ToInt(code);
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (`uvq ... | head`) must not kill a run half way through flashing:
  // writes then fail with EPIPE, and Output stops writing to standard output.
  ::signal(SIGPIPE, SIG_IGN);
  WarnOfPasswordOnCommandLine(argc, argv);
  ParsedOptions parsed = ParseCliOptions(argc, argv);
  if (!parsed.options) return ToInt(parsed.exitCode);
  try {
    if (parsed.options->history.command) return RunHistoryCommand(*parsed.options);
    if (parsed.options->rollout.command) return RunRolloutCommand(*parsed.options);
    if (parsed.options->serve.command) return RunServeCommand(*parsed.options);
    if (parsed.options->report.command) return RunReportCommand(*parsed.options);
    if (parsed.options->station.command) return RunStationCommand(*parsed.options);
    return Run(*parsed.options);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "uvq: %s\n", error.what());
    return ToInt(ExitCode::Internal);
  }
}
