// SPDX-License-Identifier: Apache-2.0
// `uvq station IMAGE --range A-B` (fleet::RunJigStation) and `uvq station --rollouts`
// (fleet::RunStationRollouts): their options, their lines and events, and their exit codes.
#include "StationCommand.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <variant>

#include "CommandTable.h"
#include "Fleet.h"
#include "Interruption.h"
#include "OptionRows.h"
#include "RolloutRequest.h"
#include "RolloutView.h"
#include "SessionOutput.h"
#include "StatusText.h"
#include "fleet/JigStation.h"
#include "fleet/StationRollouts.h"
#include "protocol/IpAddressText.h"
#include "reports/TerminalText.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::cli {

namespace {

struct StationRequest {
  std::string image;
  std::string range;
  int parallel = 32;
  int askEveryMs = 2000;
  // --rollouts: every rollout with units in onlyRange (all without it), until stopped.
  bool rollouts = false;
  std::optional<std::pair<uint32_t, uint32_t>> onlyRange;
  int leaseSeconds = 60;
  CliOptions options;
};

int Fail(ExitCode code, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "uvq: station: %s\n", reports::Escaped(message).c_str());
  return ToInt(code);
}

std::optional<StationRequest> Parse(const CliOptions& options, int& exitCode) {
  SubcommandApp app{
      "The production jig: every address of the range is asked at a bounded rate; each unit "
      "that answers and has not received the image yet (by unit ID and address, from the "
      "history) is programmed and recorded. Plug the next unit into the same place and it is "
      "programmed too. Runs until SIGINT (Ctrl-C) or SIGTERM, then prints a summary.",
      "uvq station"};
  app.footer(
      "\nuvq station IMAGE --range A-B [--parallel N] [--ask-every-ms MS] [--db DB | "
      "--no-history] [--station NAME] [--json]\nuvq station --rollouts [--only-range A-B] "
      "[--parallel N] [--lease-s S] [--station NAME] [--db DB] [--json]: every running rollout "
      "with units in the range (all without it), joined as `uvq rollout run` does, also those "
      "created or resumed later, until SIGINT or SIGTERM\nExit codes: 0 every unit programmed "
      "succeeded, else the code of the first unit that failed (--rollouts: 5 when a unit "
      "failed here); 130/143 when a unit was being programmed at the signal; 3 image file, 7 "
      "history database (uvq help exit-codes).");
  StationRequest request;
  request.options = options;
  CliOptions& o = request.options;
  // Required without --rollouts.
  AddRow(app, "station", "IMAGE", request.image);
  // Required without --rollouts, but it may come from the configuration file's [station]
  // section.
  AddRow(app, "station", "--range", request.range);
  AddRow(app, "station", "--parallel", request.parallel)->check(CLI::Range(1, kMaxParallel));
  AddRow(app, "station", "--ask-every-ms", request.askEveryMs)->check(CLI::Range(100, 3600000));
  AddRow(app, "station", "--rollouts", request.rollouts);
  std::string onlyRange;
  AddRow(app, "station", "--only-range", onlyRange);
  AddRow(app, "station", "--lease-s", request.leaseSeconds)->check(CLI::Range(1, 86400));
  RunOptionRows runRows(app, o);
  if (const auto code =
          app.parseWithSection(options.station.args, options.sectionValues, "station")) {
    exitCode = *code;
    return std::nullopt;
  }
  const auto usage = [&](const std::string& problem) {
    exitCode = Fail(ExitCode::Usage, problem);
    return std::nullopt;
  };
  if (request.rollouts) {
    // Each rollout carries its image; a jig's range in the configuration file is left to the
    // jig mode, but one given here is a mistake for --only-range.
    if (!request.image.empty())
      return usage("--rollouts takes no IMAGE: every rollout sends the image it was created with");
    for (const std::string& word : options.station.args)
      if (word == "--range" || word.starts_with("--range="))
        return usage("--rollouts limits the station with --only-range A-B, not --range");
    if (!onlyRange.empty()) {
      request.onlyRange = fleet::ParseAddressRange(onlyRange);
      if (!request.onlyRange) return usage("--only-range takes A-B, two addresses, A not after B");
    }
  } else {
    if (request.image.empty())
      return usage("station needs IMAGE (or --rollouts, to serve the rollouts of the database)");
    if (request.range.empty())
      return usage("station needs --range A-B (or range = A-B in [station])");
    if (!onlyRange.empty())
      return usage("--only-range goes with --rollouts; the jig takes --range");
  }
  if (const auto problem = runRows.apply()) {
    exitCode = Fail(ExitCode::Usage, *problem);
    return std::nullopt;
  }
  o.plan.kind = jobs::JobKind::Program;
  o.imageFile = request.image;
  return request;
}

