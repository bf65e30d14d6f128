// SPDX-License-Identifier: Apache-2.0
// `uvq rollout status NAME` and `uvq rollout list`: a table for people, or JSON: the rollout's
// status as one object, the list as one object a rollout (the dashboard's forms).
#include <cstdarg>
#include <cstdio>
#include <string>

#include "RolloutRequest.h"
#include "StatusText.h"
#include "reports/RecordJson.h"
#include "reports/TerminalText.h"
#include "store/history/HistoryTime.h"

namespace uvq::cli {

namespace {

using rollouts::GroupCounts;

double Share(int part, int whole) {
  return whole > 0 ? 100.0 * part / whole : 0.0;
}

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void Print(const std::string& text) {
  std::fputs(reports::Escaped(text, true).c_str(), stdout);
}

void Totals(const rollouts::RolloutSummary& summary, GroupCounts& all) {
  for (const GroupCounts& g : summary.groups) {
    all.size += g.size;
    all.pending += g.pending;
    all.running += g.running;
    all.ok += g.ok;
    all.failed += g.failed;
    all.skipped += g.skipped;
  }
}

std::string UnitLine(const rollouts::RolloutUnit& unit) {
  std::string line = "  " + unit.target + (unit.unitId.empty() ? "" : " [" + unit.unitId + "]") +
                     "  group " + std::to_string(unit.group + 1) + "  " +
                     (unit.outcome.empty() ? "failed" : unit.outcome) + " after " +
                     std::to_string(unit.attempts) + " attempt" + (unit.attempts == 1 ? "" : "s");
  if (unit.status) line += "  status " + StatusInWords(*unit.status);
  if (!unit.detail.empty()) line += "\n      " + unit.detail;
  return line + "\n";
}

}  // namespace

int ShowRolloutStatus(const RolloutRequest& request, rollouts::RolloutStore& store) {
  const auto status = store.status(request.name);
  if (!status) return RolloutFail(ExitCode::Usage, "no rollout named '" + request.name + "'");
  const rollouts::RolloutSummary& s = status->summary;
  GroupCounts all;
  Totals(s, all);
  if (request.options.json) {
    const std::string out = reports::JsonText(reports::RolloutStatusJson(*status)) + "\n";
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::File);
  }

  std::string out = "rollout " + s.name + ": " + std::string(rollouts::RolloutStateName(s.state));
  if (!s.stopReason.empty()) out += " (" + s.stopReason + ")";
  if (s.waitingGroup)
    out += ", " + rollouts::WaitingText(s) + " (uvq rollout approve " + s.name + ")";
  out += '\n';
  out += Line("image %s, %lld bytes, SHA-256 %s\n", s.imagePath.c_str(),
              static_cast<long long>(s.imageBytes), s.imageSha256.c_str());
  out += Line("success threshold %d %%, error threshold %d %%, retries %d, created %s%s\n",
              s.successThreshold, s.errorThreshold, s.retries,
              history::MillisTableUtc(s.createdAt).c_str(),
              s.approveGroups ? ", each group after the first approved by hand" : "");
  out += Line("%-7s %6s %8s %8s %6s %7s %7s %7s %7s\n", "group", "units", "pending", "running",
              "ok", "failed", "skipped", "ok %", "fail %");
  for (const GroupCounts& g : s.groups)
    out += Line("%-7d %6d %8d %8d %6d %7d %7d %7.1f %7.1f\n", g.group + 1, g.size, g.pending,
                g.running, g.ok, g.failed, g.skipped, Share(g.ok, g.size), Share(g.failed, g.size));
  out +=
      Line("%-7s %6d %8d %8d %6d %7d %7d %7.1f %7.1f\n", "all", all.size, all.pending, all.running,
           all.ok, all.failed, all.skipped, Share(all.ok, all.size), Share(all.failed, all.size));
  if (!status->failed.empty()) {
    out += "failed units:\n";
    for (const auto& unit : status->failed) out += UnitLine(unit);
  }
  if (!status->running.empty()) {
    out += "in flight:\n";
    for (const auto& unit : status->running)
      out += "  " + unit.target + "  group " + std::to_string(unit.group + 1) + "  station " +
             unit.station + "\n";
  }
  if (!status->stations.empty()) {
    out += "stations:\n";
    for (const auto& station : status->stations)
      out += Line("  %-20s last seen %s UTC, %d unit%s in flight\n", station.station.c_str(),
                  history::MillisTableUtc(station.lastSeen).c_str(), station.running,
                  station.running == 1 ? "" : "s");
  }
  Print(out);
  return std::fflush(stdout) == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::File);
}

int ListRollouts(const RolloutRequest& request, rollouts::RolloutStore& store) {
  std::string out;
  const std::vector<rollouts::RolloutSummary> rollouts = store.list();
  if (!request.options.json && !rollouts.empty())
    out += Line("%-24s %-10s %6s %6s %7s  %s\n", "rollout", "state", "units", "ok", "failed",
                "created (UTC)");
  for (const rollouts::RolloutSummary& s : rollouts) {
    GroupCounts all;
    Totals(s, all);
    if (request.options.json) {
      out += reports::JsonText(reports::RolloutSummaryJson(s)) + "\n";
    } else {
      out += Line("%-24s %-10s %6d %6d %7d  %s%s\n", s.name.c_str(),
                  std::string(rollouts::RolloutStateName(s.state)).c_str(), all.size, all.ok,
                  all.failed, history::MillisTableUtc(s.createdAt).c_str(),
                  s.waitingGroup ? ("  " + rollouts::WaitingText(s)).c_str() : "");
    }
  }
  if (request.options.json)
    std::fputs(out.c_str(), stdout);
  else
    Print(out);
  return std::fflush(stdout) == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::File);
}

}  // namespace uvq::cli
