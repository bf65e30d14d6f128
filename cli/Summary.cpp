// SPDX-License-Identifier: Apache-2.0
#include "Summary.h"

#include "reports/RunSummaryText.h"

namespace uvq::cli {

std::string SummaryText(jobs::JobKind kind, const std::vector<fleet::PlainTargetResult>& targets) {
  std::vector<reports::SummaryTarget> shown;
  shown.reserve(targets.size());
  for (const fleet::PlainTargetResult& t : targets) {
    const SessionResult& r = t.result;
    reports::SummaryTarget& s = shown.emplace_back();
    s.name = t.name;
    s.outcome = r.outcome;
    s.outcomeWords = std::string(OutcomeText(CodeOf(r)));
    s.detail = r.detail;
    s.unit = r.unit;
    s.records = r.records;
    s.refusedRecords = r.refusedRecords;
    s.seconds = r.seconds;
    for (const UnitSeen& unit : r.units) s.units.push_back({unit.id, unit.ip, unit.status});
  }
  return reports::RunSummaryText(kind, shown);
}

}  // namespace uvq::cli