// The station's lines and events: one line per unit that ends, or --json events; the history's
// problems said once.
class StationOutput final : public fleet::JigStationEvents {
 public:
  StationOutput(Output& output, std::string range, int askEveryMs, std::string historySetting)
      : output_(output),
        range_(std::move(range)),
        askEveryMs_(askEveryMs),
        db_(std::move(historySetting)) {}

  void started(const fleet::JigStationStart& start) override {
    if (output_.json()) {
      JsonLine fields;
      fields.field("image", start.imagePath)
          .field("image_sha256", start.imageSha256)
          .field("image_bytes", static_cast<int64_t>(start.imageBytes))
          .field("addresses", static_cast<int64_t>(start.addresses))
          .field("ask_every_ms", askEveryMs_)
          .field("parallel", static_cast<int64_t>(start.parallel))
          .field("history", start.recording)
          .field("known_units", static_cast<int64_t>(start.knownUnits));
      output_.event(range_, "station_started", fields);
    } else {
      const size_t known = start.knownUnits;
      const std::string memory =
          start.recording
              ? std::to_string(known) + " unit" + (known == 1 ? "" : "s") +
                    " of the range had it already (history " + history::DisplayedSetting(db_) + ")"
              : "no history: this station remembers only what it programs in this run";
      output_.text("station " + start.station + ": image " + start.imagePath + " (" +
                   std::to_string(start.imageBytes) + " bytes, SHA-256 " + start.imageSha256 +
                   ") to every unit at " + range_ + " (" + std::to_string(start.addresses) +
                   " addresses, each asked every " + std::to_string(askEveryMs_) + " ms at most, " +
                   std::to_string(start.parallel) + " at once); " + memory + "; Ctrl-C ends it\n");
    }
    if (!start.parallelNote.empty()) output_.error("", start.parallelNote);
    output_.flush();
  }

  void unitSkipped(const std::string& address, const std::string& unit) override {
    if (output_.json()) {
      JsonLine fields;
      fields.field("unit", unit);
      output_.event(address, "unit_skipped", fields);
    } else {
      output_.text(address + " unit " + unit + ": has this image already\n");
    }
  }
  void unitStarted(const std::string& address, const std::string& unit) override {
    if (!output_.json()) return;
    JsonLine fields;
    fields.field("unit", unit);
    output_.event(address, "unit_started", fields);
  }
  // "127.0.9.3 unit 0102: ok in 4.1 s", or the failure with its detail; an event with --json.
  void unitEnded(const std::string& address, const std::string& unit, const SessionResult& result,
                 double seconds) override {
    const ExitCode code = CodeOf(result);
    if (output_.json()) {
      JsonLine fields;
      fields.field("unit", unit)
          .field("outcome", jobs::OutcomeIdentifier(result.outcome))
          .field("exit_code", ToInt(code))
          .field("seconds", seconds)
          .field("records", result.records)
          .field("detail", result.detail);
      if (result.finalStatus)
        fields.field("status", HexWord(*result.finalStatus));
      else
        fields.null("status");
      output_.event(address, "unit_done", fields);
      return;
    }
    char time[32];
    std::snprintf(time, sizeof time, seconds < 10 ? "%.2f s" : "%.1f s", seconds);
    std::string line = address + " unit " + unit + ": ";
    if (code == ExitCode::Ok) {
      line += "ok in " + std::string(time);
    } else if (code == ExitCode::Interrupted || code == ExitCode::Terminated) {
      line += "interrupted after " + std::string(time);
      if (!result.detail.empty()) line += ": " + result.detail;
    } else {
      line += "failed (" + std::string(OutcomeText(code)) + ") after " + time;
      if (!result.detail.empty()) line += ": " + result.detail;
      if (result.finalStatus) line += "; status " + StatusInWords(*result.finalStatus);
    }
    output_.text(line + "\n");
  }
  void roundDone() override { output_.flush(); }
  bool showsInFlight() const override { return true; }
  void inFlight(TimePoint now, const SessionPool& pool) override {
    SayInFlight(output_, pool, now);
  }

  // Said once; the station goes on (it still knows within this run what it programmed).
  void spooled(const std::string& notice) override { historyProblem(notice); }
  void historyProblem(const std::string& problem) override {
    if (historySaid_) return;
    historySaid_ = true;
    output_.error("", "history: " + problem);
  }

 private:
  Output& output_;
  std::string range_;
  int askEveryMs_;
  std::string db_;
  bool historySaid_ = false;
};

// What a station serving the rollouts says: how it starts, each rollout's lines as `rollout
// run` says them (plain lines named by the rollout, or --json events that carry its name), when
// it joins and when its part ends.
class RolloutsOutput final : public fleet::StationRolloutsEvents {
 public:
  RolloutsOutput(Output& output, RolloutView::Style style,
                 std::optional<std::pair<uint32_t, uint32_t>> onlyRange, bool recording)
      : output_(output), style_(style), onlyRange_(onlyRange), recording_(recording) {}

