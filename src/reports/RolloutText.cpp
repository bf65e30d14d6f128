// SPDX-License-Identifier: Apache-2.0
#include "reports/RolloutText.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "jobs/StatusText.h"
#include "jobs/UnitJob.h"
#include "store/history/HistoryTime.h"

namespace uvq::reports {

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

std::string FailedUnitLine(const rollouts::RolloutUnit& unit) {
  std::string line = "  " + unit.target + (unit.unitId.empty() ? "" : " [" + unit.unitId + "]") +
                     "  group " + std::to_string(unit.group + 1) + "  " +
                     (unit.outcome.empty() ? "failed" : unit.outcome) + " after " +
                     std::to_string(unit.attempts) + " attempt" + (unit.attempts == 1 ? "" : "s");
  if (unit.status) line += "  status " + jobs::StatusInWords(*unit.status);
  if (!unit.detail.empty()) line += "\n      " + unit.detail;
  return line + "\n";
}

}  // namespace

std::string RolloutStatusText(const rollouts::RolloutStatus& status) {
  const rollouts::RolloutSummary& s = status.summary;
  const GroupCounts all = rollouts::TotalCounts(s);
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
  if (!status.failed.empty()) {
    out += "failed units:\n";
    for (const auto& unit : status.failed) out += FailedUnitLine(unit);
  }
  if (!status.running.empty()) {
    out += "in flight:\n";
    for (const auto& unit : status.running)
      out += "  " + unit.target + "  group " + std::to_string(unit.group + 1) + "  station " +
             unit.station + "\n";
  }
  if (!status.stations.empty()) {
    out += "stations:\n";
    for (const auto& station : status.stations) {
      if (station.life == rollouts::StationLife::Running) {
        out += Line("  %-20s last seen %s UTC, %d unit%s in flight\n", station.station.c_str(),
                    history::MillisTableUtc(station.lastSeen).c_str(), station.running,
                    station.running == 1 ? "" : "s");
        continue;
      }
      // Ended cleanly, or gone: silent for longer than its lease.
      out += Line("  %-20s %s, last seen %s UTC\n", station.station.c_str(),
                  std::string(rollouts::StationLifeName(station.life)).c_str(),
                  history::MillisTableUtc(station.lastSeen).c_str());
    }
  }
  return out;
}

std::string RolloutListText(const std::vector<rollouts::RolloutSummary>& rollouts) {
  std::string out;
  if (!rollouts.empty())
    out += Line("%-24s %-10s %6s %6s %7s  %s\n", "rollout", "state", "units", "ok", "failed",
                "created (UTC)");
  for (const rollouts::RolloutSummary& s : rollouts) {
    const GroupCounts all = rollouts::TotalCounts(s);
    out += Line("%-24s %-10s %6d %6d %7d  %s%s\n", s.name.c_str(),
                std::string(rollouts::RolloutStateName(s.state)).c_str(), all.size, all.ok,
                all.failed, history::MillisTableUtc(s.createdAt).c_str(),
                s.waitingGroup ? ("  " + rollouts::WaitingText(s)).c_str() : "");
  }
  return out;
}

std::string_view AttemptEndWord(rollouts::AttemptEnd end) {
  switch (end) {
    case rollouts::AttemptEnd::Ok:
      return "ok";
    case rollouts::AttemptEnd::UnitError:
      return "failed";
    case rollouts::AttemptEnd::Retryable:
      return "retry";
    case rollouts::AttemptEnd::Missing:
      return "missing";
    case rollouts::AttemptEnd::Interrupted:
      return "interrupted";
  }
  return "?";
}

std::string WithoutRunAgainAdvice(std::string detail) {
  for (const std::string lead : {"; ", ", then "}) {
    const std::string advice = lead + std::string(jobs::kRunAgainAdvice);
    if (detail.ends_with(advice)) return detail.substr(0, detail.size() - advice.size());
  }
  return detail;
}

std::string UnitStartedLine(const rollouts::Claim& claim) {
  return "[" + claim.target + "] started (group " + std::to_string(claim.group + 1) + ", attempt " +
         std::to_string(claim.attempts + 1) + ")";
}

std::string UnitRedoneLine(const rollouts::Claim& claim) {
  return "[" + claim.target + "] was in flight when " +
         (claim.previousHolder.empty() ? std::string("its station")
                                       : "station " + claim.previousHolder) +
         " stopped: redoing it";
}

