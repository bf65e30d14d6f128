// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "jobs/JobResult.h"

namespace uvq::cli {

// The command line's exit codes. Scripts on production lines branch on these, so the numbers
// never change; the help footer and README list them.
enum class ExitCode : int {
  Ok = 0,
  Internal = 1,   // an unexpected failure inside the tool
  Usage = 2,      // bad arguments, invalid address or unit ID, unit locked by another run
  File = 3,       // image missing, unreadable, empty or not records, or a read error
  NoAnswer = 4,   // capture, watchdog, erase, reset or set-ip without an answer
  UnitError = 5,  // the unit reported an error, refused the request or holds no valid program
  Network = 6,    // send failed, host cannot be resolved
  History = 7,    // the history database cannot be opened or is not a uvq history
  Held = 8,  // a rollout cancelled (or paused, --exit-on-pause): in flight finished, none started
  // Stopped by a signal: the shell's 128 + signal number, so scripts see the usual codes.
  Interrupted = 130,  // SIGINT (Ctrl-C)
  Terminated = 143,   // SIGTERM, SIGHUP
};

constexpr int ToInt(ExitCode code) {
  return static_cast<int>(code);
}

// The one table from a job's outcome to the exit code: its words in the summary and the help
// text of each code. A signal's code replaces the outcome's (the "interrupted" rows).
struct OutcomeRow {
  // None: a refusal of the command line's own before any job started (the history).
  std::optional<jobs::JobOutcome> outcome;
  ExitCode code;
  std::string_view text;       // what a person reads in the summary
  std::string_view help;       // the code's line in the help text
  std::string_view word = {};  // the identifier, where no job's outcome gives it
};

inline constexpr std::array<OutcomeRow, 12> kOutcomeTable{{
    {jobs::JobOutcome::Ok, ExitCode::Ok, "ok", "success (every target)"},
    {jobs::JobOutcome::InternalError, ExitCode::Internal, "internal error", "internal error"},
    {jobs::JobOutcome::Refused, ExitCode::Usage, "bad usage",
     "bad usage: arguments, unknown option, configuration file, invalid address,\n"
     "     bad unit ID, duplicate targets, several units without --id, a unit locked by\n"
     "     another program, a full unit table"},
    {jobs::JobOutcome::FileError, ExitCode::File, "file error",
     "file error: image missing, unreadable, empty, not a regular file or not whole\n"
     "     records"},
    {jobs::JobOutcome::NoAnswer, ExitCode::NoAnswer, "no answer",
     "no answer: capture time-out, programming watchdog, erase time-out,\n"
     "     reset or set-ip without a reply, no unit (or not the --id unit) answered"},
    {jobs::JobOutcome::UnitError, ExitCode::UnitError, "unit error",
     "the unit reported an error: not in loader mode, record errors, refused request,\n"
     "     file not finished on the last record, reset refused, no valid program after\n"
     "     the reset, capture answered without loader mode (access code), refused\n"
     "     records with --strict"},
    {jobs::JobOutcome::NetworkError, ExitCode::Network, "network error",
     "network error: send failed, host cannot be resolved, a scan that could not\n"
     "     ask every address"},
    {std::nullopt, ExitCode::History, "history error",
     "history error: the history database cannot be opened, is not a uvq history\n"
     "     or has a newer schema; nothing was sent",
     "history_error"},
    {std::nullopt, ExitCode::Held, "rollout held",
     "rollout cancelled by hand (or paused, with rollout run --exit-on-pause): units in\n"
     "     flight finished, no new one started (a rollout stopped by its error threshold\n"
     "     exits 5; without --exit-on-pause a station waits at a pause)",
     "rollout_held"},
    // Said with the rollout's code: the station's own line names the unit it let go.
    {jobs::JobOutcome::ClaimLost, ExitCode::Held, "claim lost", ""},
    {jobs::JobOutcome::Interrupted, ExitCode::Interrupted, "interrupted",
     "stopped by SIGINT (Ctrl-C); each unit's state is printed"},
    {jobs::JobOutcome::Interrupted, ExitCode::Terminated, "interrupted",
     "stopped by SIGTERM or SIGHUP; each unit's state is printed"},
}};

constexpr const OutcomeRow* OutcomeRowOf(ExitCode code) {
  for (const OutcomeRow& row : kOutcomeTable)
    if (row.code == code) return &row;
  return nullptr;
}

// The exit code of a job's outcome; `signal` is the code of the signal that interrupted it.
constexpr ExitCode ExitCodeOf(jobs::JobOutcome outcome, ExitCode signal = ExitCode::Interrupted) {
  if (outcome == jobs::JobOutcome::Interrupted) return signal;
  for (const OutcomeRow& row : kOutcomeTable)
    if (row.outcome == outcome) return row.code;
  return ExitCode::Internal;
}

// The identifier for JSON events and the run log (stable, machine-readable).
constexpr std::string_view OutcomeWord(ExitCode code) {
  const OutcomeRow* row = OutcomeRowOf(code);
  if (!row) return "unknown";
  return row->outcome ? jobs::OutcomeIdentifier(*row->outcome) : row->word;
}

constexpr std::string_view OutcomeText(ExitCode code) {
  const OutcomeRow* row = OutcomeRowOf(code);
  return row ? row->text : "unknown";
}

// With several targets the run's code is that of the first target, in the order given, that
// did not succeed: the same run always reports the same code.
template <typename Range>
ExitCode CombinedExitCode(const Range& codes) {
  for (ExitCode code : codes)
    if (code != ExitCode::Ok) return code;
  return ExitCode::Ok;
}

// "Exit codes:" and a line per code, made from the table.
inline std::string ExitCodeHelp() {
  std::string text = "Exit codes:";
  for (const OutcomeRow& row : kOutcomeTable)
    if (!row.help.empty())
      text += "\n  " + std::to_string(ToInt(row.code)) + "  " + std::string(row.help);
  return text +
         "\nWith several targets the code is that of the first target (in the order given)\n"
         "that failed.\n"
         "uvq station ends only by a signal: 0 when every unit it programmed succeeded, else\n"
         "the code of the first unit that failed; 130/143 when a unit was being programmed.";
}

}  // namespace uvq::cli
