// SPDX-License-Identifier: Apache-2.0
// uvq: the loader for scripts and production lines. The same loader service as the window, driven
// from the command line; see README.md for the subcommands and exit codes.
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
#include "Output.h"
#include "Progress.h"
#include "ReportCommand.h"
#include "RolloutCommand.h"
#include "ServeCommand.h"
#include "SessionOutput.h"
#include "StationCommand.h"
#include "Summary.h"
#include "fleet/PlainRun.h"
#include "reports/JsonLine.h"
#include "reports/TerminalText.h"
#include "settings/SettingsFile.h"

namespace {

using namespace uvq::cli;

int Refuse(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "uvq: %s\n", uvq::reports::Escaped(message).c_str());
  return ToInt(code);
}

constexpr ExitCode RefusalCode(uvq::fleet::PlainRunRefusal refusal) {
  switch (refusal) {
    case uvq::fleet::PlainRunRefusal::None:
      return ExitCode::Ok;
    case uvq::fleet::PlainRunRefusal::Usage:
      return ExitCode::Usage;
    case uvq::fleet::PlainRunRefusal::Network:
      return ExitCode::Network;
    case uvq::fleet::PlainRunRefusal::File:
      return ExitCode::File;
    case uvq::fleet::PlainRunRefusal::History:
      return ExitCode::History;
  }
  return ExitCode::Internal;
}

// A plain run as the command line shows it: the sessions' lines and events, the progress
// display on the batch's ticks (its last word on each target before the result), the output
// written out once a round, and the history's problems on standard error. Made once the run
// knows its targets: several of them prefix their lines with the target.
class RunOutput final : public uvq::fleet::PlainRunEvents {
 public:
  explicit RunOutput(const CliOptions& options) : options_(options) {}
  // Once the run has started.
  Output& output() { return shown_->output; }

  void targetNotice(const std::string& notice) override {
    std::fprintf(stderr, "uvq: %s\n", uvq::reports::Escaped(notice).c_str());
  }
  void starting(const std::vector<std::unique_ptr<Session>>& sessions) override {
    running_ = &sessions;
    shown_ = std::make_unique<Shown>(options_, sessions.size() > 1);
    for (size_t i = 0; i < sessions.size(); ++i) indexOf_.emplace(sessions[i].get(), i);
    shown_->sessions.setBeforeResult([this](const Session& session) {
      shown_->progress.sessionEnded(indexOf_.at(&session), session);
    });
    // From here on Ctrl-C and SIGTERM stop the run through its loop, which reports where each
    // unit was left. Before, nothing has been sent and the default action is right.
    Interruption::Install();
  }
  void batchEnded() override {
    shown_->progress.finish();
    shown_->output.flush();
  }

  void logLine(std::string_view target, std::string_view line) override {
    shown_->sessions.logLine(target, line);
  }
  bool wantsReplies() const override { return options_.json; }
  void replied(const Session& session, const uvq::UnitReport& report) override {
    shown_->sessions.replied(session, report);
  }
  void loaderModeReached(const Session& session, uvq::protocol::UvqId unit) override {
    shown_->sessions.loaderModeReached(session, unit);
  }
  void ended(const Session& session) override { shown_->sessions.ended(session); }

  void progress(TimePoint now) override { shown_->progress.update(now, *running_); }
  void roundDone() override { shown_->output.flush(); }

  void spooled(const std::string& notice) override {
    std::fprintf(stderr, "uvq: %s\n", notice.c_str());
  }
  void historyProblem(const std::string& problem) override {
    std::fprintf(stderr, "uvq: history: %s\n", problem.c_str());
  }

