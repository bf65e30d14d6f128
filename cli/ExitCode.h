#pragma once

#include <array>
#include <string_view>

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
  // Stopped by a signal: the shell's 128 + signal number, so scripts see the usual codes.
  Interrupted = 130,  // SIGINT (Ctrl-C)
  Terminated = 143,   // SIGTERM
};

constexpr int ToInt(ExitCode code) {
  return static_cast<int>(code);
}

// Each code's outcome: an identifier for JSON events and the run log (stable, machine-readable)
// and the words a person reads in the summary.
struct OutcomeNames {
  ExitCode code;
  std::string_view word;
  std::string_view text;
};

inline constexpr std::array<OutcomeNames, 10> kOutcomes{{
    {ExitCode::Ok, "ok", "ok"},
    {ExitCode::Internal, "internal_error", "internal error"},
    {ExitCode::Usage, "bad_usage", "bad usage"},
    {ExitCode::File, "file_error", "file error"},
    {ExitCode::NoAnswer, "no_answer", "no answer"},
    {ExitCode::UnitError, "unit_error", "unit error"},
    {ExitCode::Network, "network_error", "network error"},
    {ExitCode::History, "history_error", "history error"},
    {ExitCode::Interrupted, "interrupted", "interrupted"},
    {ExitCode::Terminated, "interrupted", "interrupted"},
}};

constexpr std::string_view OutcomeWord(ExitCode code) {
  for (const OutcomeNames& row : kOutcomes)
    if (row.code == code) return row.word;
  return "unknown";
}

constexpr std::string_view OutcomeText(ExitCode code) {
  for (const OutcomeNames& row : kOutcomes)
    if (row.code == code) return row.text;
  return "unknown";
}

// With several targets the run's code is that of the first target, in the order given, that
// did not succeed: the same run always reports the same code.
template <typename Range>
ExitCode CombinedExitCode(const Range& codes) {
  for (ExitCode code : codes)
    if (code != ExitCode::Ok) return code;
  return ExitCode::Ok;
}

inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success (every target)\n"
    "  1  internal error\n"
    "  2  bad usage: arguments, invalid address, bad unit ID, duplicate targets,\n"
    "     a unit locked by another run\n"
    "  3  file error: image missing, unreadable, empty, not a regular file or not whole\n"
    "     records, or a read error during the run\n"
    "  4  no answer: capture time-out, programming watchdog, erase time-out,\n"
    "     reset or set-ip without a reply, no unit (or not the --id unit) answered\n"
    "  5  the unit reported an error: not in loader mode, record errors, refused request,\n"
    "     file not finished, reset refused, no valid program after the reset, capture\n"
    "     answered without loader mode (access code), refused records with --strict\n"
    "  6  network error: send failed, host cannot be resolved\n"
    "  7  history error: the history database cannot be opened, is not a uvq history\n"
    "     or has a newer schema; nothing was sent\n"
    "  130, 143  stopped by SIGINT (Ctrl-C) or SIGTERM; each unit's state is printed\n"
    "With several targets the code is that of the first target (in the order given)\n"
    "that failed.";

}  // namespace uvq::cli
