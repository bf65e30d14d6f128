// SPDX-License-Identifier: Apache-2.0
#include "reports/RecordJson.h"

#include <algorithm>

#include "jobs/StatusText.h"
#include "protocol/StatusFlags.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

using nlohmann::json;

namespace {

json Text(const std::string& text) {
  return Utf8OrHexBytes(text);
}

json Time(history::UtcMillis millis) {
  return history::MillisIsoUtc(millis);
}

template <typename T>
json TimeOrNull(const std::optional<T>& millis) {
  return millis ? Time(*millis) : json(nullptr);
}

// Groups are kept from 0 and shown from 1.
int ShownGroup(int group) {
  return group + 1;
}

// The status word: hex, the flags' identifiers and their words.
void AddStatus(json& object, const std::optional<uint16_t>& status) {
  if (!status) {
    object["status"] = nullptr;
    object["status_flags"] = nullptr;
    object["status_words"] = nullptr;
    return;
  }
  json names = json::array();
  for (const protocol::StatusFlag& flag : protocol::kStatusFlagsInPrintOrder)
    if (*status & flag.bit) names.push_back(std::string(flag.name));
  object["status"] = jobs::HexWord(*status);
  object["status_flags"] = std::move(names);
  object["status_words"] = jobs::StatusInWords(*status);
}

double Share(int part, int whole) {
  return whole > 0 ? 100.0 * part / whole : 0.0;
}

json GroupJson(const rollouts::GroupCounts& g) {
  return {{"group", ShownGroup(g.group)},
          {"size", g.size},
          {"pending", g.pending},
          {"running", g.running},
          {"ok", g.ok},
          {"failed", g.failed},
          {"skipped", g.skipped},
          {"accepted", g.accepted},
          {"ok_percent", Share(g.ok, g.size)},
          {"failed_percent", Share(g.failed, g.size)}};
}

}  // namespace

namespace {
std::string NotEnded(bool writerAlive) {
  return std::string(writerAlive ? history::kRunningOutcome : history::kAbandonedOutcome);
}
}  // namespace

std::string ShownOutcome(const history::OperationRow& row) {
  if (!row.endedAt || row.outcome.empty()) return NotEnded(row.writerAlive);
  return row.outcome;
}

std::string ShownOutcome(const history::UnitState& unit) {
  return unit.lastOutcome.empty() ? NotEnded(unit.writerAlive) : unit.lastOutcome;
}

json HistoryRowJson(const history::OperationRow& r) {
  json object = {
      {"id", r.id},
      {"started", Time(r.startedAt)},
      {"ended", TimeOrNull(r.endedAt)},
      {"duration_s",
       r.endedAt ? json(static_cast<double>(*r.endedAt - r.startedAt) / 1000.0) : json(nullptr)},
      {"station", Text(r.station)},
      {"user", Text(r.osUser)},
      {"front_end", Text(r.frontEnd)},
      {"tool_version", Text(r.toolVersion)},
      {"target", Text(r.target)},
      {"unit", Text(r.unitId)},
      {"unit_address", Text(r.unitAddress)},
      {"reported_address", Text(r.reportedAddress)},
      {"operation", Text(r.operation)},
      {"erase_kind", Text(r.eraseKind)},
      {"image", Text(r.imagePath)},
      {"image_bytes", r.imageBytes},
      {"image_sha256", Text(r.imageSha256)},
      {"records", r.records},
      {"resends", r.resends},
      {"refused_records", r.refusedRecords},
      {"outcome", Text(ShownOutcome(r))},
      {"detail", Text(r.detail)},
      {"rollout", Text(r.rollout)},
      {"group", r.group ? json(ShownGroup(*r.group)) : json(nullptr)}};
  AddStatus(object, r.finalStatus);
  return object;
}

json UnitStateJson(const history::UnitState& u) {
  return {{"unit", Text(u.unitId)},
          {"address", Text(u.address)},
          {"last_seen", Time(u.lastSeen)},
          {"last_operation", Text(u.lastOperation)},
          {"last_outcome", Text(ShownOutcome(u))},
          {"last_station", Text(u.lastStation)},
          {"image", Text(u.lastImagePath)},
          {"image_sha256", Text(u.lastImageSha256)},
          {"programmed", TimeOrNull(u.lastProgrammedAt)}};
}

json RolloutSummaryJson(const rollouts::RolloutSummary& s) {
  json groups = json::array();
  for (const rollouts::GroupCounts& g : s.groups) groups.push_back(GroupJson(g));
  json totals = GroupJson(rollouts::TotalCounts(s));
  totals.erase("group");
  return {
      {"name", Text(s.name)},
      {"created", Time(s.createdAt)},
      {"image", Text(s.imagePath)},
      {"image_sha256", Text(s.imageSha256)},
      {"image_bytes", s.imageBytes},
      {"success_threshold", s.successThreshold},
      {"error_threshold", s.errorThreshold},
      {"retries", s.retries},
      {"state", std::string(rollouts::RolloutStateName(s.state))},
      {"stop_reason", Text(s.stopReason)},
      {"approve_groups", s.approveGroups},
      {"waiting_for_approval", s.waitingGroup ? json(ShownGroup(*s.waitingGroup)) : json(nullptr)},
      {"waiting", Text(rollouts::WaitingText(s))},
      {"search_s", s.searchSeconds},
      {"groups", std::move(groups)},
      {"totals", std::move(totals)}};
}

