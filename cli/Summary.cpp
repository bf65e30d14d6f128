// SPDX-License-Identifier: Apache-2.0
#include "Summary.h"

#include <algorithm>
#include <cstdio>

#include "StatusText.h"
#include "protocol/StatusFlags.h"

namespace uvq::cli {
namespace {

double RecordsPerSecond(const SessionResult& r) {
  return r.seconds > 0 ? static_cast<double>(r.records) / r.seconds : 0.0;
}

std::string Outcome(const SessionResult& r) {
  std::string text(OutcomeText(CodeOf(r)));
  if (r.detail.starts_with(text)) return r.detail;  // "interrupted after ..." says it already
  if (!r.detail.empty()) text += " - " + r.detail;
  return text;
}

bool ListsUnits(jobs::JobKind kind) {
  return !jobs::ChangesUnit(kind);
}

// One line per unit that answered: where, who, its status in words and whether it holds a
// program it can run.
std::string UnitLines(const std::vector<std::unique_ptr<Session>>& sessions) {
  std::string text;
  for (const auto& s : sessions) {
    for (const UnitSeen& unit : s->result().units) {
      text += s->target() + "  unit " + unit.id + "  ip " + unit.ip + "  " +
              (protocol::RunsValidProgram(unit.status) ? "valid program" : "no valid program") +
              "  status " + StatusInWords(unit.status) + "\n";
    }
  }
  return text;
}

std::string ScanSummary(const std::vector<std::unique_ptr<Session>>& sessions) {
  size_t units = 0;
  size_t answering = 0;
  for (const auto& s : sessions) {
    units += s->result().units.size();
    if (!s->result().units.empty()) ++answering;
  }
  std::string text = UnitLines(sessions);
  // Addresses that failed otherwise than by staying silent are worth a line each.
  for (const auto& s : sessions) {
    const SessionResult& r = s->result();
    if (r.units.empty() && CodeOf(r) != ExitCode::NoAnswer && CodeOf(r) != ExitCode::Ok)
      text += s->target() + ": " + Outcome(r) + "\n";
  }
  return text + std::to_string(units) + " units at " + std::to_string(answering) + " of " +
         std::to_string(sessions.size()) + " addresses\n";
}

}  // namespace

std::string SummaryText(jobs::JobKind kind, const std::vector<std::unique_ptr<Session>>& sessions) {
  if (kind == jobs::JobKind::Scan) return ScanSummary(sessions);
  const bool programming = kind == jobs::JobKind::Program;
  char line[512];
  const std::string units = ListsUnits(kind) ? UnitLines(sessions) : std::string();
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
    if (programming && r.refusedRecords > 0)
      text += ", " + std::to_string(r.refusedRecords) + " refused by the unit";
    return units + text + "\n";
  }

  size_t targetWidth = 6;
  for (const auto& s : sessions) targetWidth = std::max(targetWidth, s->target().size());
  const int w = static_cast<int>(targetWidth);
  std::snprintf(line, sizeof line, "%-*s  %-4s  %9s  %7s  %8s  %9s  %s\n", w, "target", "unit",
                "records", "refused", "time s", "records/s", "result");
  std::string text = line;
  int ok = 0;
  for (const auto& s : sessions) {
    const SessionResult& r = s->result();
    if (CodeOf(r) == ExitCode::Ok) ++ok;
    std::snprintf(line, sizeof line, "%-*s  %-4s  %9lld  %7llu  %8.2f  %9.0f  %s\n", w,
                  s->target().c_str(), r.unit.empty() ? "-" : r.unit.c_str(),
                  static_cast<long long>(r.records),
                  static_cast<unsigned long long>(r.refusedRecords), r.seconds, RecordsPerSecond(r),
                  Outcome(r).c_str());
    text += line;
  }
  const int failed = static_cast<int>(sessions.size()) - ok;
  text += std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
  return units + text;
}

}  // namespace uvq::cli
