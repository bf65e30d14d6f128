// SPDX-License-Identifier: Apache-2.0
#include "reports/UnitReport.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "reports/RecordJson.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

namespace {

using history::OperationRow;

history::UtcMillis AttemptTime(const OperationRow& row) {
  return row.endedAt.value_or(row.startedAt);
}

// The unit's address: where it is now (after a set-ip too), else where it answered.
std::string AddressOf(const OperationRow& row) {
  if (!row.unitAddress.empty()) return row.unitAddress;
  return row.reportedAddress.empty() ? row.target : row.reportedAddress;
}

// Whether a history row is an attempt on the rollout's unit: sent to its target, and by the unit
// named (a row written before any unit answered names none).
bool AttemptOn(const OperationRow& row, const rollouts::RolloutUnit& unit) {
  return row.target == unit.target &&
         (unit.unitId.empty() || row.unitId.empty() || row.unitId == unit.unitId);
}

std::string RolloutOutcome(const rollouts::RolloutUnit& unit) {
  switch (unit.progress) {
    case rollouts::UnitProgress::Ok:
      return "ok";
    case rollouts::UnitProgress::Failed:
      return unit.outcome.empty() ? "failed" : unit.outcome;
    case rollouts::UnitProgress::Pending:
    case rollouts::UnitProgress::Running:
    case rollouts::UnitProgress::Skipped:
      break;
  }
  return std::string(rollouts::UnitProgressName(unit.progress));
}

}  // namespace

ReportTotals UnitReport::totals() const {
  ReportTotals totals;
  for (const UnitReportRow& row : rows) {
    ++totals.units;
    if (row.outcome == "ok")
      ++totals.ok;
    else if (row.outcome == "pending" || row.outcome == "running" || row.outcome == "abandoned")
      ++totals.pending;
    else if (row.outcome == "skipped")
      ++totals.skipped;
    else
      ++totals.failed;
  }
  return totals;
}

history::HistoryFilter RolloutAttemptsFilter(const std::string& name) {
  history::HistoryFilter filter;
  filter.rollout = name;
  filter.limit = 0;
  return filter;
}

UnitReport RolloutReportOf(const rollouts::RolloutSummary& summary,
                           const std::vector<rollouts::RolloutUnit>& units,
                           const std::vector<OperationRow>& attempts, history::UtcMillis now) {
  UnitReport report;
  report.kind = "rollout";
  report.subject = summary.name;
  report.generatedAt = now;
  report.facts = {"image " + summary.imagePath + " (SHA-256 " + summary.imageSha256 + ", " +
                      std::to_string(summary.imageBytes) + " bytes)",
                  "created " + history::MillisIsoUtc(summary.createdAt) + ", state " +
                      std::string(rollouts::RolloutStateName(summary.state))};
  // Newest first: the first row found for a unit is its final attempt.
  std::map<std::string, std::vector<const OperationRow*>> byTarget;
  for (const OperationRow& row : attempts)
    if (row.rollout == summary.name) byTarget[row.target].push_back(&row);

  for (const rollouts::RolloutUnit& unit : units) {
    UnitReportRow row;
    row.unitId = unit.unitId;
    row.address = unit.target;
    row.imagePath = summary.imagePath;
    row.imageSha256 = summary.imageSha256;
    row.outcome = RolloutOutcome(unit);
    row.status = unit.status;
    row.station = unit.station;
    row.attempts = unit.attempts;
    if (const auto rows = byTarget.find(unit.target); rows != byTarget.end()) {
      const auto final = std::find_if(rows->second.begin(), rows->second.end(),
                                      [&](const OperationRow* r) { return AttemptOn(*r, unit); });
      if (final != rows->second.end()) {
        row.finalAttemptAt = AttemptTime(**final);
        if (row.unitId.empty()) row.unitId = (*final)->unitId;
        if (row.station.empty()) row.station = (*final)->station;
      }
    }
    report.rows.push_back(std::move(row));
  }
  return report;
}