std::string UnitMissingLine(const rollouts::Claim& claim, int askEveryMs) {
  return "[" + claim.target + "] no unit answers yet: asked again every " +
         std::to_string(askEveryMs) + " ms";
}

std::string UnitEndedLine(const std::string& rollout, const rollouts::Claim& claim,
                          rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict,
                          const AttemptLineFacts& facts) {
  const bool failed = verdict.progress == rollouts::UnitProgress::Failed;
  std::string text = "[" + claim.target + "] ";
  text += end == rollouts::AttemptEnd::Retryable && failed ? "failed" : AttemptEndWord(end);
  if (!facts.unit.empty()) text += " (unit " + facts.unit + ")";
  if (end != rollouts::AttemptEnd::Ok) {
    const std::string detail = WithoutRunAgainAdvice(facts.detail);
    if (!detail.empty()) text += ": " + detail;
    if (facts.finalStatus && detail.find(jobs::HexWord(*facts.finalStatus)) == std::string::npos)
      text += "; status " + jobs::StatusInWords(*facts.finalStatus);
    text += "; now " + std::string(rollouts::UnitProgressName(verdict.progress));
    if (end == rollouts::AttemptEnd::Interrupted) text += ", redone by the next run";
    if (failed) text += " (uvq rollout retry " + rollout + " --failed puts it back)";
  }
  if (!verdict.held) text += " (its claim had run out: another station has it now)";
  return text;
}

std::string GroupPassedLine(const GroupCounts& g) {
  return "group " + std::to_string(g.group + 1) + " passed: " + std::to_string(g.ok) + " of " +
         std::to_string(g.size) + " ok, " + std::to_string(g.failed) + " failed";
}

std::optional<std::string> RolloutStateLine(const std::string& rollout,
                                            rollouts::RolloutState state, size_t inFlight,
                                            bool waits) {
  std::string text =
      "rollout '" + rollout + "' is " + std::string(rollouts::RolloutStateName(state));
  if (state == rollouts::RolloutState::Running) {
    text += " again: units start";
  } else if (inFlight > 0) {
    text += ": no new unit starts; " + std::to_string(inFlight) + " in flight finish";
    if (waits) text += ", then this station waits for uvq rollout resume " + rollout;
  } else if (waits) {
    text += ": this station waits for uvq rollout resume " + rollout;
  } else {
    return std::nullopt;
  }
  return text;
}

std::string RolloutEndLine(const std::string& rollout, const std::string& state, int ok, int failed,
                           int redone) {
  return "rollout " + rollout + ": " + state + "; this station: " + std::to_string(ok) + " ok, " +
         std::to_string(failed) + " failed" +
         (redone > 0 ? ", " + std::to_string(redone) + " redone" : std::string()) + "\n";
}

std::vector<std::string> RolloutBoardLines(const std::string& rollout,
                                           const rollouts::RolloutSummary& summary, int barWidth,
                                           int groupsShown) {
  std::vector<std::string> lines;
  const auto& groups = summary.groups;
  const size_t shown = static_cast<size_t>(std::max(groupsShown, 0));
  size_t current = groups.size();
  for (size_t i = 0; i < groups.size(); ++i)
    if (groups[i].pending > 0 || groups[i].running > 0) {
      current = i;
      break;
    }
  const GroupCounts all = rollouts::TotalCounts(summary);
  lines.push_back(Line("rollout %s  %s  %d/%d ok  %d failed  %d running", rollout.c_str(),
                       std::string(rollouts::RolloutStateName(summary.state)).c_str(), all.ok,
                       all.size, all.failed, all.running));
  // The groups around the one being worked on.
  const size_t first =
      current >= 2 ? std::min(current - 2, groups.size() - std::min(shown, groups.size())) : 0;
  for (size_t i = first; i < groups.size() && i < first + shown; ++i) {
    const GroupCounts& g = groups[i];
    const int done = g.size > 0 ? (g.ok + g.failed) * barWidth / g.size : 0;
    const int bad = g.size > 0 ? g.failed * barWidth / g.size : 0;
    std::string bar(static_cast<size_t>(done - bad), '#');
    bar += std::string(static_cast<size_t>(bad), 'x');
    bar += std::string(static_cast<size_t>(barWidth - done), '-');
    lines.push_back(Line(" group %-3zu [%s] %4d/%-4d ok %4d failed %4d running", i + 1, bar.c_str(),
                         g.ok, g.size, g.failed, g.running));
  }
  return lines;
}

}  // namespace uvq::reports
