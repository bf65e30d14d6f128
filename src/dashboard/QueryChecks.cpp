// SPDX-License-Identifier: Apache-2.0
#include "dashboard/QueryChecks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <set>
#include <string_view>

#include "protocol/IpAddressText.h"
#include "store/db/HistorySchema.h"
#include "store/history/HistoryTime.h"
#include "units/Hex.h"

namespace uvq::dashboard {

namespace {

constexpr size_t kMaxValueBytes = 256;

// Each decoded UTF-8 sequence well formed (no overlong forms, no surrogates), and no C0 or C1
// control character nor DEL.
bool IsCleanUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code = 0;
    if ((c & 0xe0) == 0xc0)
      length = 2, code = c & 0x1f;
    else if ((c & 0xf0) == 0xe0)
      length = 3, code = c & 0x0f;
    else if ((c & 0xf8) == 0xf0)
      length = 4, code = c & 0x07;
    else
      return false;
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    static constexpr std::array<uint32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
      return false;
    if (code >= 0x80 && code <= 0x9f) return false;
    i += length;
  }
  return true;
}

bool Matches(const std::string& text, size_t maxBytes, bool (*allowed)(unsigned char)) {
  return !text.empty() && text.size() <= maxBytes &&
         std::all_of(text.begin(), text.end(),
                     [&](char c) { return allowed(static_cast<unsigned char>(c)); });
}

bool IdentifierChar(unsigned char c) {
  return std::islower(c) || std::isdigit(c) || c == '_' || c == '-';
}

std::optional<int> Number(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// Each parameter known and given once, each value within its cap.
bool KnownOnce(const QueryParams& params, const std::set<std::string_view>& known,
               std::string& problem) {
  if (params.size() > known.size()) {
    problem = "too many query parameters";
    return false;
  }
  for (const auto& [name, value] : params) {
    if (!known.contains(name)) {
      problem = "unknown query parameter '" + name.substr(0, 32) + "'";
      return false;
    }
    if (params.count(name) > 1) {
      problem = "query parameter '" + name + "' given more than once";
      return false;
    }
    if (value.size() > kMaxValueBytes) {
      problem = "query parameter '" + name + "' is longer than 256 bytes";
      return false;
    }
  }
  return true;
}

const std::string* Value(const QueryParams& params, const std::string& name) {
  const auto it = params.find(name);
  return it == params.end() ? nullptr : &it->second;
}

bool ReadPage(const QueryParams& params, Page& page, std::string& problem) {
  if (const std::string* offset = Value(params, "offset")) {
    const auto value = Number(*offset, 0, kMaxOffset);
    if (!value) return problem = "offset must be a number from 0 to 1000000", false;
    page.offset = *value;
  }
  if (const std::string* limit = Value(params, "limit")) {
    const auto value = Number(*limit, 1, kMaxPageRows);
    if (!value) return problem = "limit must be a number from 1 to 500", false;
    page.limit = *value;
  }
  return true;
}

}  // namespace

bool IsAcceptableName(const std::string& text) {
  return !text.empty() && text.size() <= kMaxNameBytes && IsCleanUtf8(text);
}

std::optional<std::string> UnitIdOf(const std::string& text) {
  return units::NormalizedUnitId(text);
}

std::optional<std::string> AddressOf(const std::string& text) {
  const auto bytes = protocol::ParseDottedAddress(text);
  if (!bytes) return std::nullopt;
  return protocol::Ipv4Text(*bytes);
}

std::optional<std::string> Sha256Of(const std::string& text) {
  if (!store::LooksLikeSha256(text)) return std::nullopt;
  std::string lower;
  for (unsigned char c : text) lower += static_cast<char>(std::tolower(c));
  return lower;
}

std::optional<Page> PageOf(const QueryParams& params, std::string& problem) {
  if (!KnownOnce(params, {"offset", "limit"}, problem)) return std::nullopt;
  Page page;
  if (!ReadPage(params, page, problem)) return std::nullopt;
  return page;
}

std::optional<RolloutQuery> RolloutQueryOf(const QueryParams& params, bool paged,
                                           std::string& problem) {
  if (!KnownOnce(params,
                 paged ? std::set<std::string_view>{"name", "offset", "limit"}
                       : std::set<std::string_view>{"name"},
                 problem))
    return std::nullopt;
  RolloutQuery query;
  const std::string* name = Value(params, "name");
  if (!name || !IsAcceptableName(*name)) {
    problem = "name must name a rollout (1 to 128 characters)";
    return std::nullopt;
  }
  query.name = *name;
  if (!ReadPage(params, query.page, problem)) return std::nullopt;
  return query;
}

