#include "Summary.h"

#include <algorithm>
#include <cstdio>

namespace uvq::cli {
namespace {

double RecordsPerSecond(const SessionResult& r) {
  return r.seconds > 0 ? static_cast<double>(r.records) / r.seconds : 0.0;
}

std::string Outcome(const SessionResult& r) {
  std::string text(OutcomeText(r.code));
  if (!r.detail.empty()) text += " - " + r.detail;
  return text;
}

}  // namespace

std::string SummaryText(Operation operation,
                        const std::vector<std::unique_ptr<Session>>& sessions) {
  const bool programming = operation == Operation::Program;
  char line[512];
  if (sessions.size() == 1) {
    const Session& s = *sessions.front();
    const SessionResult& r = s.result();
    std::string text = s.target() + ": " + Outcome(r);
    if (!r.unit.empty()) text += " (unit " + r.unit + ")";
    if (programming && r.records > 0) {
      std::snprintf(line, sizeof line, ", %lld records in %.2f s, %.0f records/s",
                    static_cast<long long>(r.records), r.seconds, RecordsPerSecond(r));
      text += line;
    }
    return text + "\n";
  }

  size_t targetWidth = 6;
  for (const auto& s : sessions) targetWidth = std::max(targetWidth, s->target().size());
  const int w = static_cast<int>(targetWidth);
  std::snprintf(line, sizeof line, "%-*s  %-4s  %9s  %8s  %9s  %s\n", w, "target", "unit",
                "records", "time s", "records/s", "result");
  std::string text = line;
  int ok = 0;
  for (const auto& s : sessions) {
    const SessionResult& r = s->result();
    if (r.code == ExitCode::Ok) ++ok;
    std::snprintf(line, sizeof line, "%-*s  %-4s  %9lld  %8.2f  %9.0f  %s\n", w,
                  s->target().c_str(), r.unit.empty() ? "-" : r.unit.c_str(),
                  static_cast<long long>(r.records), r.seconds, RecordsPerSecond(r),
                  Outcome(r).c_str());
    text += line;
  }
  const int failed = static_cast<int>(sessions.size()) - ok;
  text += std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
  return text;
}

}  // namespace uvq::cli
