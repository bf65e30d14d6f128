// SPDX-License-Identifier: Apache-2.0
#include "store/history/HistoryTime.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace uvq::history {

namespace {

std::tm UtcOf(HistoryMillis millis, int& fraction) {
  HistoryMillis seconds = millis / 1000;
  fraction = static_cast<int>(millis % 1000);
  if (fraction < 0) fraction += 1000, --seconds;
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  return utc;
}

// Reads exactly `count` digits at `pos`.
bool Digits(const std::string& text, size_t& pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool Expect(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

std::optional<HistoryMillis> Relative(const std::string& text, HistoryMillis now) {
  if (text.size() < 2 || text.size() > 10) return std::nullopt;
  HistoryMillis amount = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    amount = amount * 10 + (text[i] - '0');
  }
  HistoryMillis unit = 0;
  switch (text.back()) {
    case 'd':
      unit = 86'400'000;
      break;
    case 'h':
      unit = 3'600'000;
      break;
    case 'm':
      unit = 60'000;
      break;
    case 's':
      unit = 1'000;
      break;
    default:
      return std::nullopt;
  }
  return now - amount * unit;
}

}  // namespace

std::string MillisIsoUtc(HistoryMillis millis) {
  int fraction = 0;
  const std::tm utc = UtcOf(millis, fraction);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", fraction);
  return text;
}

std::string MillisTableUtc(HistoryMillis millis) {
  int fraction = 0;
  const std::tm utc = UtcOf(millis, fraction);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::optional<HistoryMillis> ParseTimeBound(const std::string& text, HistoryMillis now,
                                            bool endOfDay) {
  if (const auto relative = Relative(text, now)) return relative;
  size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (!Digits(text, pos, 4, year) || !Expect(text, pos, '-') || !Digits(text, pos, 2, month) ||
      !Expect(text, pos, '-') || !Digits(text, pos, 2, day))
    return std::nullopt;
  bool dateOnly = true;
  if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
    ++pos;
    dateOnly = false;
    if (!Digits(text, pos, 2, hour) || !Expect(text, pos, ':') || !Digits(text, pos, 2, minute))
      return std::nullopt;
    if (pos < text.size() && text[pos] == ':') {
      ++pos;
      if (!Digits(text, pos, 2, second)) return std::nullopt;
      if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int scale = 100;
        const size_t first = pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
          millis += (text[pos] - '0') * scale;
          scale /= 10;
          ++pos;
        }
        if (pos == first) return std::nullopt;
      }
    }
  }
  if (pos < text.size() && text[pos] == 'Z') ++pos;
  if (pos != text.size()) return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  HistoryMillis result = duration_cast<milliseconds>(sys_days(date).time_since_epoch()).count() +
                         ((hour * 60 + minute) * 60 + second) * HistoryMillis{1000} + millis;
  if (dateOnly && endOfDay) result += 86'400'000 - 1;
  return result;
}

}  // namespace uvq::history
