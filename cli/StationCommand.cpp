// SPDX-License-Identifier: Apache-2.0
// `uvq station IMAGE --range A-B`: the image read once, what the history says already has it,
// then the station's feed in the session pool until a signal ends it, and a summary.
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
#include "alerts/AlertSender.h"
#include "alerts/RolloutWatch.h"
#include "fleet/StationRollouts.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "protocol/IpAddressText.h"
#include "recording/StationFacts.h"
#include "reports/TerminalText.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::cli {

namespace {

// More addresses than a jig has places; a wider range is a typo.
constexpr uint32_t kMaxStationAddresses = 4096;
// Standard streams, the signal pipe, the pool's wait, the database, the unit locks' probes.
constexpr size_t kOtherDescriptors = 64;

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

// Each unit in flight holds a socket: the limit is raised to what --parallel needs, or the
// station works with what it may have (said in `note`).
size_t PossibleParallel(size_t parallel, std::string& note) {
  const size_t limit = platform::RaiseOpenFileLimit(parallel + kOtherDescriptors);
  if (limit >= parallel + kOtherDescriptors) return parallel;
  const size_t possible = limit > kOtherDescriptors + 1 ? limit - kOtherDescriptors : 1;
  note = "the open-file limit is " + std::to_string(limit) +
         " (the hard limit; ulimit -Hn): " + std::to_string(possible) +
         " units at once instead of " + std::to_string(parallel);
  return possible;
}

// The station's lines and events: one line per unit that ends, or --json events; the history's
// problems said once.
class StationOutput final : public fleet::StationEvents, public fleet::RecorderEvents {
 public:
  explicit StationOutput(Output& output) : output_(output) {}

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
  bool historySaid_ = false;
};

// What a station serving the rollouts says: each rollout's lines as `rollout run` says them
// (plain lines named by the rollout, or --json events that carry its name), when it joins and
// when its part ends. A rollout with a notify URL is watched while it is joined.
class RolloutsOutput final : public fleet::StationRolloutsEvents {
 public:
  RolloutsOutput(Output& output, RolloutView::Style style, rollouts::RolloutStore& store,
                 std::string station, int leaseMs)
      : output_(output),
        style_(style),
        store_(store),
        station_(std::move(station)),
        leaseMs_(leaseMs) {}
  ~RolloutsOutput() override {
    watches_.clear();
    if (alerts_) alerts_->drain(10000);
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
    if (!rollout.notifyUrl.empty()) {
      if (!alerts_)
        alerts_.emplace(alerts::AlertLimits{}, [](const std::string& problem) {
          std::fprintf(stderr, "uvq: station: %s\n", reports::Escaped(problem).c_str());
        });
      watches_[rollout.name] = std::make_unique<alerts::RolloutWatch>(
          store_, rollout.name, station_, std::min(leaseMs_ / 3, 5000), leaseMs_, *alerts_,
          [] { return recording::NowUtcMillis(); });
    }
    RolloutView& made = *view;
    views_[rollout.name] = std::move(view);
    return made;
  }

  void left(const std::string& rollout, const fleet::RolloutPart& part) override {
    watches_.erase(rollout);
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
  rollouts::RolloutStore& store_;
  std::string station_;
  int leaseMs_;
  std::map<std::string, std::unique_ptr<RolloutView>> views_;
  std::optional<alerts::AlertSender> alerts_;
  std::map<std::string, std::unique_ptr<alerts::RolloutWatch>> watches_;
};

// `station --rollouts`: the rollouts of the history's database, served until a signal.
int ServeRollouts(const StationRequest& request) {
  const CliOptions& options = request.options;
  const std::string& db = options.history.db;
  std::unique_ptr<rollouts::RolloutStore> store;
  try {
    store = rollouts::OpenRolloutStore(db);
  } catch (const std::exception& error) {
    return Fail(ExitCode::History, history::WithoutPassword(error.what(), db));
  }
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
  setup.station = options.history.station.empty() ? recording::HostName() : options.history.station;
  setup.record = options.history.recording();
  setup.historyDb = db;
  std::string limitNote;
  setup.parallel = PossibleParallel(static_cast<size_t>(request.parallel), limitNote);

  const auto text = [](uint32_t address) { return protocol::Ipv4Text(in_addr{htonl(address)}); };
  const std::string range =
      request.onlyRange ? text(request.onlyRange->first) + "-" + text(request.onlyRange->second)
                        : std::string("every address");
  const std::string started =
      "station " + setup.station + ": every running rollout with units at " + range + " (" +
      std::to_string(setup.parallel) + " units at once, shared); Ctrl-C ends it";
  JsonLine startedFields;
  startedFields.field("station", setup.station)
      .field("only_range", request.onlyRange ? range : std::string())
      .field("parallel", static_cast<int64_t>(setup.parallel))
      .field("history", setup.record)
      .field("line", started);
  if (options.json)
    output.event("", "station_started", startedFields);
  else if (!options.quiet())
    output.text(started + "\n");
  if (!limitNote.empty()) output.error("", limitNote);
  output.flush();

  // The sessions' own lines only with -v; their failures are said by the rollouts' lines.
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  setup.stop = &Interruption::Source();
  fleet::StationRolloutsResult result;
  {
    RolloutsOutput events(output, style, *store, setup.station, request.leaseSeconds * 1000);
    try {
      result = fleet::RunStationRollouts(*store, setup, events, sessionEvents);
    } catch (const history::HistoryError& error) {
      return Fail(ExitCode::History, history::WithoutPassword(error.what(), db));
    }
  }
  sessionOutput.flush();
  if (!result.historyProblem.empty())
    return Fail(ExitCode::History,
                result.historyProblem + "; nothing was sent (--no-history runs without recording)");
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
  const auto range = fleet::ParseAddressRange(request->range);
  if (!range) return Fail(ExitCode::Usage, "--range takes A-B, two addresses, A not after B");
  const uint64_t count = uint64_t{range->second} - range->first + 1;
  if (count > kMaxStationAddresses)
    return Fail(ExitCode::Usage, "--range " + request->range + " has " + std::to_string(count) +
                                     " addresses; a station watches at most " +
                                     std::to_string(kMaxStationAddresses));
  // Where no unit can be (a multicast group, broadcast, 0.x.y.z, reserved), nothing is sent:
  // the same rule and words as scan's and rollout create's ranges.
  const auto addresses = ExpandScanRange(request->range);
  if (const auto* error = std::get_if<TargetError>(&addresses))
    return Fail(ExitCode::Usage, "--range: " + error->message);

  auto bytes = std::make_shared<std::vector<uint8_t>>();
  if (const auto problem = LoadImage(request->image, options.allowPartialRecord, *bytes))
    return Fail(ExitCode::File, problem->message);
  const std::string sha256 = Sha256Of(*bytes);
  const std::string imagePath = AbsolutePath(request->image);

  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                false);
  StationOutput stationOutput(output);
  fleet::OpenedRecorder opened = fleet::OpenRunRecorder(options.history.choice(), &stationOutput);
  std::vector<StationUnit> known;
  if (opened.recorder && opened.recorder->recording()) {
    try {
      known = fleet::UnitsWithImage(*opened.recorder->store(), sha256, *range);
    } catch (const std::exception& error) {
      opened = {nullptr, history::WithoutPassword(error.what(), options.history.db)};
    }
  }
  if (!opened.recorder)
    return Fail(ExitCode::History, opened.problem +
                                       "; nothing was sent (--no-history runs without "
                                       "recording, and remembers within the run only)");
  RunRecorder& recorder = *opened.recorder;

