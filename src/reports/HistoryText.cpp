// SPDX-License-Identifier: Apache-2.0
#include "reports/HistoryText.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "reports/HistoryCsv.h"
#include "reports/RecordJson.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

namespace {

using history::OperationRow;
using history::UnitState;

std::string Duration(const OperationRow& row) {
  if (!row.endedAt) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                static_cast<double>(*row.endedAt - row.startedAt) / 1000.0);
  return text;
}

// Columns of a table: a heading and how each record gives its text.
template <typename Item>
struct Column {
  const char* heading;
  std::function<std::string(const Item&)> text;
};

// Line breaks and tabs inside a cell would break the table's lines: shown as spaces. Any other
// control character (a file or station name is anyone's text) is shown as \xHH.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  return Escaped(text);
}

template <typename Item>
std::string Table(const std::vector<Column<Item>>& columns, const std::vector<Item>& items) {
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> widths;
  for (const Column<Item>& c : columns) widths.push_back(std::string(c.heading).size());
  for (const Item& item : items) {
    std::vector<std::string>& row = cells.emplace_back();
    for (size_t i = 0; i < columns.size(); ++i) {
      row.push_back(OneLine(columns[i].text(item)));
      widths[i] = std::max(widths[i], row.back().size());
    }
  }
  std::string out;
  const auto line = [&](const std::function<std::string(size_t)>& cell) {
    std::string text;
    for (size_t i = 0; i < columns.size(); ++i) {
      std::string value = cell(i);
      if (i + 1 < columns.size()) value.resize(widths[i] + 2, ' ');
      text += value;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line([&](size_t i) { return std::string(columns[i].heading); });
  for (const auto& row : cells) line([&](size_t i) { return row[i]; });
  return out;
}

std::vector<Column<OperationRow>> RowColumns() {
  return {
      {"started", [](const OperationRow& r) { return history::MillisTableUtc(r.startedAt); }},
      {"seconds", Duration},
      {"station", [](const OperationRow& r) { return r.station; }},
      {"user", [](const OperationRow& r) { return r.osUser; }},
      {"from", [](const OperationRow& r) { return r.frontEnd; }},
      {"target", [](const OperationRow& r) { return r.target; }},
      {"unit", [](const OperationRow& r) { return r.unitId; }},
      {"operation",
       [](const OperationRow& r) {
         return r.eraseKind.empty() ? r.operation : r.operation + " " + r.eraseKind;
       }},
      {"image", [](const OperationRow& r) { return r.imagePath; }},
      {"sha256", [](const OperationRow& r) { return r.imageSha256.substr(0, 12); }},
      {"records", [](const OperationRow& r) { return std::to_string(r.records); }},
      {"resends", [](const OperationRow& r) { return std::to_string(r.resends); }},
      {"refused", [](const OperationRow& r) { return std::to_string(r.refusedRecords); }},
      {"outcome", [](const OperationRow& r) { return ShownOutcome(r); }},
      {"status", [](const OperationRow& r) { return StatusWordText(r.finalStatus); }},
      {"detail", [](const OperationRow& r) { return r.detail; }},
  };
}

std::vector<Column<UnitState>> UnitColumns() {
  const auto time = [](int64_t millis) { return history::MillisTableUtc(millis); };
  return {
      {"unit", [](const UnitState& u) { return u.unitId; }},
      {"address", [](const UnitState& u) { return u.address; }},
      {"last_seen", [time](const UnitState& u) { return time(u.lastSeen); }},
      {"last_operation", [](const UnitState& u) { return u.lastOperation; }},
      {"last_outcome", [](const UnitState& u) { return ShownOutcome(u); }},
      {"image", [](const UnitState& u) { return u.lastImagePath; }},
      {"sha256", [](const UnitState& u) { return u.lastImageSha256.substr(0, 12); }},
      {"programmed",
       [time](const UnitState& u) {
         return u.lastProgrammedAt ? time(*u.lastProgrammedAt) : std::string();
       }},
  };
}

template <typename Item>
std::string JsonLines(const std::vector<Item>& items, nlohmann::json (*form)(const Item&)) {
  std::string out;
  for (const Item& item : items) out += JsonText(form(item)) + "\n";
  return out;
}

// The records in `form`: the table of `columns`, the CSV of `csv` or a JSON object a line.
template <typename Item>
std::string InForm(const std::vector<Item>& items, HistoryForm form,
                   const std::vector<Column<Item>>& columns,
                   std::string (*csv)(const std::vector<Item>&),
                   nlohmann::json (*json)(const Item&)) {
  switch (form) {
    case HistoryForm::Table:
      return Table(columns, items);
    case HistoryForm::Csv:
      return csv(items);
    case HistoryForm::Json:
      return JsonLines(items, json);
  }
  return {};
}

}  // namespace

std::string HistoryRowsText(const std::vector<OperationRow>& rows, HistoryForm form) {
  return InForm(rows, form, RowColumns(), &HistoryRowsCsv, &HistoryRowJson);
}

std::string UnitStatesText(const std::vector<UnitState>& units, HistoryForm form) {
  return InForm(units, form, UnitColumns(), &UnitStatesCsv, &UnitStateJson);
}

std::string ActionRecordsText(const std::vector<rollouts::ActionRecord>& actions, bool json) {
  if (json) return JsonLines(actions, &ActionRecordJson);
  std::string text;
  if (!actions.empty())
    text += "time (UTC)           rollout                  action   actor        origin\n";
  for (const rollouts::ActionRecord& a : actions) {
    char line[512];
    std::snprintf(line, sizeof line, "%-20s %-24s %-8s %-12s %s",
                  history::MillisTableUtc(a.at).c_str(), a.rollout.c_str(), a.action.c_str(),
                  a.actor.c_str(), a.origin.c_str());
    text += Escaped(line, true) + (a.detail.empty() ? "" : "  " + Escaped(a.detail, true)) + "\n";
  }
  return text;
}

}  // namespace uvq::reports
