// SPDX-License-Identifier: Apache-2.0
#include "reports/HistoryCsv.h"

#include <cstdio>
#include <functional>

#include "reports/RecordJson.h"
#include "reports/ReportFormats.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

namespace {

using history::OperationRow;
using history::UnitState;

template <typename Item>
using Column = CsvColumn<Item>;

std::string Number(int64_t value) {
  return std::to_string(value);
}

std::string Iso(std::optional<int64_t> millis) {
  return millis ? history::MillisIsoUtc(*millis) : std::string();
}

}  // namespace

std::string StatusWordText(const std::optional<uint16_t>& status) {
  if (!status) return "";
  char word[8];
  std::snprintf(word, sizeof word, "%04X", *status);
  return word;
}

std::string HistoryRowsCsv(const std::vector<OperationRow>& rows) {
  using R = const OperationRow&;
  static const std::vector<Column<OperationRow>> columns = {
      {"id", [](R r) { return Number(r.id); }},
      {"started", [](R r) { return Iso(r.startedAt); }},
      {"ended", [](R r) { return Iso(r.endedAt); }},
      {"station", [](R r) { return r.station; }},
      {"user", [](R r) { return r.osUser; }},
      {"front_end", [](R r) { return r.frontEnd; }},
      {"tool_version", [](R r) { return r.toolVersion; }},
      {"target", [](R r) { return r.target; }},
      {"unit", [](R r) { return r.unitId; }},
      {"reported_address", [](R r) { return r.reportedAddress; }},
      {"operation", [](R r) { return r.operation; }},
      {"erase_kind", [](R r) { return r.eraseKind; }},
      {"image", [](R r) { return r.imagePath; }},
      {"image_bytes", [](R r) { return Number(r.imageBytes); }},
      {"image_sha256", [](R r) { return r.imageSha256; }},
      {"records", [](R r) { return Number(r.records); }},
      {"resends", [](R r) { return Number(r.resends); }},
      {"refused_records", [](R r) { return Number(r.refusedRecords); }},
      {"outcome", [](R r) { return ShownOutcome(r); }},
      {"status", [](R r) { return StatusWordText(r.finalStatus); }},
      {"status_flags", [](R r) { return r.finalFlags; }},
      {"detail", [](R r) { return r.detail; }},
      {"rollout", [](R r) { return r.rollout; }},
      {"group", [](R r) { return r.group ? Number(*r.group + 1) : std::string(); }},
  };
  return CsvTable(columns, rows);
}

std::string UnitStatesCsv(const std::vector<UnitState>& units) {
  using U = const UnitState&;
  static const std::vector<Column<UnitState>> columns = {
      {"unit", [](U u) { return u.unitId; }},
      {"address", [](U u) { return u.address; }},
      {"last_seen", [](U u) { return Iso(u.lastSeen); }},
      {"last_operation", [](U u) { return u.lastOperation; }},
      {"last_outcome", [](U u) { return ShownOutcome(u); }},
      {"image", [](U u) { return u.lastImagePath; }},
      {"image_sha256", [](U u) { return u.lastImageSha256; }},
      {"programmed", [](U u) { return Iso(u.lastProgrammedAt); }},
  };
  return CsvTable(columns, units);
}

}  // namespace uvq::reports
