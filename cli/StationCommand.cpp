// SPDX-License-Identifier: Apache-2.0
// `uvq station IMAGE --range A-B`: the image read once, what the history says already has it,
// then the station's feed in the session pool until a signal ends it, and a summary.
#include "StationCommand.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <variant>

#include "CommandTable.h"
#include "Fleet.h"
#include "Interruption.h"
#include "OptionRows.h"
#include "RolloutRequest.h"
#include "SessionOutput.h"
#include "StatusText.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
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

class SilentTone final : public Tone {
 public:
  void beep() override {}
};

struct StationRequest {
  std::string image;
  std::string range;
  int parallel = 32;
  int askEveryMs = 2000;
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
      "--no-history] [--station NAME] [--json]\nExit codes: 0 every unit programmed "
      "succeeded, else the code of the first unit that failed; 130/143 when a unit was being "
      "programmed at the signal; 3 image file, 7 history database (uvq help exit-codes).");
  StationRequest request;
  request.options = options;
  CliOptions& o = request.options;
  AddRow(app, "station", "IMAGE", request.image)->required();
  // Required, but it may come from the configuration file's [station] section.
  AddRow(app, "station", "--range", request.range);
  AddRow(app, "station", "--parallel", request.parallel)->check(CLI::Range(1, kMaxParallel));
  AddRow(app, "station", "--ask-every-ms", request.askEveryMs)->check(CLI::Range(100, 3600000));
  RunOptionRows runRows(app, o);
  if (const auto code =
          app.parseWithSection(options.station.args, options.sectionValues, "station")) {
    exitCode = *code;
    return std::nullopt;
  }
  if (request.range.empty()) {
    exitCode = Fail(ExitCode::Usage, "station needs --range A-B (or range = A-B in [station])");
    return std::nullopt;
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

}  // namespace

int RunStationCommand(const CliOptions& cliOptions) {
  int exitCode = 0;
  const std::optional<StationRequest> request = Parse(cliOptions, exitCode);
  if (!request) return exitCode;
  const CliOptions& options = request->options;
  const auto range = ParseAddressRange(request->range);
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

  size_t parallel = static_cast<size_t>(request->parallel);
  std::string limitNote;
  const size_t limit = platform::RaiseOpenFileLimit(parallel + kOtherDescriptors);
  if (limit < parallel + kOtherDescriptors) {
    const size_t possible = limit > kOtherDescriptors + 1 ? limit - kOtherDescriptors : 1;
    limitNote = "the open-file limit is " + std::to_string(limit) +
                " (the hard limit; ulimit -Hn): " + std::to_string(possible) +
                " units at once instead of " + std::to_string(parallel);
    parallel = possible;
  }

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
