// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "ports/Ports.h"
#include "reports/JsonLine.h"

namespace uvq::cli {

using reports::JsonLine;

// How much a run prints: -q, the default, -v.
enum class Verbosity { Quiet = -1, Normal = 0, Verbose = 1 };

// Standard output of a run: the service's log lines (prefixed with the target when there are
// several), or one JSON object per line per event, each with its time. Written through one
// buffer and flushed by the loop once per round, so a burst of lines costs one write.
// Results go to standard output, errors to standard error. A reader that goes away (EPIPE) only
// ends the writing to standard output: the run itself goes on and ends with its exit code.
class Output {
 public:
  enum class Mode { Text, Json };
  Output(std::FILE* stream, Mode mode, Verbosity verbosity, bool prefixTargets,
         std::FILE* errors = stderr);
  Output(std::FILE* stream, Mode mode, bool quiet, bool prefixTargets)
      : Output(stream, mode, quiet ? Verbosity::Quiet : Verbosity::Normal, prefixTargets) {}

  Mode mode() const { return mode_; }
  bool json() const { return mode_ == Mode::Json; }
  bool quiet() const { return verbosity_ == Verbosity::Quiet; }
  Verbosity verbosity() const { return verbosity_; }
  void logLine(std::string_view target, std::string_view line);
  // A JSON event; in text mode shown as a line only with -v (replies, loader mode), never the
  // result, which the summary shows.
  void event(std::string_view target, std::string_view name, const JsonLine& fields);
  // Text that is always shown, even with --quiet (results, summaries).
  void text(std::string_view text);
  // A failure, on standard error as "uvq: [TARGET] LINE" whatever the mode.
  void error(std::string_view target, std::string_view line);
  void flush();
  // Called before anything is written to a terminal line: the progress bar clears itself.
  void setBeforeLine(std::function<void()> hook) { beforeLine_ = std::move(hook); }
  // Standard output's reader went away; nothing more is written there.
  bool closed() const { return closed_; }

 private:
  void write(std::string_view text);
  void noteWriteError();

  std::FILE* stream_;
  Mode mode_;
  Verbosity verbosity_;
  bool prefixTargets_;
  std::FILE* errors_;
  std::function<void()> beforeLine_;
  bool dirty_ = false;
  bool closed_ = false;
};

// "2026-12-07T10:15:30.123Z": the time of an event, UTC.
std::string IsoTimeUtc();

// The service's log port for one target.
class TargetLog final : public Log {
 public:
  TargetLog(Output& output, std::string target) : output_(output), target_(std::move(target)) {}
  void addLogLine(std::string_view line) override { output_.logLine(target_, line); }

 private:
  Output& output_;
  std::string target_;
};

}  // namespace uvq::cli
