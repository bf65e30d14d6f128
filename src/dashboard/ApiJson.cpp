// SPDX-License-Identifier: Apache-2.0
#include "dashboard/ApiJson.h"

#include <nlohmann/json.hpp>

#include "jobs/StatusText.h"
#include "protocol/StatusFlags.h"
#include "store/history/HistoryTime.h"

namespace uvq::dashboard {

using nlohmann::json;

namespace {

json Time(history::UtcMillis millis) {
  return history::MillisIsoUtc(millis);
}

template <typename T>
json TimeOrNull(const std::optional<T>& millis) {
  return millis ? Time(*millis) : json(nullptr);
}

// The status word as the command line shows it: hex, the flags' identifiers and their words.
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

json GroupJson(const history::GroupCounts& g) {
  return {{"group", g.group},     {"size", g.size}, {"pending", g.pending},
          {"running", g.running}, {"ok", g.ok},     {"failed", g.failed}};
}

}  // namespace

json RolloutSummaryJson(const history::RolloutSummary& s) {
  json groups = json::array();
  json totals = {{"size", 0}, {"pending", 0}, {"running", 0}, {"ok", 0}, {"failed", 0}};
  for (const history::GroupCounts& g : s.groups) {
    groups.push_back(GroupJson(g));
    totals["size"] = totals["size"].get<int>() + g.size;
    totals["pending"] = totals["pending"].get<int>() + g.pending;
    totals["running"] = totals["running"].get<int>() + g.running;
    totals["ok"] = totals["ok"].get<int>() + g.ok;
    totals["failed"] = totals["failed"].get<int>() + g.failed;
  }
  return {{"name", s.name},
          {"created", Time(s.createdAt)},
          {"image", s.imagePath},
          {"image_sha256", s.imageSha256},
          {"image_bytes", s.imageBytes},
          {"success_threshold", s.successThreshold},
          {"error_threshold", s.errorThreshold},
          {"retries", s.retries},
          {"state", std::string(history::RolloutStateName(s.state))},
          {"stop_reason", s.stopReason},
          {"groups", std::move(groups)},
          {"totals", std::move(totals)}};
}

json RolloutUnitJson(const history::RolloutUnit& u) {
  json object = {{"position", u.position},
                 {"group", u.group},
                 {"target", u.target},
                 {"unit", u.unitId},
                 {"progress", std::string(history::UnitProgressName(u.progress))},
                 {"attempts", u.attempts},
                 {"outcome", u.outcome},
                 {"detail", u.detail},
                 {"station", u.station},
                 {"lease_until", TimeOrNull(u.leaseUntil)},
                 {"redo", u.redo}};
  AddStatus(object, u.status);
  return object;
}

json RolloutStatusJson(const history::RolloutStatus& status, size_t maxListed) {
  json object = RolloutSummaryJson(status.summary);
  const auto listed = [maxListed](const std::vector<history::RolloutUnit>& units) {
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
  for (const history::RolloutStation& s : status.stations)
    stations.push_back(
        {{"station", s.station}, {"last_seen", Time(s.lastSeen)}, {"running", s.running}});
  object["stations"] = std::move(stations);
  return object;
}

json HistoryRowJson(const history::OperationRow& r) {
  const bool ended = r.endedAt && !r.outcome.empty();
  json object = {
      {"id", r.id},
      {"started", Time(r.startedAt)},
      {"ended", TimeOrNull(r.endedAt)},
      {"duration_s",
       r.endedAt ? json(static_cast<double>(*r.endedAt - r.startedAt) / 1000.0) : json(nullptr)},
      {"station", r.station},
      {"user", r.osUser},
      {"front_end", r.frontEnd},
      {"tool_version", r.toolVersion},
      {"target", r.target},
      {"unit", r.unitId},
      {"reported_address", r.reportedAddress},
      {"operation", r.operation},
      {"erase_kind", r.eraseKind},
      {"image", r.imagePath},
      {"image_bytes", r.imageBytes},
      {"image_sha256", r.imageSha256},
      {"records", r.records},
      {"resends", r.resends},
      {"refused_records", r.refusedRecords},
      // A row begun and never completed: the same word as `uvq history`.
      {"outcome", ended ? r.outcome : std::string("abandoned")},
      {"detail", r.detail},
      {"rollout", r.rollout},
      {"group", r.group ? json(*r.group) : json(nullptr)}};
  AddStatus(object, r.finalStatus);
  return object;
}

json UnitStateJson(const history::UnitState& u) {
  return {{"unit", u.unitId},
          {"address", u.address},
          {"last_seen", Time(u.lastSeen)},
          {"last_operation", u.lastOperation},
          {"last_outcome", u.lastOutcome.empty() ? std::string("abandoned") : u.lastOutcome},
          {"last_station", u.lastStation},
          {"image", u.lastImagePath},
          {"image_sha256", u.lastImageSha256},
          {"programmed", TimeOrNull(u.lastProgrammedAt)}};
}

std::string JsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace uvq::dashboard