std::optional<UnitReport> RolloutReport(history::HistoryStore& history,
                                        rollouts::RolloutStore& rollouts, const std::string& name,
                                        history::UtcMillis now) {
  const std::optional<rollouts::RolloutStatus> status = rollouts.status(name);
  if (!status) return std::nullopt;
  return RolloutReportOf(status->summary, rollouts.units(name, 0, std::numeric_limits<int>::max()),
                         history.query(RolloutAttemptsFilter(name)), now);
}

history::HistoryFilter UnitsAttemptsFilter(const UnitsReportFilter& filter) {
  history::HistoryFilter attempts;
  attempts.operation = "program";
  attempts.since = filter.since;
  attempts.until = filter.until;
  attempts.station = filter.station;
  attempts.unitId = filter.unitId;
  attempts.limit = 0;
  return attempts;
}

std::optional<history::HistoryFilter> CarriersFilter(const UnitsReportFilter& filter) {
  if (filter.image.empty()) return std::nullopt;
  history::HistoryFilter carrying;
  carrying.image = filter.image;
  carrying.unitId = filter.unitId;
  carrying.limit = 0;
  return carrying;
}

UnitReport UnitsReportOf(const UnitsReportFilter& filter, const std::vector<OperationRow>& attempts,
                         const std::optional<std::vector<history::UnitState>>& carrierStates,
                         history::UtcMillis now) {
  UnitReport report;
  report.kind = "units";
  report.subject = FilterInWords(filter);
  report.generatedAt = now;
  // With an image: the units that carry it now (programmed with it, not erased nor programmed
  // with another since), each by its ID at its address.
  std::optional<std::set<std::pair<std::string, std::string>>> carriers;
  if (carrierStates) {
    carriers.emplace();
    for (const history::UnitState& unit : *carrierStates)
      carriers->emplace(unit.unitId, unit.address);
  }
  // Newest first: a unit's first row is its final attempt.
  std::map<std::pair<std::string, std::string>, UnitReportRow> units;
  for (const OperationRow& attempt : attempts) {
    if (attempt.operation != "program") continue;
    std::pair<std::string, std::string> key{attempt.unitId, AddressOf(attempt)};
    if (!filter.address.empty() && key.second != filter.address) continue;
    if (carriers && !carriers->contains(key)) continue;
    auto [at, first] = units.try_emplace(key);
    UnitReportRow& row = at->second;
    ++row.attempts;
    if (!first) continue;
    row.unitId = key.first;
    row.address = key.second;
    row.imagePath = attempt.imagePath;
    row.imageSha256 = attempt.imageSha256;
    row.outcome = ShownOutcome(attempt);
    row.status = attempt.finalStatus;
    row.station = attempt.station;
    row.finalAttemptAt = AttemptTime(attempt);
  }
  for (auto& [key, row] : units) report.rows.push_back(std::move(row));
  return report;
}

UnitReport UnitsReport(history::HistoryStore& history, const UnitsReportFilter& filter,
                       history::UtcMillis now) {
  std::optional<std::vector<history::UnitState>> carriers;
  if (const auto carrying = CarriersFilter(filter)) carriers = history.units(*carrying);
  return UnitsReportOf(filter, history.query(UnitsAttemptsFilter(filter)), carriers, now);
}

std::string FilterInWords(const UnitsReportFilter& filter) {
  std::vector<std::string> parts;
  if (!filter.image.empty()) parts.push_back("carrying image " + filter.image);
  if (!filter.unitId.empty()) parts.push_back("unit " + filter.unitId);
  if (!filter.address.empty()) parts.push_back("at " + filter.address);
  if (!filter.station.empty()) parts.push_back("station " + filter.station);
  if (filter.since) parts.push_back("since " + history::MillisIsoUtc(*filter.since));
  if (filter.until) parts.push_back("until " + history::MillisIsoUtc(*filter.until));
  std::string words = "units programmed";
  for (size_t i = 0; i < parts.size(); ++i) words += (i ? ", " : ": ") + parts[i];
  return words;
}

}  // namespace uvq::reports
