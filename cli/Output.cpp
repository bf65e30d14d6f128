// SPDX-License-Identifier: Apache-2.0
#include "Output.h"

#include "reports/TerminalText.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace uvq::cli {

std::string IsoTimeUtc() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

Output::Output(std::FILE* stream, Mode mode, Verbosity verbosity, bool prefixTargets,
               std::FILE* errors)
    : stream_(stream),
      mode_(mode),
      verbosity_(verbosity),
      prefixTargets_(prefixTargets),
      errors_(errors) {}

void Output::noteWriteError() {
  // EPIPE (SIGPIPE is ignored): the reader is gone. Any other error ends the output the same
  // way, so one broken stream never stops a run that is flashing units.
  if (closed_) return;
  closed_ = true;
  std::clearerr(stream_);
  if (errno != EPIPE && errors_)
    std::fprintf(errors_, "uvq: standard output: %s; output stopped\n", std::strerror(errno));
}

void Output::write(std::string_view text) {
  if (closed_) return;
  if (beforeLine_) beforeLine_();
  if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size()) return noteWriteError();
  dirty_ = true;
}

void Output::logLine(std::string_view target, std::string_view line) {
  if (quiet()) return;
  if (json()) {
    JsonLine fields;
    fields.field("line", line);
    event(target, "log", fields);
    return;
  }
  std::string out;
  out.reserve(line.size() + target.size() + 4);
  if (prefixTargets_) out.append("[").append(reports::Escaped(target)).append("] ");
  out.append(reports::Escaped(line)).append("\n");
  write(out);
}

void Output::event(std::string_view target, std::string_view name, const JsonLine& fields) {
  if (!json()) {
    if (verbosity_ < Verbosity::Verbose || name == "result" || name == "progress") return;
    std::string out;
    if (prefixTargets_) out.append("[").append(reports::Escaped(target)).append("] ");
    out.append(name).append(" ").append(reports::Escaped(fields.text())).append("\n");
    write(out);
    return;
  }
  // Both objects are flat: splice the fields after the leading ones.
  JsonLine head;
  head.field("time", IsoTimeUtc()).field("target", target).field("event", name);
  std::string line = head.text();
  const std::string rest = fields.text();
  if (rest.size() > 2) {
    line.pop_back();
    line += ',';
    line.append(rest, 1, std::string::npos);
  }
  line += '\n';
  write(line);
}

void Output::text(std::string_view text) {
  write(reports::Escaped(text, true));
}

void Output::error(std::string_view target, std::string_view line) {
  if (!errors_) return;
  if (beforeLine_) beforeLine_();
  std::string out = "uvq: ";
  if (prefixTargets_ && !target.empty())
    out.append("[").append(reports::Escaped(target)).append("] ");
  out.append(reports::Escaped(line)).append("\n");
  std::fwrite(out.data(), 1, out.size(), errors_);
  std::fflush(errors_);
}

void Output::flush() {
  if (!dirty_ || closed_) return;
  dirty_ = false;
  if (std::fflush(stream_) != 0) noteWriteError();
}

}  // namespace uvq::cli
