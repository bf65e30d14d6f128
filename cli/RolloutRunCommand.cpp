// SPDX-License-Identifier: Apache-2.0
// `uvq rollout run NAME`: checks the rollout's image, takes back the claims of this station's
// processes that are gone, and runs the station's part through the session pool.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "Escaped.h"
#include "Fleet.h"
#include "Interruption.h"
#include "OpenFileLimit.h"
#include "RolloutRun.h"
#include "SessionOutput.h"
#include "alerts/AlertSender.h"
#include "alerts/RolloutWatch.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "recording/StationFacts.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"

namespace uvq::cli {

namespace {

using history::RolloutState;

class SilentTone final : public Tone {
 public:
  void beep() override {}
};

// Standard streams, the signal pipe, the pool's wait, the databases, the unit locks' probes.
constexpr size_t kOtherDescriptors = 64;

// Every station sends exactly the bytes the rollout was created with. A file at the recorded
// path that holds something else is refused: whoever changed it meant another image, which
// needs a rollout of its own. A file that is gone is no such sign: the stored copy is sent.
std::optional<std::string> ImageRefusal(const history::RolloutDefinition& definition,
                                        RolloutView& view) {
  if (!definition.image || Sha256Of(*definition.image) != definition.imageSha256)
    return "the image stored with rollout '" + definition.name +
           "' does not match its SHA-256: the database copy is damaged";
  struct stat info {};
  if (::stat(definition.imagePath.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      view.notice("image file " + definition.imagePath +
                  " is gone: sending the copy stored with the " + "rollout (SHA-256 " +
                  definition.imageSha256 + ")");
      return std::nullopt;
    }
  }
  std::vector<uint8_t> bytes;
  if (const auto problem = LoadImage(definition.imagePath, true, bytes))
    return problem->message + "; it cannot be compared with the rollout's image";
  const std::string now = Sha256Of(bytes);
  if (now != definition.imageSha256)
    return "image file " + definition.imagePath + " changed since rollout '" + definition.name +
           "' was created (SHA-256 " + now + ", the rollout's " + definition.imageSha256 +
           "): nothing was sent; a new image needs a new rollout";
  return std::nullopt;
}

RolloutView::Style ViewStyle(const CliOptions& options) {
  if (options.json) return RolloutView::Style::Json;
  if (options.quiet()) return RolloutView::Style::Quiet;
  return isatty(STDERR_FILENO) ? RolloutView::Style::Board : RolloutView::Style::Lines;
}

std::string ProcessOf(const std::string& token) {
  const size_t last = token.rfind(':');
  const size_t middle = last == std::string::npos ? last : token.rfind(':', last - 1);
  return middle == std::string::npos ? token : token.substr(middle + 1, last - middle - 1);
}

}  // namespace

int RunRollout(const RolloutRequest& request, history::RolloutStore& store) {
  const CliOptions& options = request.options;
  const std::optional<history::RolloutDefinition> definition = store.load(request.name);
  if (!definition) return RolloutFail(ExitCode::Usage, "no rollout named '" + request.name + "'");

  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.verbosity,
                true);
  RolloutView view(ViewStyle(options), definition->name, output);
  if (const auto refusal = ImageRefusal(*definition, view))
    return RolloutFail(ExitCode::File, *refusal);

  const auto status = store.status(definition->name);
  if (status) {
    const history::RolloutSummary& s = status->summary;
    if (s.state == RolloutState::Done) {
      view.finished("", "done", 0, 0, 0, 0);
      return ToInt(ExitCode::Ok);
    }
    if (s.state == RolloutState::Stopped)
      return RolloutFail(ExitCode::UnitError, "'" + definition->name +
                                                  "' is stopped: " + s.stopReason +
                                                  "; uvq rollout retry " + definition->name +
                                                  " --failed puts its failed units back");
    if (s.state != RolloutState::Running)
      return RolloutFail(
          ExitCode::Held,
          "'" + definition->name + "' is " + std::string(history::RolloutStateName(s.state)) +
              (s.state == RolloutState::Paused ? "; uvq rollout resume " + definition->name
                                               : std::string()));
  }

  // Attempts are recorded in the history of the same database, through the spool.
  std::unique_ptr<history::SpoolingHistoryStore> historyStore;
  if (options.history.recording()) {
    try {
      historyStore = history::OpenSpoolingHistoryStore(options.history.db);
      if (historyStore->spooledCount() > 0) {
        try {
          historyStore->flush();
        } catch (const history::HistoryError&) {
          // Still refused: the rows stay spooled for a later run.
        }
      }
    } catch (const std::exception& error) {
      return RolloutFail(ExitCode::History,
                         history::WithoutPassword(error.what(), options.history.db) +
                             "; nothing was sent (--no-history runs without recording)");
    }
  }

