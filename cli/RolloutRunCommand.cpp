// SPDX-License-Identifier: Apache-2.0
// `uvq rollout run NAME`: the station's run of the rollout (fleet::RunRolloutStation) with its
// live view, the signals that stop it, and the lines and exit code of its end.
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "Fleet.h"
#include "Interruption.h"
#include "RolloutRequest.h"
#include "RolloutView.h"
#include "SessionOutput.h"
#include "reports/TerminalText.h"

namespace uvq::cli {

namespace {

using rollouts::RolloutState;

RolloutView::Style ViewStyle(const CliOptions& options) {
  if (options.json) return RolloutView::Style::Json;
  if (options.quiet()) return RolloutView::Style::Quiet;
  return isatty(STDERR_FILENO) ? RolloutView::Style::Board : RolloutView::Style::Lines;
}

// A rollout found not running at the start: nothing was claimed.
int NotJoined(const fleet::RolloutRunResult& result, const std::string& name, RolloutView& view) {
  switch (result.state) {
    case RolloutState::Done:
      view.finished("", "done", 0, 0, 0, 0);
      return ToInt(ExitCode::Ok);
    case RolloutState::Stopped:
      return RolloutFail(CodeOf(result), "'" + name + "' is stopped: " + result.stopReason +
                                             "; uvq rollout retry " + name +
                                             " --failed puts its failed units back");
    case RolloutState::Paused:
      return RolloutFail(CodeOf(result), "'" + name + "' is paused; uvq rollout resume " + name);
    case RolloutState::Cancelled:
    case RolloutState::Running:
      break;
  }
  return RolloutFail(CodeOf(result),
                     "'" + name + "' is " + std::string(rollouts::RolloutStateName(result.state)));
}

}  // namespace

int RunRollout(const RolloutRequest& request, rollouts::RolloutStore& store) {
  const CliOptions& options = request.options;
  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                true);
  RolloutView view(ViewStyle(options), request.name, output);

  fleet::RolloutStationSetup setup;
  setup.rollout = request.name;
  setup.settings.leaseSeconds = request.leaseSeconds;
  setup.settings.onlyRange = request.onlyRange;
  setup.settings.watch = request.watch;
  setup.settings.askEveryMs = request.askEveryMs;
  setup.settings.exitOnPause = request.exitOnPause;
  setup.settings.searchSeconds = request.searchSeconds;
  view.setWaitsAtPause(!request.exitOnPause);
  setup.plan = options.plan;
  setup.plan.kind = jobs::JobKind::Program;
  setup.station = options.history.station;
  setup.record = options.history.recording();
  setup.historyDb = options.history.db;
  setup.parallel = static_cast<size_t>(request.parallel);
  setup.alertProblem = [](const std::string& problem) {
    std::fprintf(stderr, "uvq: rollout: %s\n", reports::Escaped(problem).c_str());
  };

  // The sessions' own lines only with -v; their failures are said by the view.
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  if (view.style() == RolloutView::Style::Board)
    sessionOutput.setBeforeLine([&view] { view.close(); });
  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  setup.stop = &Interruption::Source();

  const fleet::RolloutRunResult result =
      fleet::RunRolloutStation(store, setup, view, sessionEvents);
  sessionOutput.flush();
  const ExitCode code = CodeOf(result);
  if (result.refusal == fleet::RolloutRunResult::Refusal::History)
    return RolloutFail(code,
                       result.problem + "; nothing was sent (--no-history runs without recording)");
  if (result.refusal != fleet::RolloutRunResult::Refusal::None)
    return RolloutFail(code, result.problem);
  if (!result.joined) return NotJoined(result, request.name, view);

  if (result.stoppedBy != StopCause::None) {
    view.finished("", "interrupted", result.ok, result.failed, result.redone, ToInt(code));
    return ToInt(code);
  }
  const std::string& name = request.name;
  std::string line;
  std::string state(rollouts::RolloutStateName(result.state));
  switch (result.state) {
    case RolloutState::Stopped:
      line = "rollout '" + name + "' stopped: " + result.stopReason;
      break;
    case RolloutState::Paused:
      line =
          "rollout '" + name + "' is paused; uvq rollout resume " + name + " lets stations go on";
      break;
    case RolloutState::Cancelled:
      line = "rollout '" + name + "' was cancelled";
      break;
    case RolloutState::Done:
      break;
    case RolloutState::Running:
      // Nothing left for this station's range; others may still work on theirs.
      if (request.onlyRange) state = "nothing left for this station";
      break;
  }
  // Finished, but not every unit this station ran got the image: as a plain run, not a success.
  if (result.state != RolloutState::Stopped && code == ExitCode::UnitError && result.failed > 0)
    line = std::to_string(result.failed) + (result.failed == 1 ? " unit" : " units") +
           " of rollout '" + name + "' failed here; uvq rollout retry " + name +
           " --failed puts them back";
  view.finished(line, state, result.ok, result.failed, result.redone, ToInt(code));
  return ToInt(code);
}

}  // namespace uvq::cli