  void started(const fleet::StationRolloutsStart& start) override {
    const auto text = [](uint32_t address) { return protocol::Ipv4Text(in_addr{htonl(address)}); };
    const std::string range = onlyRange_ ? text(onlyRange_->first) + "-" + text(onlyRange_->second)
                                         : std::string("every address");
    const std::string line = "station " + start.station + ": every running rollout with units at " +
                             range + " (" + std::to_string(start.parallel) +
                             " units at once, shared); Ctrl-C ends it";
    if (style_ == RolloutView::Style::Json) {
      JsonLine fields;
      fields.field("station", start.station)
          .field("only_range", onlyRange_ ? range : std::string())
          .field("parallel", static_cast<int64_t>(start.parallel))
          .field("history", recording_)
          .field("line", line);
      output_.event("", "station_started", fields);
    } else if (style_ != RolloutView::Style::Quiet) {
      output_.text(line + "\n");
    }
    if (!start.parallelNote.empty()) output_.error("", start.parallelNote);
    output_.flush();
  }

  fleet::RolloutEvents& joined(const rollouts::RolloutDefinition& rollout,
                               rollouts::RolloutState state) override {
    auto view = std::make_unique<RolloutView>(style_, rollout.name, output_);
    view->setLinePrefix(rollout.name + ": ");
    const std::string line = "rollout '" + rollout.name + "' (" +
                             std::string(rollouts::RolloutStateName(state)) + ", image " +
                             rollout.imagePath + "): this station joins it";
    JsonLine f;
    f.field("rollout", rollout.name)
        .field("state", std::string(rollouts::RolloutStateName(state)))
        .field("image_sha256", rollout.imageSha256)
        .field("line", line);
    say("rollout_joined", f, line);
    RolloutView& made = *view;
    views_[rollout.name] = std::move(view);
    return made;
  }

  void left(const std::string& rollout, const fleet::RolloutPart& part) override {
    const auto found = views_.find(rollout);
    if (found == views_.end()) return;
    RolloutView& view = *found->second;
    std::string line;
    std::string state(rollouts::RolloutStateName(part.state));
    ExitCode code = part.failed > 0 || part.state == rollouts::RolloutState::Stopped
                        ? ExitCode::UnitError
                        : ExitCode::Ok;
    if (part.stoppedBy != StopCause::None) {
      state = "interrupted";
      code = StopExitCode(part.stoppedBy);
    } else if (part.state == rollouts::RolloutState::Stopped) {
      line = "rollout '" + rollout + "' stopped: " + part.stopReason +
             "; this station joins it again after uvq rollout retry " + rollout + " --failed";
    } else if (part.state == rollouts::RolloutState::Cancelled) {
      line = "rollout '" + rollout + "' was cancelled";
    } else if (part.state == rollouts::RolloutState::Running) {
      state = "nothing left for this station";
    }
    view.finished(line, state, part.ok, part.failed, part.redone, ToInt(code));
    views_.erase(found);
  }

  void refused(const std::string& rollout, const std::string& problem) override {
    const std::string line = "rollout '" + rollout + "' is not served: " + problem;
    JsonLine f;
    f.field("rollout", rollout).field("line", line);
    say("rollout_refused", f, line);
  }
  void notice(const std::string& line) override {
    JsonLine f;
    f.field("line", line);
    say("notice", f, line);
  }
  void roundDone() override { output_.flush(); }

 private:
  void say(const char* event, const JsonLine& fields, const std::string& line) {
    if (style_ == RolloutView::Style::Json)
      output_.event("", event, fields);
    else if (style_ == RolloutView::Style::Quiet)
      std::fprintf(stderr, "uvq: station: %s\n", reports::Escaped(line).c_str());
    else
      output_.text(line + "\n");
  }

  Output& output_;
  RolloutView::Style style_;
  std::optional<std::pair<uint32_t, uint32_t>> onlyRange_;
  bool recording_;
  std::map<std::string, std::unique_ptr<RolloutView>> views_;
};

// An alert given up, from the sender's thread.
void SayAlertProblem(const std::string& problem) {
  std::fprintf(stderr, "uvq: station: %s\n", reports::Escaped(problem).c_str());
}

