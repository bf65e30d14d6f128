// SPDX-License-Identifier: Apache-2.0
#include "CommandTable.h"

#include <algorithm>
#include <vector>

#include "CliOptions.h"
#include "ExitCode.h"

namespace uvq::cli {
namespace {

bool IsArgument(const OptionRow& row) {
  return !row.names.starts_with('-');
}

// The arguments that may be left out: help's topic, history's `units`, report's rollout NAME.
bool OptionalArgument(const OptionRow& row) {
  return row.subcommand == "help" || row.subcommand == "history" ||
         (row.subcommand == "report" && row.names == "NAME");
}

std::vector<std::string_view> Subcommands() {
  std::vector<std::string_view> names;
  for (const JobSubcommand& row : kJobSubcommands) names.push_back(jobs::KindName(row.kind));
  names.push_back("history");
  names.push_back("rollout");
  names.push_back("report");
  names.push_back("serve");
  names.push_back("station");
  names.push_back("help");
  return names;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Options of `subcommand` (global ones for ""), long names only.
std::vector<std::string> OptionNames(std::string_view subcommand) {
  std::vector<std::string> names;
  for (const OptionRow& row : kOptionRows)
    if (row.subcommand == subcommand && !IsArgument(row)) names.emplace_back(LongName(row));
  return names;
}

// "--watchdog-ms" for roff: every '-' escaped.
std::string Roff(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '-' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// The first row of each long name decides how its value is completed: a subcommand's row of the
// same name as a global option (history's --target) completes as the global one.
bool FirstOfItsName(const OptionRow& row) {
  for (const OptionRow& other : kOptionRows) {
    if (&other == &row) return true;
    if (!IsArgument(other) && LongName(other) == LongName(row)) return false;
  }
  return true;
}

std::string ValueCases(Completion kind) {
  std::vector<std::string> names;
  for (const OptionRow& row : kOptionRows)
    if (!IsArgument(row) && !row.value.empty() && row.completion == kind && FirstOfItsName(row))
      names.emplace_back(LongName(row));
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " | ") + name;
  return text;
}

}  // namespace

const OptionRow* FindOptionRow(std::string_view subcommand, std::string_view longName) {
  for (const OptionRow& row : kOptionRows)
    if (row.subcommand == subcommand && LongName(row) == longName) return &row;
  return nullptr;
}

std::string_view LongName(const OptionRow& row) {
  const size_t comma = row.names.rfind(',');
  return comma == std::string_view::npos ? row.names : row.names.substr(comma + 1);
}

std::string SubcommandSynopsis(std::string_view subcommand) {
  std::string text(subcommand);
  for (const OptionRow& row : kOptionRows) {
    if (row.subcommand != subcommand) continue;
    if (IsArgument(row))
      text.append(OptionalArgument(row) ? " [" : " ")
          .append(row.names)
          .append(OptionalArgument(row) ? "]" : "");
    else
      text += " [" + std::string(LongName(row)) + (row.value.empty() ? "" : " ") +
              std::string(row.value) + "]";
  }
  return text;
}

std::string ExitCodeText() {
  return ExitCodeHelp();
}

std::string BashCompletionScript() {
  std::string valued;
  for (const OptionRow& row : kOptionRows)
    if (!IsArgument(row) && !row.value.empty() && FirstOfItsName(row))
      valued += std::string(valued.empty() ? "" : "|") + std::string(LongName(row));
  std::string subcommands;
  for (std::string_view name : Subcommands())
    subcommands += std::string(subcommands.empty() ? "" : " ") + std::string(name);

  std::string script =
      "# bash completion for uvq, the command line of the UVQ Ethernet loader  -*- shell-script "
      "-*-\n"
      "# Made from uvq's table of subcommands and options when uvq is built; do not edit.\n\n"
      "_uvq_files()\n{\n"
      "    if declare -F _filedir >/dev/null; then\n"
      "        _filedir \"$@\"\n"
      "    else\n"
      "        compopt -o filenames 2>/dev/null\n"
      "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "    fi\n}\n\n"
      "_uvq()\n{\n"
      "    local cur prev words cword split=false\n"
      "    if declare -F _init_completion >/dev/null; then\n"
      "        _init_completion -s || return\n"
      "    else\n"
      "        cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
      "        words=(\"${COMP_WORDS[@]}\") cword=$COMP_CWORD\n"
      "    fi\n\n"
      "    case $prev in\n";
  if (const std::string files = ValueCases(Completion::File); !files.empty())
    script += "        " + files + ") _uvq_files; return ;;\n";
  if (const std::string hosts = ValueCases(Completion::Host); !hosts.empty())
    script += "        " + hosts + ") COMPREPLY=($(compgen -A hostname -- \"$cur\")); return ;;\n";
  if (const std::string other = ValueCases(Completion::Nothing); !other.empty())
    script += "        " + other + ") return ;;\n";
  script +=
      "    esac\n"
      "    $split && return\n\n"
      "    # The subcommand is the first word that is neither an option nor an option's value.\n"
      "    local i subcommand='' positionals=0\n"
      "    for ((i = 1; i < cword; i++)); do\n"
      "        if [[ ${words[i]} == @(" +
      valued +
      ") ]]; then\n"
      "            ((i++))\n"
      "        elif [[ ${words[i]} == -* ]]; then\n"
      "            :\n"
      "        elif [[ -z $subcommand ]]; then\n"
      "            subcommand=${words[i]}\n"
      "        else\n"
      "            ((positionals++))\n"
      "        fi\n"
      "    done\n\n"
      "    if [[ $cur == -* ]]; then\n"
      "        local options='" +
      Joined(OptionNames("")) +
      "'\n"
      "        case $subcommand in\n";
  const std::vector<std::string> global = OptionNames("");
  for (std::string_view name : Subcommands()) {
    std::vector<std::string> own;  // beside the global ones, which are offered already
    for (std::string& option : OptionNames(name))
      if (std::find(global.begin(), global.end(), option) == global.end())
        own.push_back(std::move(option));
    if (!own.empty())
      script += "            " + std::string(name) + ") options+=' " + Joined(own) + "' ;;\n";
  }
  script +=
      "        esac\n"
      "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      "        return\n"
      "    fi\n"
      "    case $subcommand in\n"
      "        '') COMPREPLY=($(compgen -W '" +
      subcommands + "' -- \"$cur\")) ;;\n";
  for (std::string_view name : Subcommands()) {
    int position = 0;
    for (const OptionRow& row : kOptionRows) {
      if (row.subcommand != name || !IsArgument(row)) continue;
      std::string action;
      if (row.completion == Completion::ImageFile)
        action = "_uvq_files '@(cry|CRY)'";
      else if (row.completion == Completion::File)
        action = "_uvq_files";
      else if (row.completion == Completion::Choices)
        action = "COMPREPLY=($(compgen -W '" + std::string(row.choices) + "' -- \"$cur\"))";
      else if (name == "help")
        action = "COMPREPLY=($(compgen -W '" + subcommands + " exit-codes' -- \"$cur\"))";
      if (!action.empty())
        script += "        " + std::string(name) +
                  ") ((positionals == " + std::to_string(position) + ")) && " + action + " ;;\n";
      ++position;
    }
  }
  script +=
      "    esac\n"
      "    return 0\n"
      "} &&\n"
      "    complete -F _uvq uvq\n";
  return script;
}

std::string ManPageSections() {
  std::string text = "[SUBCOMMANDS]\n";
  for (std::string_view name : Subcommands()) {
    text += ".TP\n\\fB" + Roff(name) + "\\fR";
    for (const OptionRow& row : kOptionRows)
      if (row.subcommand == name && IsArgument(row))
        text += OptionalArgument(row) ? " [\\fI" + Roff(row.names) + "\\fR]"
                                      : " \\fI" + Roff(row.names) + "\\fR";
    text += "\n";
    for (const JobSubcommand& row : kJobSubcommands)
      if (jobs::KindName(row.kind) == name) text += Roff(row.help) + "\n";
    if (name == "help") text += "show the help of uvq, of a subcommand, or the exit codes\n";
    if (name == "rollout")
      text +=
          "one image for many units in groups with thresholds, resumed after any stop and "
          "shared by several stations\n";
    if (name == "history")
      text +=
          "show what was done to which unit, newest first, or each unit's latest state "
          "(units); --flush moves rows spooled while the database was unreachable into it\n";
    if (name == "report")
      text +=
          "each unit's final state for sign-off (UVQ ID, address, image SHA-256 and path, "
          "outcome, last status, station, attempts, time of the final attempt): every unit of a "
          "rollout, or the units programmed in a time, as CSV, JSON or a printable HTML page\n";
    if (name == "serve")
      text +=
          "a web dashboard of the rollouts and the history, read-only unless "
          "--allow-actions\n";
    if (name == "station")
      text +=
          "the production jig: every unit that appears in the address range and has not yet "
          "received the image is programmed, until SIGINT or SIGTERM\n";
    for (const OptionRow& row : kOptionRows) {
      if (row.subcommand != name) continue;
      text += ".RS\n.TP\n";
      text += IsArgument(row) ? "\\fI" + Roff(row.names) + "\\fR"
                              : "\\fB" + Roff(LongName(row)) + "\\fR" +
                                    (row.value.empty() ? "" : " \\fI" + Roff(row.value) + "\\fR");
      text += "\n";
      text += Roff(row.help);
      text += "\n.RE\n";
    }
  }
  text += "\n[EXIT STATUS]\n.nf\n" + Roff(ExitCodeText()) + "\n.fi\n";
  text +=
      "\n[FILES]\n"
      ".TP\n\\fI$XDG_CONFIG_HOME/uvq/uvq.ini\\fR (\\fI~/.config/uvq/uvq.ini\\fR when unset)\n"
      "options, read when \\fB\\-\\-config\\fR is not given: key = an option's long name "
      "without dashes, a subcommand's options in a section named after it; the window's "
      "\\fB[Net]\\fR \\fBAddress=\\fR names the target. An unknown section or key is an "
      "error (exit 2).\n"
      ".TP\n\\fI/etc/uvq/uvq.ini\\fR\n"
      "the same, for every user, when the user has none.\n"
      ".TP\n\\fIuvq.INI\\fR beside the executable\n"
      "the window's settings; its \\fB[Net]\\fR \\fBAddress=\\fR is the target when no other "
      "is given.\n"
      ".TP\n\\fIexamples/uvq.ini\\fR in the package's folder under \\fI/usr/share/doc\\fR\n"
      "a commented example of the configuration file.\n";
  return text;
}

}  // namespace uvq::cli