  std::string limitNote;
  const size_t parallel = PossibleParallel(static_cast<size_t>(request->parallel), limitNote);

  const std::string& station = recorder.station();
  const std::string memory =
      recorder.recording()
          ? std::to_string(known.size()) + " unit" + (known.size() == 1 ? "" : "s") +
                " of the range had it already (history " +
                history::DisplayedSetting(options.history.db) + ")"
          : "no history: this station remembers only what it programs in this run";
  if (options.json) {
    JsonLine fields;
    fields.field("image", imagePath)
        .field("image_sha256", sha256)
        .field("image_bytes", static_cast<int64_t>(bytes->size()))
        .field("addresses", static_cast<int64_t>(count))
        .field("ask_every_ms", request->askEveryMs)
        .field("parallel", static_cast<int64_t>(parallel))
        .field("history", recorder.recording())
        .field("known_units", static_cast<int64_t>(known.size()));
    output.event(request->range, "station_started", fields);
  } else {
    output.text("station " + station + ": image " + imagePath + " (" +
                std::to_string(bytes->size()) + " bytes, SHA-256 " + sha256 +
                ") to every unit at " + request->range + " (" + std::to_string(count) +
                " addresses, each asked every " + std::to_string(request->askEveryMs) +
                " ms at most, " + std::to_string(parallel) + " at once); " + memory +
                "; Ctrl-C ends it\n");
  }
  if (!limitNote.empty()) output.error("", limitNote);
  output.flush();

  uvq::platform::SystemClock clock;
  uvq::platform::PosixFileSystem files;
  SilentTone tone;
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  SessionPool pool(parallel, &Interruption::Source());
  jobs::JobPlan plan = options.plan;
  plan.image = {imagePath, bytes};
  StationRunner runner({*range, request->askEveryMs, plan, sha256, &recorder, stationOutput,
                        sessionEvents, SharedPorts{clock, tone, files}});
  runner.setPool(&pool);
  runner.remember(known);
  const ExitCode signal = StopExitCode(pool.run(runner));
  sessionOutput.flush();

  ExitCode code = ExitCodeOf(runner.firstFailure());
  if (code == ExitCode::Ok && runner.interrupted() > 0) code = signal;
  const std::string ended = signal == ExitCode::Terminated ? "SIGTERM" : "SIGINT";
  if (options.json) {
    JsonLine fields;
    fields.field("programmed", runner.ok())
        .field("failed", runner.failed())
        .field("interrupted", runner.interrupted())
        .field("had_image", runner.skipped())
        .field("exit_code", ToInt(code));
    output.event(request->range, "summary", fields);
  } else {
    std::string line = "station stopped (" + ended + "): " + std::to_string(runner.ok()) +
                       " programmed, " + std::to_string(runner.failed()) + " failed, " +
                       std::to_string(runner.interrupted()) + " interrupted, " +
                       std::to_string(runner.skipped()) + " had the image already";
    if (runner.interrupted() > 0)
      line += "; an interrupted unit is programmed again by the next run";
    output.text(line + "\n");
  }
  output.flush();
  return ToInt(code);
}

}  // namespace uvq::cli