std::optional<history::HistoryFilter> HistoryFilterOf(const QueryParams& params,
                                                      history::UtcMillis now,
                                                      std::string& problem) {
  static const std::set<std::string_view> kKnown = {"unit",      "address", "image",  "outcome",
                                                    "operation", "station", "since",  "until",
                                                    "offset",    "limit",   "rollout"};
  if (!KnownOnce(params, kKnown, problem)) return std::nullopt;
  history::HistoryFilter filter;
  Page page;
  if (!ReadPage(params, page, problem)) return std::nullopt;
  filter.offset = page.offset;
  filter.limit = page.limit;
  const auto fail = [&](const std::string& message) {
    problem = message;
    return std::nullopt;
  };
  // An empty value is no filter, as an empty field of the page's form.
  const auto given = [&](const char* name) -> const std::string* {
    const std::string* value = Value(params, name);
    return value && !value->empty() ? value : nullptr;
  };
  if (const std::string* unit = given("unit")) {
    const auto id = UnitIdOf(*unit);
    if (!id) return fail("unit must be a unit ID of 1 to 4 hex digits");
    filter.unitId = *id;
  }
  if (const std::string* address = given("address")) {
    const auto text = AddressOf(*address);
    if (!text) return fail("address must be an IPv4 address a.b.c.d");
    filter.target = *text;
  }
  if (const std::string* image = given("image")) {
    const auto sha = Sha256Of(*image);
    if (!sha) return fail("image must be a SHA-256 (64 hex digits)");
    filter.image = *sha;
  }
  if (const std::string* outcome = given("outcome")) {
    if (!Matches(*outcome, 32, IdentifierChar)) return fail("outcome must be an outcome word");
    filter.outcome = *outcome;
  }
  if (const std::string* operation = given("operation")) {
    if (!Matches(*operation, 32, IdentifierChar))
      return fail("operation must be an operation word");
    filter.operation = *operation;
  }
  if (const std::string* station = given("station")) {
    if (!IsAcceptableName(*station)) return fail("station must be a name of 1 to 128 characters");
    filter.station = *station;
  }
  if (const std::string* rollout = given("rollout")) {
    if (!IsAcceptableName(*rollout)) return fail("rollout must be a name of 1 to 128 characters");
    filter.rollout = *rollout;
  }
  if (const std::string* since = given("since")) {
    filter.since = history::ParseTimeBound(*since, now);
    if (!filter.since) return fail("since: cannot read the time (UTC, or 7d, 12h, 30m back)");
  }
  if (const std::string* until = given("until")) {
    filter.until = history::ParseTimeBound(*until, now, true);
    if (!filter.until) return fail("until: cannot read the time (UTC, or 7d, 12h, 30m back)");
  }
  return filter;
}

namespace {

// The format parameter taken out of `params`; false with `problem` said for an unknown one.
bool TakeFormat(QueryParams& params, reports::ReportFormat& format, std::string& problem) {
  const auto found = params.equal_range("format");
  if (found.first == found.second) return true;
  if (std::next(found.first) != found.second) {
    problem = "format is given more than once";
    return false;
  }
  const auto named = reports::ReportFormatNamed(found.first->second);
  if (!named) {
    problem = "format must be csv, json or html";
    return false;
  }
  format = *named;
  params.erase(found.first);
  return true;
}

}  // namespace

std::optional<ReportQuery> RolloutReportQueryOf(const QueryParams& given, std::string& problem) {
  QueryParams params = given;
  ReportQuery query;
  if (!TakeFormat(params, query.format, problem)) return std::nullopt;
  const auto rollout = RolloutQueryOf(params, false, problem);
  if (!rollout) return std::nullopt;
  query.name = rollout->name;
  return query;
}

std::optional<ReportQuery> UnitsReportQueryOf(const QueryParams& given, history::UtcMillis now,
                                              std::string& problem) {
  QueryParams params = given;
  ReportQuery query;
  if (!TakeFormat(params, query.format, problem)) return std::nullopt;
  for (const char* other : {"outcome", "operation", "rollout", "offset", "limit"})
    if (params.contains(other)) {
      problem = std::string("unknown parameter ") + other;
      return std::nullopt;
    }
  const auto filter = HistoryFilterOf(params, now, problem);
  if (!filter) return std::nullopt;
  query.filter.image = filter->image;
  query.filter.since = filter->since;
  query.filter.until = filter->until;
  query.filter.station = filter->station;
  query.filter.unitId = filter->unitId;
  query.filter.address = filter->target;
  return query;
}

}  // namespace uvq::dashboard
