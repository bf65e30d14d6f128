// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <optional>
#include <string>

#include "reports/ReportFormats.h"
#include "store/history/HistoryStore.h"

namespace uvq::dashboard {

// A request's query parameters, decoded (as the HTTP library gives them).
using QueryParams = std::multimap<std::string, std::string>;

// Every value a request brings is checked here, against a strict pattern and a size cap, before
// it reaches a store; the stores take values only as parameters of fixed statements.

// Caps of a page: at most kMaxPageRows rows, starting no later than kMaxOffset.
inline constexpr int kDefaultPageRows = 100;
inline constexpr int kMaxPageRows = 500;
inline constexpr int kMaxOffset = 1'000'000;
inline constexpr size_t kMaxNameBytes = 128;

// A rollout's or a station's name: 1 to 128 bytes of valid UTF-8 without control characters.
// Any other character is allowed (the page shows names as text, never as markup).
bool IsAcceptableName(const std::string& text);

// "12ab" -> "12AB": 1 to 4 hex digits, zero-padded; nullopt otherwise.
std::optional<std::string> UnitIdOf(const std::string& text);

// "127.0.0.5" as written by the history (a.b.c.d, no leading zeros); nullopt unless an IPv4
// address.
std::optional<std::string> AddressOf(const std::string& text);

// A SHA-256 in lower-case hex; nullopt unless 64 hex digits.
std::optional<std::string> Sha256Of(const std::string& text);

struct Page {
  int offset = 0;
  int limit = kDefaultPageRows;
};

// The filters of `uvq history` (unit, address, image as SHA-256, outcome, operation, station,
// since, until) and a page (offset, limit). Times as the command line reads them, relative to
// `now`. nullopt with `problem` said for an unknown or repeated parameter or a value that does
// not fit its pattern.
std::optional<history::HistoryFilter> HistoryFilterOf(const QueryParams& params,
                                                      history::UtcMillis now, std::string& problem);

// Only offset and limit (a unit's history).
std::optional<Page> PageOf(const QueryParams& params, std::string& problem);

// A rollout named by ?name= (any name, "/" included, travels safely there), with offset and
// limit when `paged`.
struct RolloutQuery {
  std::string name;
  Page page;
};
std::optional<RolloutQuery> RolloutQueryOf(const QueryParams& params, bool paged,
                                           std::string& problem);

// A report download: ?format=csv|json|html (csv when left out) and either a rollout's ?name= or
// the units report's filters (unit, address, image as SHA-256, station, since, until).
struct ReportQuery {
  reports::ReportFormat format = reports::ReportFormat::Csv;
  std::string name;
  reports::UnitsReportFilter filter;
};
std::optional<ReportQuery> RolloutReportQueryOf(const QueryParams& params, std::string& problem);
std::optional<ReportQuery> UnitsReportQueryOf(const QueryParams& params, history::UtcMillis now,
                                              std::string& problem);

}  // namespace uvq::dashboard
