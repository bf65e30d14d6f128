#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "JsonLine.h"
#include "ports/Ports.h"

namespace uvq::cli {

// Standard output of a run: the service's log lines (prefixed with the target when there are
// several), or one JSON object per line per event. Written through one buffer and flushed by the
// loop once per round, so a burst of lines costs one write.
class Output {
 public:
  enum class Mode { Text, Json };
  Output(std::FILE* stream, Mode mode, bool quiet, bool prefixTargets);

  Mode mode() const { return mode_; }
  bool json() const { return mode_ == Mode::Json; }
  bool quiet() const { return quiet_; }
  void logLine(std::string_view target, std::string_view line);
  // A JSON event; ignored in text mode. "target" and "event" come first.
  void event(std::string_view target, std::string_view name, const JsonLine& fields);
  // Text that is always shown, even with --quiet (results, summaries).
  void text(std::string_view text);
  void flush();

 private:
  void write(std::string_view text);

  std::FILE* stream_;
  Mode mode_;
  bool quiet_;
  bool prefixTargets_;
  bool dirty_ = false;
};

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