// `station --rollouts`: the rollouts of the history's database, served until a signal.
int ServeRollouts(const StationRequest& request) {
  const CliOptions& options = request.options;
  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                true);
  const RolloutView::Style style = options.json      ? RolloutView::Style::Json
                                   : options.quiet() ? RolloutView::Style::Quiet
                                                     : RolloutView::Style::Lines;
  fleet::StationRolloutsSetup setup;
  setup.settings.leaseSeconds = request.leaseSeconds;
  setup.settings.onlyRange = request.onlyRange;
  setup.plan = options.plan;
  setup.plan.kind = jobs::JobKind::Program;
  setup.station = options.history.station;
  setup.record = options.history.recording();
  setup.historyDb = options.history.db;
  setup.parallel = static_cast<size_t>(request.parallel);
  setup.alertProblem = SayAlertProblem;

  // The sessions' own lines only with -v; their failures are said by the rollouts' lines.
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  setup.stop = &Interruption::Source();
  RolloutsOutput events(output, style, request.onlyRange, setup.record);
  const fleet::StationRolloutsResult result =
      fleet::RunStationRollouts(setup, events, sessionEvents);
  sessionOutput.flush();
  using Refusal = fleet::StationRolloutsResult::Refusal;
  if (result.refusal == Refusal::Store) return Fail(ExitCode::History, result.problem);
  if (result.refusal == Refusal::History)
    return Fail(ExitCode::History,
                result.problem + "; nothing was sent (--no-history runs without recording)");
  const ExitCode code = result.failed > 0 ? ExitCode::UnitError : ExitCode::Ok;
  const std::string ended = result.stoppedBy == StopCause::Terminate ? "SIGTERM"
                            : result.stoppedBy == StopCause::Hangup  ? "SIGHUP"
                                                                     : "SIGINT";
  if (options.json) {
    JsonLine fields;
    fields.field("programmed", result.ok)
        .field("failed", result.failed)
        .field("redone", result.redone)
        .field("exit_code", ToInt(code));
    output.event("", "summary", fields);
  } else {
    output.text("station stopped (" + ended + "): " + std::to_string(result.ok) + " programmed, " +
                std::to_string(result.failed) + " failed, " + std::to_string(result.redone) +
                " redone, across the rollouts it served\n");
  }
  output.flush();
  return ToInt(code);
}

}  // namespace

int RunStationCommand(const CliOptions& cliOptions) {
  int exitCode = 0;
  const std::optional<StationRequest> request = Parse(cliOptions, exitCode);
  if (!request) return exitCode;
  if (request->rollouts) return ServeRollouts(*request);
  const CliOptions& options = request->options;
  fleet::JigStationSetup setup;
  setup.image = request->image;
  setup.allowPartialRecord = options.allowPartialRecord;
  setup.range = request->range;
  setup.askEveryMs = request->askEveryMs;
  setup.parallel = static_cast<size_t>(request->parallel);
  setup.plan = options.plan;
  setup.recording = options.history.choice();

  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                false);
  StationOutput stationOutput(output, request->range, request->askEveryMs, options.history.db);
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  setup.stop = &Interruption::Source();
  const fleet::JigStationResult result = fleet::RunJigStation(setup, stationOutput, sessionEvents);
  using Refusal = fleet::JigStationResult::Refusal;
  switch (result.refusal) {
    case Refusal::None:
      break;
    case Refusal::BadRange:
      return Fail(ExitCode::Usage, "--range takes A-B, two addresses, A not after B");
    case Refusal::TooWide:
      return Fail(ExitCode::Usage, "--range " + request->range + " " + result.problem);
    case Refusal::Unreachable:
      return Fail(ExitCode::Usage, "--range: " + result.problem);
    case Refusal::Image:
      return Fail(ExitCode::File, result.problem);
    case Refusal::History:
      return Fail(ExitCode::History, result.problem +
                                         "; nothing was sent (--no-history runs without "
                                         "recording, and remembers within the run only)");
  }
  sessionOutput.flush();

  const ExitCode signal = StopExitCode(result.stoppedBy);
  ExitCode code = ExitCodeOf(result.firstFailure);
  if (code == ExitCode::Ok && result.interrupted > 0) code = signal;
  const std::string ended = signal == ExitCode::Terminated ? "SIGTERM" : "SIGINT";
  if (options.json) {
    JsonLine fields;
    fields.field("programmed", result.ok)
        .field("failed", result.failed)
        .field("interrupted", result.interrupted)
        .field("had_image", result.skipped)
        .field("exit_code", ToInt(code));
    output.event(request->range, "summary", fields);
  } else {
    std::string line = "station stopped (" + ended + "): " + std::to_string(result.ok) +
                       " programmed, " + std::to_string(result.failed) + " failed, " +
                       std::to_string(result.interrupted) + " interrupted, " +
                       std::to_string(result.skipped) + " had the image already";
    if (result.interrupted > 0) line += "; an interrupted unit is programmed again by the next run";
    output.text(line + "\n");
  }
  output.flush();
  return ToInt(code);
}

}  // namespace uvq::cli