json ActionRecordJson(const rollouts::ActionRecord& a) {
  return {{"id", a.id},
          {"rollout", Text(a.rollout)},
          {"action", Text(a.action)},
          {"actor", Text(a.actor)},
          {"origin", Text(a.origin)},
          {"at", Time(a.at)},
          {"detail", Text(a.detail)}};
}

json RolloutUnitJson(const rollouts::RolloutUnit& u) {
  json object = {{"position", u.position},
                 {"group", ShownGroup(u.group)},
                 {"target", Text(u.target)},
                 {"unit", Text(u.unitId)},
                 {"progress", std::string(rollouts::UnitProgressName(u.progress))},
                 {"attempts", u.attempts},
                 {"outcome", Text(u.outcome)},
                 {"detail", Text(u.detail)},
                 {"station", Text(u.station)},
                 {"lease_until", TimeOrNull(u.leaseUntil)},
                 {"redo", u.redo}};
  AddStatus(object, u.status);
  // Running: as its station's last renewal saw it, the phase, its records, since when and as of
  // when (elapsed_s counted to that moment, not to now).
  if (u.progress != rollouts::UnitProgress::Running || u.phase.empty() || !u.phaseAt) {
    object["phase"] = nullptr;
  } else {
    const int64_t elapsed = u.phaseStarted ? std::max<int64_t>(*u.phaseAt - *u.phaseStarted, 0) : 0;
    object["phase"] = {
        {"name", Text(u.phase)},     {"done", u.phaseDone},
        {"total", u.phaseTotal},     {"started", TimeOrNull(u.phaseStarted)},
        {"as_of", Time(*u.phaseAt)}, {"elapsed_s", static_cast<double>(elapsed) / 1000.0}};
  }
  return object;
}

// `state`: running, ended (its process said so) or gone (no sign of life for longer than its
// lease); `host` and `pid` of its process, null when not known.
json RolloutStationJson(const rollouts::RolloutStation& s) {
  json object = {{"station", Text(s.station)},
                 {"state", std::string(rollouts::StationLifeName(s.life))},
                 {"last_seen", Time(s.lastSeen)},
                 {"ended_at", TimeOrNull(s.endedAt)},
                 {"running", s.running}};
  object["host"] = s.host.empty() ? json(nullptr) : json(Text(s.host));
  object["pid"] = s.pid > 0 ? json(s.pid) : json(nullptr);
  return object;
}

json AttemptFiguresJson(const history::AttemptFigures& figures) {
  json stations = json::array();
  json* points = nullptr;
  int64_t total = 0;
  const std::string* current = nullptr;
  for (const history::DoneStep& step : figures.done) {
    if (!current || *current != step.station) {
      stations.push_back({{"station", Text(step.station)}, {"points", json::array()}});
      points = &stations.back()["points"];
      current = &step.station;
      total = 0;
    }
    total += step.units;
    points->push_back({{"at", Time(step.at + figures.stepMs)}, {"units", total}});
  }
  json failures = json::array();
  for (const history::FailureCount& f : figures.failures) {
    json item = {{"outcome", Text(f.outcome)}, {"attempts", f.attempts}};
    AddStatus(item, f.status);
    failures.push_back(std::move(item));
  }
  const json yield = figures.firstAttempts > 0 ? json(100.0 * static_cast<double>(figures.firstOk) /
                                                      static_cast<double>(figures.firstAttempts))
                                               : json(nullptr);
  return {
      {"step_s", figures.stepMs / 1000},
      {"stations", std::move(stations)},
      {"first_pass",
       {{"attempts", figures.firstAttempts}, {"ok", figures.firstOk}, {"yield_percent", yield}}},
      {"failures", std::move(failures)}};
}

json RolloutStatusJson(const rollouts::RolloutStatus& status, size_t maxListed) {
  json object = RolloutSummaryJson(status.summary);
  const auto listed = [maxListed](const std::vector<rollouts::RolloutUnit>& units) {
    json list = json::array();
    for (size_t i = 0; i < units.size() && i < maxListed; ++i)
      list.push_back(RolloutUnitJson(units[i]));
    return list;
  };
  object["failed"] = listed(status.failed);
  object["failed_total"] = status.failed.size();
  object["running"] = listed(status.running);
  object["running_total"] = status.running.size();
  json stations = json::array();
  for (const rollouts::RolloutStation& s : status.stations)
    stations.push_back(RolloutStationJson(s));
  object["stations"] = std::move(stations);
  return object;
}

json ReportRowJson(const UnitReportRow& r) {
  json object = {{"unit", Text(r.unitId)},     {"address", Text(r.address)},
                 {"image", Text(r.imagePath)}, {"image_sha256", Text(r.imageSha256)},
                 {"outcome", Text(r.outcome)}, {"station", Text(r.station)},
                 {"attempts", r.attempts},     {"final_attempt", TimeOrNull(r.finalAttemptAt)}};
  AddStatus(object, r.status);
  return object;
}

json ReportHeadingJson(const UnitReport& report) {
  const ReportTotals totals = report.totals();
  json facts = json::array();
  for (const std::string& fact : report.facts) facts.push_back(Text(fact));
  return {{"report", report.kind},
          {"subject", Text(report.subject)},
          {"facts", std::move(facts)},
          {"generated", Time(report.generatedAt)},
          {"totals",
           {{"units", totals.units},
            {"ok", totals.ok},
            {"failed", totals.failed},
            {"not_ended", totals.pending},
            {"skipped", totals.skipped}}}};
}

std::string JsonText(const json& value) {
  return WithoutRawControls(value.dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace uvq::reports
