// SPDX-License-Identifier: Apache-2.0
#include "reports/ReportFormats.h"

#include <functional>

#include "jobs/StatusText.h"
#include "reports/RecordJson.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

namespace {

using Column = CsvColumn<UnitReportRow>;

std::string StatusHex(const std::optional<uint16_t>& status) {
  return status ? jobs::HexWord(*status) : std::string();
}

std::string StatusWords(const std::optional<uint16_t>& status) {
  return status ? jobs::StatusInWords(*status) : std::string();
}

std::string FinalAttempt(const UnitReportRow& row) {
  return row.finalAttemptAt ? history::MillisIsoUtc(*row.finalAttemptAt) : std::string();
}

const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {"unit", [](const UnitReportRow& r) { return r.unitId; }},
      {"address", [](const UnitReportRow& r) { return r.address; }},
      {"image_sha256", [](const UnitReportRow& r) { return r.imageSha256; }},
      {"image", [](const UnitReportRow& r) { return r.imagePath; }},
      {"outcome", [](const UnitReportRow& r) { return r.outcome; }},
      {"status", [](const UnitReportRow& r) { return StatusHex(r.status); }},
      {"status_words", [](const UnitReportRow& r) { return StatusWords(r.status); }},
      {"station", [](const UnitReportRow& r) { return r.station; }},
      {"attempts", [](const UnitReportRow& r) { return std::to_string(r.attempts); }},
      {"final_attempt", FinalAttempt}};
  return columns;
}

std::string Title(const UnitReport& report) {
  return report.kind == "rollout" ? "Rollout " + report.subject : "Units";
}

// Keeps what is safe in a file name of a download or a shell.
std::string FileNamePart(std::string_view text) {
  std::string out;
  for (char c : text) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    out += safe ? c : '_';
  }
  while (!out.empty() && out.front() == '.') out.erase(out.begin());
  return out.empty() ? "_" : out;
}

}  // namespace

std::optional<ReportFormat> ReportFormatNamed(std::string_view name) {
  if (name == "csv") return ReportFormat::Csv;
  if (name == "json") return ReportFormat::Json;
  if (name == "html") return ReportFormat::Html;
  return std::nullopt;
}

std::string_view ReportMimeType(ReportFormat format) {
  switch (format) {
    case ReportFormat::Csv:
      return "text/csv; charset=utf-8";
    case ReportFormat::Json:
      return "application/json";
    case ReportFormat::Html:
      break;
  }
  return "text/html; charset=utf-8";
}

std::string_view ReportExtension(ReportFormat format) {
  switch (format) {
    case ReportFormat::Csv:
      return "csv";
    case ReportFormat::Json:
      return "json";
    case ReportFormat::Html:
      break;
  }
  return "html";
}

std::string CsvCell(const std::string& given) {
  std::string text = Escaped(given);
  // A spreadsheet runs a cell that starts like a formula; a quote makes it text. (A tab or a
  // carriage return cannot start it: Escaped() wrote them as \xHH.)
  if (!text.empty() &&
      (text.front() == '=' || text.front() == '+' || text.front() == '-' || text.front() == '@'))
    text.insert(text.begin(), '\'');
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ReportCsv(const UnitReport& report) {
  return CsvTable(Columns(), report.rows);
}

std::string ReportJson(const UnitReport& report) {
  nlohmann::json document = ReportHeadingJson(report);
  nlohmann::json units = nlohmann::json::array();
  for (const UnitReportRow& row : report.rows) units.push_back(ReportRowJson(row));
  document["units"] = std::move(units);
  return JsonText(document) + "\n";
}

std::string HtmlEscaped(std::string_view given) {
  const std::string text = Escaped(given);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReportHtml(const UnitReport& report) {
  const ReportTotals totals = report.totals();
  const std::string title = HtmlEscaped(Title(report));
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>uvq report: " +
      title +
      "</title>\n<style>\n"
      "@page { size: A4 landscape; margin: 12mm; }\n"
      "body { font-family: sans-serif; font-size: 9pt; color: #000; margin: 0 auto; "
      "max-width: 273mm; }\n"
      "h1 { font-size: 14pt; margin: 0 0 2mm; }\n"
      "p { margin: 0 0 1mm; }\n"
      "table { border-collapse: collapse; width: 100%; margin-top: 3mm; }\n"
      "th, td { border: 0.2mm solid #888; padding: 0.8mm 1.2mm; text-align: left; "
      "vertical-align: top; }\n"
      "thead { display: table-header-group; }\n"
      "tr { page-break-inside: avoid; break-inside: avoid; }\n"
      "td.sha { font-family: monospace; font-size: 7pt; word-break: break-all; }\n"
      "td.n { text-align: right; }\n"
      ".totals span { margin-right: 6mm; }\n"
      ".sign { margin-top: 10mm; }\n"
      ".sign span { display: inline-block; width: 80mm; border-top: 0.2mm solid #000; "
      "margin-right: 10mm; padding-top: 1mm; }\n"
      "</style>\n</head>\n<body>\n<h1>" +
      title + "</h1>\n";
  if (report.kind != "rollout")
    out += "<p class=\"subject\">" + HtmlEscaped(report.subject) + "</p>\n";
  for (const std::string& fact : report.facts) out += "<p>" + HtmlEscaped(fact) + "</p>\n";
  out += "<p>Generated " + HtmlEscaped(history::MillisIsoUtc(report.generatedAt)) + " (UTC)</p>\n";
  out += "<p class=\"totals\"><span>Units: " + std::to_string(totals.units) +
         "</span><span>ok: " + std::to_string(totals.ok) +
         "</span><span>failed: " + std::to_string(totals.failed) +
         "</span><span>not ended: " + std::to_string(totals.pending) +
         "</span><span>skipped: " + std::to_string(totals.skipped) + "</span></p>\n";
  out += "<table>\n<thead><tr>";
  const char* const headings[] = {"Unit",    "Address",  "Image SHA-256",
                                  "Image",   "Outcome",  "Status",
                                  "Station", "Attempts", "Final attempt (UTC)"};
  for (const char* heading : headings) out += std::string("<th>") + heading + "</th>";
  out += "</tr></thead>\n<tbody>\n";
  for (const UnitReportRow& row : report.rows) {
    const auto cell = [&](const std::string& text, const char* cls = nullptr) {
      out += cls ? std::string("<td class=\"") + cls + "\">" : std::string("<td>");
      out += HtmlEscaped(text) + "</td>";
    };
    out += "<tr>";
    cell(row.unitId);
    cell(row.address);
    cell(row.imageSha256, "sha");
    cell(row.imagePath);
    cell(row.outcome);
    cell(StatusWords(row.status));
    cell(row.station);
    cell(std::to_string(row.attempts), "n");
    cell(FinalAttempt(row));
    out += "</tr>\n";
  }
  out +=
      "</tbody>\n</table>\n"
      "<p class=\"sign\"><span>Checked by (name, date)</span><span>Signature</span></p>\n"
      "</body>\n</html>\n";
  return out;
}

std::string ReportText(const UnitReport& report, ReportFormat format) {
  switch (format) {
    case ReportFormat::Csv:
      return ReportCsv(report);
    case ReportFormat::Json:
      return ReportJson(report);
    case ReportFormat::Html:
      break;
  }
  return ReportHtml(report);
}

std::string ReportFileName(const UnitReport& report, ReportFormat format) {
  std::string name = "uvq-" + FileNamePart(report.kind);
  if (report.kind == "rollout") name += "-" + FileNamePart(report.subject);
  return name + "." + std::string(ReportExtension(format));
}

}  // namespace uvq::reports
