// SPDX-License-Identifier: Apache-2.0
#include "store/history/SpoolLine.h"

#include <charconv>
#include <vector>

#include "store/db/SpoolFile.h"

namespace uvq::history {

namespace {

constexpr const char* kFormat = "uvq-spool-1";
constexpr const char* kMissing = "\\N";
constexpr size_t kFieldCount = 28;

std::string Escaped(const std::string& text) {
  return store::EscapedField(text);
}

std::optional<std::string> Unescaped(const std::string& text) {
  return store::UnescapedField(text);
}

template <typename T>
std::string Number(const std::optional<T>& value) {
  return value ? std::to_string(*value) : kMissing;
}

bool ReadNumber(const std::string& text, int64_t& value) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end;
}

template <typename T>
bool ReadOptional(const std::string& text, std::optional<T>& value) {
  if (text == kMissing) {
    value.reset();
    return true;
  }
  int64_t number = 0;
  if (!ReadNumber(text, number)) return false;
  value = static_cast<T>(number);
  return true;
}

}  // namespace

std::string SpoolLine(const SpoolEntry& e) {
  const OperationRow& r = e.row;
  const std::vector<std::string> fields = {kFormat,
                                           Escaped(e.location),
                                           e.completed ? "complete" : "begin",
                                           Escaped(r.key),
                                           std::to_string(r.startedAt),
                                           Number(r.endedAt),
                                           Escaped(r.station),
                                           Escaped(r.osUser),
                                           Escaped(r.frontEnd),
                                           Escaped(r.toolVersion),
                                           Escaped(r.target),
                                           Escaped(r.unitId),
                                           Escaped(r.reportedAddress),
                                           Escaped(r.operation),
                                           Escaped(r.eraseKind),
                                           Escaped(r.imagePath),
                                           std::to_string(r.imageBytes),
                                           Escaped(r.imageSha256),
                                           std::to_string(r.records),
                                           std::to_string(r.resends),
                                           std::to_string(r.refusedRecords),
                                           Escaped(r.outcome),
                                           Number(r.finalStatus),
                                           Escaped(r.finalFlags),
                                           Escaped(r.detail),
                                           Escaped(r.rollout),
                                           Number(r.group),
                                           "end"};
  return store::JoinedLine(fields);
}

std::optional<SpoolEntry> ParseSpoolLine(const std::string& line) {
  const std::vector<std::string> raw = store::SplitLine(line);
  // The last field tells a line written whole from one cut short.
  if (raw.size() != kFieldCount || raw[0] != kFormat || raw.back() != "end") return std::nullopt;
  if (raw[2] != "begin" && raw[2] != "complete") return std::nullopt;
  std::vector<std::string> text(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == kMissing) continue;  // a missing number, read from raw below
    auto value = Unescaped(raw[i]);
    if (!value) return std::nullopt;
    text[i] = *value;
  }
  SpoolEntry e;
  OperationRow& r = e.row;
  e.location = text[1];
  e.completed = text[2] == "complete";
  r.key = text[3];
  if (r.key.empty()) return std::nullopt;
  bool ok = ReadNumber(raw[4], r.startedAt) && ReadOptional(raw[5], r.endedAt);
  r.station = text[6];
  r.osUser = text[7];
  r.frontEnd = text[8];
  r.toolVersion = text[9];
  r.target = text[10];
  r.unitId = text[11];
  r.reportedAddress = text[12];
  r.operation = text[13];
  r.eraseKind = text[14];
  r.imagePath = text[15];
  ok = ok && ReadNumber(raw[16], r.imageBytes);
  r.imageSha256 = text[17];
  ok = ok && ReadNumber(raw[18], r.records) && ReadNumber(raw[19], r.resends) &&
       ReadNumber(raw[20], r.refusedRecords);
  r.outcome = text[21];
  ok = ok && ReadOptional(raw[22], r.finalStatus);
  r.finalFlags = text[23];
  r.detail = text[24];
  r.rollout = text[25];
  ok = ok && ReadOptional(raw[26], r.group);
  if (!ok) return std::nullopt;
  return e;
}

}  // namespace uvq::history
