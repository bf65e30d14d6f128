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
std::string UnitLines(const std::vector<fleet::PlainTargetResult>& targets) {
  std::string text;
  for (const auto& s : targets) {
    for (const UnitSeen& unit : s.result.units) {
      text += s.name + "  unit " + unit.id + "  ip " + unit.ip + "  " +
              (protocol::RunsValidProgram(unit.status) ? "valid program" : "no valid program") +
              "  status " + StatusInWords(unit.status) + "\n";
    }
  }
  return text;
}

std::string ScanSummary(const std::vector<fleet::PlainTargetResult>& targets) {
  size_t units = 0;
  size_t answering = 0;
  for (const auto& s : targets) {
    units += s.result.units.size();
    if (!s.result.units.empty()) ++answering;
  }
  std::string text = UnitLines(targets);
  // Addresses that failed otherwise than by staying silent are worth a line each.
  for (const auto& s : targets) {
    const SessionResult& r = s.result;
    if (r.units.empty() && CodeOf(r) != ExitCode::NoAnswer && CodeOf(r) != ExitCode::Ok)
      text += s.name + ": " + Outcome(r) + "\n";
  }
  return text + std::to_string(units) + " units at " + std::to_string(answering) + " of " +
         std::to_string(targets.size()) + " addresses\n";
}

}  // namespace

std::string SummaryText(jobs::JobKind kind, const std::vector<fleet::PlainTargetResult>& targets) {
  if (kind == jobs::JobKind::Scan) return ScanSummary(targets);
  const bool programming = kind == jobs::JobKind::Program;
  char line[512];
  const std::string units = ListsUnits(kind) ? UnitLines(targets) : std::string();
  if (targets.size() == 1) {
    const SessionResult& r = targets.front().result;
    std::string text = targets.front().name + ": " + Outcome(r);
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
  for (const auto& s : targets) targetWidth = std::max(targetWidth, s.name.size());
  const int w = static_cast<int>(targetWidth);
  std::snprintf(line, sizeof line, "%-*s  %-4s  %9s  %7s  %8s  %9s  %s\n", w, "target", "unit",
                "records", "refused", "time s", "records/s", "result");
  std::string text = line;
  int ok = 0;
  for (const auto& s : targets) {
    const SessionResult& r = s.result;
    if (CodeOf(r) == ExitCode::Ok) ++ok;
    std::snprintf(line, sizeof line, "%-*s  %-4s  %9lld  %7llu  %8.2f  %9.0f  %s\n", w,
                  s.name.c_str(), r.unit.empty() ? "-" : r.unit.c_str(),
                  static_cast<long long>(r.records),
                  static_cast<unsigned long long>(r.refusedRecords), r.seconds, RecordsPerSecond(r),
                  Outcome(r).c_str());
    text += line;
  }
  const int failed = static_cast<int>(targets.size()) - ok;
  text += std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
  return units + text;
}

}  // namespace uvq::cli
