// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace uvq::cli {

// How the shell completes an option's value or an argument.
enum class Completion { Nothing, File, ImageFile, Host, Choices };

// Every option and argument of the command line, once: the source of --help, of the man
// page's sections and of the bash completion. `subcommand` is empty for the options taken
// before or after any subcommand; a row whose name does not start with '-' is a subcommand's
// argument. `value` names an option's value ("N", "FILE"); empty for a flag.
struct OptionRow {
  std::string_view subcommand;
  std::string_view names;  // as CLI11 takes them: "-q,--quiet", "--target", "FILE"
  std::string_view value;
  std::string_view help;
  Completion completion = Completion::Nothing;
  std::string_view choices;  // blank-separated, for Completion::Choices
  bool repeatable = false;   // an option with a value that may be given more than once
};

// Counted by the compiler: branches that add rows never meet at a size.
inline constexpr OptionRow kOptionRows[] = {
    {"", "--target", "HOST",
     "unit address or host name (repeatable); else UVQ_TARGET, a configuration file or uvq.INI",
     Completion::Host, "", true},
    {"", "--targets-file", "FILE",
     "file with one target per line, optionally followed by a unit ID; # comments",
     Completion::File, ""},
    {"", "--id", "ID", "address only the unit with this ID (hex) when several answer",
     Completion::Nothing, ""},
    {"", "--access-code", "CODE", "send a live reboot request with this code before capturing",
     Completion::Nothing, ""},
    {"", "--wait-ms", "N", "how long to wait for answers (default 1000)", Completion::Nothing, ""},
    {"", "--watchdog-ms", "N", "programming watchdog per record (default 5000)",
     Completion::Nothing, ""},
    {"", "--resends", "N", "resends of an unanswered record (default 4)", Completion::Nothing, ""},
    {"", "--capture-attempts", "N", "captures sent before giving up (default 150)",
     Completion::Nothing, ""},
    {"", "--capture-interval-ms", "N", "time between captures (default 500)", Completion::Nothing,
     ""},
    {"", "--erase-timeout-ms", "N", "how long to wait for an erase to be answered (default 20000)",
     Completion::Nothing, ""},
    {"", "--strict", "",
     "fail the run when the unit refused any record (loader overwrite, unsupported record "
     "type), which otherwise only counts them",
     Completion::Nothing, ""},
    {"", "--no-verify", "",
     "after programming and reset, do not locate the unit again to confirm it left loader "
     "mode with a valid program",
     Completion::Nothing, ""},
    {"", "--allow-partial-record", "", "send an image whose size is not a multiple of 24 bytes",
     Completion::Nothing, ""},
    {"", "--log", "FILE",
     "append one JSON line per unit and run to this file (image SHA-256, outcome)",
     Completion::File, ""},
    {"", "--json", "", "one JSON object per line per event", Completion::Nothing, ""},
    {"", "-q,--quiet", "", "no log lines and no progress", Completion::Nothing, ""},
    {"", "-v,--verbose", "", "also every reply's fields, one line each", Completion::Nothing, ""},
    {"", "--beep", "", "beep when programming completes", Completion::Nothing, ""},
    {"", "--config", "FILE",
     "read options from this INI file (default: $XDG_CONFIG_HOME/uvq/uvq.ini, then "
     "/etc/uvq/uvq.ini)",
     Completion::File, ""},
    {"", "--db", "DB",
     "history database: a SQLite file, a postgresql:// URL or libpq's \"host=... dbname=...\" "
     "(default $XDG_DATA_HOME/uvq/history.sqlite3; else UVQ_DB). A password here shows in "
     "process lists and shell history: give it through UVQ_DB, a configuration file of mode 0600 "
     "(db =, or the window's [History] Db=) or libpq's password file (~/.pgpass, PGPASSFILE)",
     Completion::File, ""},
    {"", "--no-history", "", "do not record this run in the history", Completion::Nothing, ""},
    {"", "--history", "on|off",
     "record runs in the history (for the configuration file: history = off)", Completion::Choices,
     "on off"},
    {"", "--station", "NAME", "the station name recorded in the history (default: the host name)",
     Completion::Nothing, ""},
    {"", "--version", "", "print the version and exit", Completion::Nothing, ""},
    {"", "-h,--help", "", "print this help and exit", Completion::Nothing, ""},
    {"program", "FILE", "", "image file (.cry)", Completion::ImageFile, ""},
    {"program", "--no-reset", "", "do not reset the unit after programming", Completion::Nothing,
     ""},
    {"erase", "WHAT", "", "what to erase: device, program or data", Completion::Choices,
     "device program data"},
    {"set-ip", "ADDRESS", "", "the new address, a.b.c.d", Completion::Nothing, ""},
    {"scan", "RANGE", "", "FIRST-LAST, e.g. 10.1.2.1-10.1.2.254", Completion::Nothing, ""},
    {"scan", "--rate", "N", "addresses asked per second (default 50)", Completion::Nothing, ""},
    {"history", "units", "",
     "units: each unit's latest known state instead of the operations; actions: the actions on "
     "rollouts, who did them, from where and when",
     Completion::Choices, "units actions"},
    {"history", "--unit", "ID", "only this unit ID (hex)", Completion::Nothing, ""},
    {"history", "--image", "FILE|SHA256", "only this image: a file (hashed) or a SHA-256",
     Completion::ImageFile, ""},
    {"history", "--outcome", "WORD", "only this outcome (ok, no_answer, ..., running, abandoned)",
     Completion::Choices,
     "ok internal_error bad_usage file_error no_answer unit_error network_error interrupted "
     "running abandoned"},
    {"history", "--operation", "OP", "only this operation (program, erase, reset, ...)",
     Completion::Choices, "program erase reset set-ip capture live-reboot locate status scan"},
    {"history", "--since", "TIME", "from this time on (UTC, or 7d, 12h, 30m back)",
     Completion::Nothing, ""},
    {"history", "--until", "TIME", "up to this time (UTC, or 7d, 12h, 30m back)",
     Completion::Nothing, ""},
    {"history", "--limit", "N", "at most this many rows (default 100; 0: all)", Completion::Nothing,
     ""},
    {"history", "--target", "ADDRESS", "only this target address", Completion::Nothing, ""},
    {"history", "--address", "ADDRESS",
     "only the unit at this address (with --unit: its whole history, also from before a set-ip "
     "moved it there)",
     Completion::Nothing, ""},
    {"history", "--station", "NAME", "only this station", Completion::Nothing, ""},
    {"history", "--rollout", "NAME", "only the attempts of this rollout", Completion::Nothing, ""},
    {"history", "--json", "", "one JSON object a line", Completion::Nothing, ""},
    {"history", "--csv", "", "CSV with a heading line", Completion::Nothing, ""},
    {"history", "--db", "DB", "the history database (as for every subcommand)", Completion::File,
     ""},
    {"history", "--flush", "", "move rows spooled while the database was unreachable into it",
     Completion::Nothing, ""},
    {"rollout", "ACTION", "",
     "create NAME IMAGE, run NAME, status NAME, list, pause|resume|cancel|approve NAME, skip NAME "
     "--target ADDR, retry NAME --failed",
     Completion::Choices, "create run status list pause resume cancel approve skip retry"},
    {"rollout", "NAME", "", "the rollout's name (printable, at most 64 bytes)", Completion::Nothing,
     ""},
    {"rollout", "IMAGE", "", "create: the image file (.cry), kept in the rollout with its SHA-256",
     Completion::ImageFile, ""},
    {"rollout", "--range", "A-B", "create: every address from A to B is a unit of the rollout",
     Completion::Nothing, ""},
    {"rollout", "--groups", "N",
     "create: this many groups of (nearly) equal size, in the order given", Completion::Nothing,
     ""},
    {"rollout", "--group-size", "K", "create: groups of K units, in the order given",
     Completion::Nothing, ""},
    {"rollout", "--success-threshold", "PCT",
     "create: share of a group that must succeed before the next starts (default 95)",
     Completion::Nothing, ""},
    {"rollout", "--error-threshold", "PCT",
     "create: share of a group whose failure stops the rollout at once (default 10)",
     Completion::Nothing, ""},
    {"rollout", "--retries", "N",
     "create: extra attempts after no answer or a communication time-out (default 0)",
     Completion::Nothing, ""},
    {"rollout", "--search-s", "S",
     "create: how long a unit that does not answer is searched for in one attempt before the "
     "attempt ends as no answer, stored with the rollout (default 20; 0: as long as the capture "
     "tries); run: this station's own, instead of the rollout's",
     Completion::Nothing, ""},
    {"rollout", "--parallel", "N", "run: units programmed at once (default 32, at most 1024)",
     Completion::Nothing, ""},
    {"rollout", "--lease-s", "S",
     "run: a claim runs out this long after the station's last renewal (default 60)",
     Completion::Nothing, ""},
    {"rollout", "--only-range", "A-B", "run: only the units whose address is from A to B",
     Completion::Nothing, ""},
    {"rollout", "--failed", "", "retry: put every failed unit back to pending", Completion::Nothing,
     ""},
    {"rollout", "--approve-groups", "",
     "create: each group after the first waits for `uvq rollout approve NAME` before any of its "
     "units is sent to",
     Completion::Nothing, ""},
    {"rollout", "--notify-url", "URL",
     "create: an http:// URL told by a POST when the rollout stops or finishes, or a station "
     "goes silent",
     Completion::Nothing, ""},
    {"rollout", "--accept-failures", "",
     "resume: go on after a stop by a threshold, the failures so far accepted", Completion::Nothing,
     ""},
    {"rollout", "--actor", "NAME",
     "the person or role recorded with the action (default: the user running uvq)",
     Completion::Nothing, ""},
    {"serve", "--listen", "HOST:PORT", "address and port of the dashboard (default 127.0.0.1:8080)",
     Completion::Nothing, ""},
    {"serve", "--allow-actions", "",
     "allow pause, resume, cancel, retry-failed and approve, with an operator's token",
     Completion::Nothing, ""},
    {"serve", "--token-file", "FILE",
     "file holding the dashboard's token, or lines 'NAME ROLE TOKEN' (ROLE viewer or operator) "
     "(mode 600)",
     Completion::File, ""},
    {"serve", "--db", "DB", "the history database (as for every subcommand)", Completion::File, ""},
    {"rollout", "--watch", "",
     "run: keep going while units are missing: ask their addresses again and program each unit "
     "as soon as it answers, until all are done or the run is stopped",
     Completion::Nothing, ""},
    {"rollout", "--ask-every-ms", "MS",
     "run --watch: a missing unit's address is asked again at most this often (default 2000)",
     Completion::Nothing, ""},
    {"rollout", "--exit-on-pause", "",
     "run: end (exit 8) once the rollout is paused and the units in flight finished, instead "
     "of waiting for the resume",
     Completion::Nothing, ""},
    {"station", "IMAGE", "",
     "the image file (.cry) every unit that appears receives once (not with --rollouts)",
     Completion::ImageFile, ""},
    {"station", "--range", "A-B", "the addresses of the jig, A to B (at most 4096)",
     Completion::Nothing, ""},
    {"station", "--parallel", "N", "units asked or programmed at once (default 32, at most 1024)",
     Completion::Nothing, ""},
    {"station", "--ask-every-ms", "MS", "each address is asked at most this often (default 2000)",
     Completion::Nothing, ""},
    {"station", "--rollouts", "",
     "instead of an image and a range: serve every running rollout of the database (those "
     "created or resumed later too) as `rollout run` does, until stopped",
     Completion::Nothing, ""},
    {"station", "--only-range", "A-B",
     "--rollouts: only the rollouts' units whose address is from A to B", Completion::Nothing, ""},
    {"station", "--lease-s", "S",
     "--rollouts: a claim runs out this long after the station's last renewal (default 60)",
     Completion::Nothing, ""},
    {"report", "WHAT", "", "rollout NAME: every unit of a rollout; units: the units programmed",
     Completion::Choices, "rollout units"},
    {"report", "NAME", "", "the rollout's name", Completion::Nothing, ""},
    {"report", "--image", "FILE|SHA256",
     "units: only the units that carry this image now: a file (hashed) or a SHA-256",
     Completion::ImageFile, ""},
    {"report", "--since", "TIME", "units: programmed from this time on (UTC, or 7d, 12h, 30m back)",
     Completion::Nothing, ""},
    {"report", "--until", "TIME", "units: programmed up to this time (UTC, or 7d, 12h, 30m back)",
     Completion::Nothing, ""},
    {"report", "--station", "NAME", "units: only attempts of this station", Completion::Nothing,
     ""},
    {"report", "--unit", "ID", "units: only this unit ID (hex)", Completion::Nothing, ""},
    {"report", "--target", "ADDRESS", "units: only the unit at this address", Completion::Nothing,
     ""},
    {"report", "--csv", "", "CSV with a heading line (the default)", Completion::Nothing, ""},
    {"report", "--json", "", "one JSON document: the heading, the totals and every unit",
     Completion::Nothing, ""},
    {"report", "--html", "", "a printable HTML page (A4), self-contained", Completion::Nothing, ""},
    {"report", "--db", "DB", "the history database (as for every subcommand)", Completion::File,
     ""},
    {"help", "TOPIC", "", "a subcommand, or exit-codes", Completion::Nothing, ""},
};

// The row of `longName` ("--watchdog-ms", "FILE") of `subcommand` ("" for the global ones);
// nullptr when the table has none.
const OptionRow* FindOptionRow(std::string_view subcommand, std::string_view longName);

// "--quiet" of "-q,--quiet"; "FILE" of "FILE".
std::string_view LongName(const OptionRow& row);

// One subcommand's arguments and own options, as the top-level help lists them:
// "program FILE [--no-reset]".
std::string SubcommandSynopsis(std::string_view subcommand);

// The bash completion script for uvq, made from the table at build time.
std::string BashCompletionScript();

// The man page's sections beyond --help (help2man include format): each subcommand with its
// arguments and options, the exit status and the files read.
std::string ManPageSections();

// The exit codes in words, for `uvq help exit-codes` and the man page.
std::string ExitCodeText();

}  // namespace uvq::cli
