// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reports/UnitReport.h"

namespace uvq::reports {

enum class ReportFormat { Csv, Json, Html };

// "csv", "json", "html"; nullopt for any other word.
std::optional<ReportFormat> ReportFormatNamed(std::string_view name);
// The MIME type and the file name extension of a format.
std::string_view ReportMimeType(ReportFormat format);
std::string_view ReportExtension(ReportFormat format);

// CSV with a heading line (RFC 4180 quoting, lines ending in CR LF); a field a spreadsheet would
// take for a formula (starting with = + - @) starts with ' instead, and control characters
// (tabs and line breaks too) are written as \xHH.
std::string ReportCsv(const UnitReport& report);
// One JSON document on one line: the heading (ReportHeadingJson) and "units", each row in its
// one JSON form (ReportRowJson).
std::string ReportJson(const UnitReport& report);
// A printable page, self-contained (no outside script, style sheet or font), A4: the rollout or
// filter, the generation time in UTC, the totals and one line per unit.
std::string ReportHtml(const UnitReport& report);
std::string ReportText(const UnitReport& report, ReportFormat format);

// A file name for the report: "uvq-rollout-NAME.csv", "uvq-units.html"; the name keeps only
// letters, digits, '-', '_' and '.'.
std::string ReportFileName(const UnitReport& report, ReportFormat format);

// Text for an HTML page: & < > " ' as entities, control characters as \xHH.
std::string HtmlEscaped(std::string_view text);
// One CSV field: neutralised as above, then quoted when it holds a comma, a quote or a line
// break.
std::string CsvCell(const std::string& text);

// A column of a CSV table: its heading and how an item's cell reads.
template <typename Item>
struct CsvColumn {
  const char* heading;
  std::function<std::string(const Item&)> text;
};

// The table: a heading line, then a line per item, every cell through CsvCell, lines ending in
// CR LF. (Appended piece by piece: "literal" + temporary draws GCC 12's false -Wrestrict.)
template <typename Item>
std::string CsvTable(const std::vector<CsvColumn<Item>>& columns, const std::vector<Item>& items) {
  std::string out;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i) out += ',';
    out += CsvCell(columns[i].heading);
  }
  out += "\r\n";
  for (const Item& item : items) {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i) out += ',';
      out += CsvCell(columns[i].text(item));
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace uvq::reports
