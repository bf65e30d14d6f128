#include "Output.h"

namespace uvq::cli {

Output::Output(std::FILE* stream, Mode mode, bool quiet, bool prefixTargets)
    : stream_(stream), mode_(mode), quiet_(quiet), prefixTargets_(prefixTargets) {}

void Output::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream_);
  dirty_ = true;
}

void Output::logLine(std::string_view target, std::string_view line) {
  if (quiet_) return;
  if (json()) {
    JsonLine fields;
    fields.field("line", line);
    event(target, "log", fields);
    return;
  }
  std::string out;
  out.reserve(line.size() + target.size() + 4);
  if (prefixTargets_) out.append("[").append(target).append("] ");
  out.append(line).append("\n");
  write(out);
}

void Output::event(std::string_view target, std::string_view name, const JsonLine& fields) {
  if (!json()) return;
  // Both objects are flat: splice the fields after the two leading ones.
  JsonLine head;
  head.field("target", target).field("event", name);
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
  write(text);
}

void Output::flush() {
  if (!dirty_) return;
  std::fflush(stream_);
  dirty_ = false;
}

}  // namespace uvq::cli