  // Each unit in flight holds a socket: the limit is raised to what --parallel needs, or the
  // station works with what it may have.
  size_t parallel = static_cast<size_t>(request.parallel);
  const size_t limit = RaiseOpenFileLimit(parallel + kOtherDescriptors);
  if (limit < parallel + kOtherDescriptors) {
    const size_t possible = limit > kOtherDescriptors + 1 ? limit - kOtherDescriptors : 1;
    view.notice("the open-file limit is " + std::to_string(limit) +
                " (the hard limit; ulimit -Hn)" + ": " + std::to_string(possible) +
                " units at once instead of " + std::to_string(parallel));
    parallel = possible;
  }

  history::ClaimHolder holder;
  holder.station =
      options.history.station.empty() ? recording::HostName() : options.history.station;
  holder.token = NewClaimToken();
  // Claims this station's earlier processes held when they died come back at once.
  for (const std::string& token : store.holders(definition->name, holder.station)) {
    if (token == holder.token || !ClaimTokenHolderGone(token)) continue;
    const int taken = store.takeOver(definition->name, holder.station, token, holder,
                                     recording::NowUtcMillis(), request.leaseSeconds * 1000);
    if (taken > 0)
      view.notice(std::to_string(taken) + " unit" + (taken == 1 ? " was" : "s were") +
                  " in flight when this station's process " + ProcessOf(token) +
                  " stopped: they are redone");
  }

  uvq::platform::SystemClock clock;
  uvq::platform::PosixFileSystem files;
  SilentTone tone;
  // The sessions' own lines only with -v; their failures are said by the view.
  Output sessionOutput(
      stdout, Output::Mode::Text,
      options.verbosity == Verbosity::Verbose ? Verbosity::Verbose : Verbosity::Quiet, true,
      nullptr);
  if (view.style() == RolloutView::Style::Board)
    sessionOutput.setBeforeLine([&view] { view.close(); });

  SessionOutput sessionEvents(sessionOutput);
  Interruption::Install();
  SessionPool pool(parallel, &Interruption::Source());
  RolloutRunner runner({request, store, *definition, holder, historyStore.get(), view,
                        sessionEvents, SharedPorts{clock, tone, files}, parallel});
  runner.setPool(&pool);
  runner.refreshCounts();
  // The notify URL is told of the rollout's stop or end and of silent stations from threads of
  // their own; the units never wait for it.
  std::optional<alerts::AlertSender> alertSender;
  std::optional<alerts::RolloutWatch> alertWatch;
  if (!definition->notifyUrl.empty()) {
    alertSender.emplace(alerts::AlertLimits{}, [](const std::string& problem) {
      std::fprintf(stderr, "uvq: rollout: %s\n", Escaped(problem).c_str());
    });
    const int leaseMs = request.leaseSeconds * 1000;
    alertWatch.emplace(store, definition->name, holder.station, std::min(leaseMs / 3, 5000),
                       leaseMs, *alertSender, [] { return recording::NowUtcMillis(); });
  }
  const ExitCode signal = StopExitCode(pool.run(runner));
  sessionOutput.flush();
  if (alertWatch) {
    alertWatch->stop();
    alertSender->drain(10000);
  }

  if (signal != ExitCode::Ok) {
    view.finished("", "interrupted", runner.ok(), runner.failed(), runner.redone(), ToInt(signal));
    return ToInt(signal);
  }
  std::string line;
  std::string state(history::RolloutStateName(runner.state()));
  ExitCode code = ExitCode::Ok;
  switch (runner.state()) {
    case RolloutState::Stopped:
      code = ExitCode::UnitError;
      line = "rollout '" + definition->name + "' stopped: " + runner.stopReason();
      break;
    case RolloutState::Paused:
      code = ExitCode::Held;
      line = "rollout '" + definition->name + "' is paused; uvq rollout resume " +
             definition->name + " lets stations go on";
      break;
    case RolloutState::Cancelled:
      code = ExitCode::Held;
      line = "rollout '" + definition->name + "' was cancelled";
      break;
    case RolloutState::Done:
      break;
    case RolloutState::Running:
      // Nothing left for this station's range; others may still work on theirs.
      if (request.onlyRange) state = "nothing left for this station";
      break;
  }
  // Finished, but not every unit this station ran got the image: as a plain run, not a success.
  if (code == ExitCode::Ok && runner.failed() > 0) {
    code = ExitCode::UnitError;
    line = std::to_string(runner.failed()) + (runner.failed() == 1 ? " unit" : " units") +
           " of rollout '" + definition->name + "' failed here; uvq rollout retry " +
           definition->name + " --failed puts them back";
  }
  view.finished(line, state, runner.ok(), runner.failed(), runner.redone(), ToInt(code));
  return ToInt(code);
}

}  // namespace uvq::cli