 private:
  struct Shown {
    Shown(const CliOptions& options, bool severalTargets)
        : output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                 severalTargets),
          progress(stderr, StyleFor(options), output, severalTargets),
          sessions(output) {}
    Output output;
    Progress progress;
    SessionOutput sessions;
  };
  static Progress::Style StyleFor(const CliOptions& options) {
    if (options.quiet()) return Progress::Style::None;
    if (isatty(STDERR_FILENO)) return Progress::Style::Bar;
    return options.json ? Progress::Style::Events : Progress::Style::Lines;
  }

  const CliOptions& options_;
  std::unique_ptr<Shown> shown_;
  const std::vector<std::unique_ptr<Session>>* running_ = nullptr;
  std::unordered_map<const Session*, size_t> indexOf_;
};

// A scan succeeds when any address answered; the silent ones are what a scan is for. An
// address that could not be asked (no socket, a failed send) makes it incomplete.
ExitCode ScanCode(const std::vector<uvq::fleet::PlainTargetResult>& targets) {
  int64_t unitsSeen = 0;
  size_t notAsked = 0;
  std::string why;
  for (const auto& t : targets) {
    unitsSeen += static_cast<int64_t>(t.result.units.size());
    if (CodeOf(t.result) == ExitCode::Network && t.result.units.empty())
      if (++notAsked == 1) why = t.result.detail;
  }
  if (notAsked == 0) return unitsSeen > 0 ? ExitCode::Ok : ExitCode::NoAnswer;
  std::fprintf(stderr, "uvq: scan incomplete: %zu of %zu addresses were not asked (%s)\n", notAsked,
               targets.size(), uvq::reports::Escaped(why).c_str());
  return ExitCode::Network;
}

int Run(const CliOptions& options) {
  uvq::fleet::PlainRunRequest request;
  request.plan = options.plan;
  request.imageFile = options.imageFile;
  request.allowPartialRecord = options.allowPartialRecord;
  request.targets = options.targets;
  request.scanRange = options.scanRange;
  request.scanRate = options.scanRate;
  request.recording = options.history.choice();
  request.logFile = options.logFile;
  request.executable = uvq::settings::ExecutablePath();
  request.stop = &Interruption::Source();
  const bool scanning = options.plan.kind == uvq::jobs::JobKind::Scan;
  RunOutput shown(options);
  const uvq::fleet::PlainRunResult run = uvq::fleet::RunPlainBatch(request, shown);
  if (run.refusal != uvq::fleet::PlainRunRefusal::None)
    return Refuse(RefusalCode(run.refusal),
                  run.refusal == uvq::fleet::PlainRunRefusal::History
                      ? run.problem + "; nothing was sent (--no-history runs without recording)"
                      : run.problem);

  std::vector<ExitCode> codes;
  int ok = 0;
  int64_t unitsSeen = 0;
  for (const auto& t : run.targets) {
    codes.push_back(CodeOf(t.result));
    if (t.result.ok()) ++ok;
    unitsSeen += static_cast<int64_t>(t.result.units.size());
  }
  ExitCode code = scanning ? ScanCode(run.targets) : CombinedExitCode(codes);
  // A result that reached neither the database nor the spool (a full disk) is named: the run
  // does not pass for recorded.
  for (const std::string& unit : run.unrecorded)
    std::fprintf(stderr, "uvq: history: the result of %s was not recorded\n",
                 uvq::reports::Escaped(unit).c_str());
  if (!run.unrecorded.empty() && code == ExitCode::Ok) code = ExitCode::History;
  if (const ExitCode signal = Interruption::Pending(); signal != ExitCode::Ok) code = signal;
  Output& output = shown.output();
  if (options.json) {
    JsonLine fields;
    fields.field("ok", ok)
        .field("failed", static_cast<int>(run.targets.size()) - ok)
        .field("units", unitsSeen)
        .field("exit_code", ToInt(code));
    output.event("", "summary", fields);
  } else {
    output.text(SummaryText(options.plan.kind, run.targets));
  }
  output.flush();
  if (!run.logProblem.empty()) {
    std::fprintf(stderr, "uvq: %s\n", run.logProblem.c_str());
    if (code == ExitCode::Ok) return ToInt(ExitCode::File);
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
