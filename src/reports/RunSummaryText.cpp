// SPDX-License-Identifier: Apache-2.0
#include "reports/RunSummaryText.h"

#include <algorithm>
#include <cstdio>

#include "jobs/StatusText.h"
#include "protocol/StatusFlags.h"

namespace uvq::reports {
namespace {

double RecordsPerSecond(const SummaryTarget& t) {
  return t.seconds > 0 ? static_cast<double>(t.records) / t.seconds : 0.0;
}

// One line per unit that answered: where, who, its status in words and whether it holds a
// program it can run.
std::string UnitLines(const std::vector<SummaryTarget>& targets) {
  std::string text;
  for (const SummaryTarget& t : targets) {
    for (const SummaryUnit& unit : t.units) {
      text += t.name + "  unit " + unit.id + "  ip " + unit.ip + "  " +
              (protocol::RunsValidProgram(unit.status) ? "valid program" : "no valid program") +
              "  status " + jobs::StatusInWords(unit.status) + "\n";
    }
  }
  return text;
}

std::string ScanSummary(const std::vector<SummaryTarget>& targets) {
  size_t units = 0;
  size_t answering = 0;
  for (const SummaryTarget& t : targets) {
    units += t.units.size();
    if (!t.units.empty()) ++answering;
  }
  std::string text = UnitLines(targets);
  // Addresses that failed otherwise than by staying silent are worth a line each.
  for (const SummaryTarget& t : targets) {
    if (t.units.empty() && t.outcome != jobs::JobOutcome::NoAnswer &&
        t.outcome != jobs::JobOutcome::Ok)
      text += t.name + ": " + OutcomeLine(t) + "\n";
  }
  return text + std::to_string(units) + " units at " + std::to_string(answering) + " of " +
         std::to_string(targets.size()) + " addresses\n";
}

}  // namespace

std::string OutcomeLine(const SummaryTarget& target) {
  std::string text = target.outcomeWords;
  if (target.detail.starts_with(text)) return target.detail;  // "interrupted after ..."
  if (!target.detail.empty()) text += " - " + target.detail;
  return text;
}

std::string RunSummaryText(jobs::JobKind kind, const std::vector<SummaryTarget>& targets) {
  if (kind == jobs::JobKind::Scan) return ScanSummary(targets);
  const bool programming = kind == jobs::JobKind::Program;
  char line[512];
  const std::string units = jobs::ChangesUnit(kind) ? std::string() : UnitLines(targets);
  if (targets.size() == 1) {
    const SummaryTarget& t = targets.front();
    std::string text = t.name + ": " + OutcomeLine(t);
    if (!t.unit.empty()) text += " (unit " + t.unit + ")";
    if (programming && t.records > 0) {
      std::snprintf(line, sizeof line, ", %lld records in %.2f s, %.0f records/s",
                    static_cast<long long>(t.records), t.seconds, RecordsPerSecond(t));
      text += line;
    }
    if (programming && t.refusedRecords > 0)
      text += ", " + std::to_string(t.refusedRecords) + " refused by the unit";
    return units + text + "\n";
  }

  size_t targetWidth = 6;
  for (const SummaryTarget& t : targets) targetWidth = std::max(targetWidth, t.name.size());
  // Names and outcomes are appended whole: a long name or detail is never cut, nor the line's end.
  const auto padded = [](std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
  };
  std::snprintf(line, sizeof line, "  %-4s  %9s  %7s  %8s  %9s  %s\n", "unit", "records", "refused",
                "time s", "records/s", "result");
  std::string text = padded("target", targetWidth) + line;
  int ok = 0;
  for (const SummaryTarget& t : targets) {
    if (t.outcome == jobs::JobOutcome::Ok) ++ok;
    std::snprintf(
        line, sizeof line, "  %9lld  %7llu  %8.2f  %9.0f  ", static_cast<long long>(t.records),
        static_cast<unsigned long long>(t.refusedRecords), t.seconds, RecordsPerSecond(t));
    text += padded(t.name, targetWidth) + "  " + padded(t.unit.empty() ? "-" : t.unit, 4) + line +
            OutcomeLine(t) + "\n";
  }
  const int failed = static_cast<int>(targets.size()) - ok;
  text += std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
  return units + text;
}

}  // namespace uvq::reports
