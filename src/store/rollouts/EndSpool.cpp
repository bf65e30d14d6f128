// SPDX-License-Identifier: Apache-2.0
#include "store/rollouts/EndSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "store/db/SpoolFile.h"
#include "store/db/StoreError.h"

namespace uvq::rollouts {

namespace {

constexpr const char* kFormat = "uvq-ends-1";
constexpr const char* kMissing = "\\N";
constexpr size_t kFieldCount = 15;
constexpr const char* kLabel = "rollout end spool";
constexpr std::string_view kEndNames[] = {"ok", "unit_error", "retryable", "missing",
                                          "interrupted"};

bool ReadNumber(const std::string& text, int64_t& value) {
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && at == end;
}

// The lines written whole (a line cut short by a crash has no '\n').
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string EndSpoolLine(const SpooledEnd& e) {
  using store::EscapedField;
  const AttemptResult& r = e.result;
  const std::vector<std::string> fields = {kFormat,
                                           EscapedField(e.id),
                                           EscapedField(e.location),
                                           EscapedField(e.rollout),
                                           EscapedField(e.holder.station),
                                           EscapedField(e.holder.token),
                                           std::to_string(r.position),
                                           std::string(kEndNames[static_cast<size_t>(r.end)]),
                                           EscapedField(r.outcome),
                                           EscapedField(r.detail),
                                           r.status ? std::to_string(*r.status) : kMissing,
                                           EscapedField(r.unitId),
                                           std::to_string(r.retryAfterMs),
                                           std::to_string(e.at),
                                           "end"};
  return store::JoinedLine(fields);
}

std::optional<SpooledEnd> ParseEndSpoolLine(const std::string& line) {
  const std::vector<std::string> raw = store::SplitLine(line);
  if (raw.size() != kFieldCount || raw[0] != kFormat || raw.back() != "end") return std::nullopt;
  std::vector<std::string> text(raw.size());
  for (size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] == kMissing) continue;
    auto value = store::UnescapedField(raw[i]);
    if (!value) return std::nullopt;
    text[i] = std::move(*value);
  }
  SpooledEnd e;
  e.id = text[1];
  e.location = text[2];
  e.rollout = text[3];
  e.holder = {text[4], text[5]};
  int64_t position = 0, retryAfter = 0, status = 0;
  const auto end = std::find(std::begin(kEndNames), std::end(kEndNames), raw[7]);
  if (e.id.empty() || e.holder.token.empty() || !ReadNumber(raw[6], position) ||
      end == std::end(kEndNames) || !ReadNumber(raw[12], retryAfter) || !ReadNumber(raw[13], e.at))
    return std::nullopt;
  e.result.position = static_cast<int>(position);
  e.result.end = static_cast<AttemptEnd>(end - std::begin(kEndNames));
  e.result.outcome = text[8];
  e.result.detail = text[9];
  if (raw[10] != kMissing) {
    if (!ReadNumber(raw[10], status) || status < 0 || status > 0xFFFF) return std::nullopt;
    e.result.status = static_cast<uint16_t>(status);
  }
  e.result.unitId = text[11];
  e.result.retryAfterMs = static_cast<int>(retryAfter);
  return e;
}

void EndSpool::keep(const SpooledEnd& end) const {
  const std::string lost = "the end of unit " + std::to_string(end.result.position) +
                           " of rollout '" + end.rollout + "' is kept in memory only";
  store::LockedSpoolFile spool(path_, O_RDWR, true, kLabel);
  if (!spool.open())
    throw store::StoreError(store::StoreErrorKind::WriteFailed,
                            lost + ": " + spool.Reason("cannot open"));
  if (!spool.AppendLines(EndSpoolLine(end), true)) {
    const std::string reason = spool.Reason("cannot write");
    if (spool.created()) ::unlink(path_.c_str());
    throw store::StoreError(store::StoreErrorKind::WriteFailed, lost + ": " + reason);
  }
}

std::vector<SpooledEnd> EndSpool::read(const std::string& location,
                                       const std::string& rollout) const {
  store::LockedSpoolFile spool(path_, O_RDONLY, false, kLabel);
  if (!spool.open()) {
    if (errno == ENOENT) return {};
    throw store::StoreError(store::StoreErrorKind::ReadFailed, spool.Reason("cannot open"));
  }
  std::vector<SpooledEnd> ends;
  for (const std::string& line : Lines(spool.ReadAll()))
    if (auto end = ParseEndSpoolLine(line);
        end && end->location == location && end->rollout == rollout)
      ends.push_back(std::move(*end));
  return ends;
}

void EndSpool::drop(const std::vector<std::string>& ids) const {
  if (ids.empty()) return;
  store::LockedSpoolFile spool(path_, O_RDWR, false, kLabel);
  if (!spool.open()) {
    if (errno == ENOENT) return;
    throw store::StoreError(store::StoreErrorKind::WriteFailed, spool.Reason("cannot open"));
  }
  std::string kept;
  for (const std::string& line : Lines(spool.ReadAll())) {
    const auto end = ParseEndSpoolLine(line);
    if (end && std::find(ids.begin(), ids.end(), end->id) != ids.end()) continue;
    kept += line + "\n";
  }
  // Rewritten in place, under the lock the writers take: a new file would lose their lines.
  if (!spool.WriteAt(kept, 0) || ::ftruncate(spool.fd(), static_cast<off_t>(kept.size())) != 0 ||
      ::fsync(spool.fd()) != 0)
    throw store::StoreError(store::StoreErrorKind::WriteFailed, spool.Reason("cannot rewrite"));
}

}  // namespace uvq::rollouts
