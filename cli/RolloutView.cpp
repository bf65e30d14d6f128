// SPDX-License-Identifier: Apache-2.0
#include "RolloutView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "SessionOutput.h"
#include "jobs/StatusText.h"
#include "reports/RolloutText.h"
#include "reports/TerminalText.h"

namespace uvq::cli {

RolloutView::RolloutView(Style style, std::string rollout, Output& output)
    : style_(style), rollout_(std::move(rollout)), output_(output) {
  if (style_ == Style::Board) {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) width_ = size.ws_col;
    // Anything the sessions write to standard output takes the board off first.
    output_.setBeforeLine([this] { clear(); });
  }
}

RolloutView::~RolloutView() {
  close();
}

void RolloutView::clear() {
  if (linesShown_ == 0) return;
  std::fprintf(stderr, "\033[%dA\r\033[J", linesShown_);
  std::fflush(stderr);
  linesShown_ = 0;
  nextDraw_ = TimePoint{};
}

void RolloutView::close() {
  clear();
  closed_ = true;
}

void RolloutView::event(const std::string& target, const char* name, const JsonLine& fields,
                        const std::string& text) {
  switch (style_) {
    case Style::Quiet:
      return;
    case Style::Json:
      return output_.event(target, name, fields);
    case Style::Lines:
      return output_.text(linePrefix_ + text + "\n");
    case Style::Board:
      clear();
      std::fprintf(stderr, "%s\n", reports::Escaped(text).c_str());
      std::fflush(stderr);
      return;
  }
}

void RolloutView::notice(const std::string& line) {
  JsonLine f;
  f.field("rollout", rollout_).field("line", line);
  if (style_ == Style::Quiet) {
    std::fprintf(stderr, "uvq: %s\n", reports::Escaped(line).c_str());
    return;
  }
  event("", "notice", f, line);
}

fleet::RolloutEvents::Watching RolloutView::watching() const {
  switch (style_) {
    case Style::Quiet:
      return Watching::EndOnly;
    case Style::Board:
      return Watching::Live;
    case Style::Lines:
    case Style::Json:
      break;
  }
  return Watching::Changes;
}

void RolloutView::unitRedone(const rollouts::Claim& claim) {
  notice(reports::UnitRedoneLine(claim));
}

void RolloutView::unitMissing(const rollouts::Claim& claim, int askEveryMs) {
  notice(reports::UnitMissingLine(claim, askEveryMs));
}

// A paused, stopped or cancelled rollout starts no new unit; those in flight finish. A station
// that waits at a pause says so, and again when the rollout goes on.
void RolloutView::stateChanged(rollouts::RolloutState state, const std::string& reason,
                               size_t inFlight) {
  const bool waits = state == rollouts::RolloutState::Paused && waitsAtPause_;
  const std::optional<std::string> line =
      reports::RolloutStateLine(rollout_, state, inFlight, waits);
  if (!line) return;  // said by the end's line
  const std::string& text = *line;
  JsonLine f;
  f.field("rollout", rollout_)
      .field("state", std::string(rollouts::RolloutStateName(state)))
      .field("reason", reason)
      .field("in_flight", static_cast<int64_t>(inFlight))
      .field("waits", waits)
      .field("line", text);
  event("", "rollout_state", f, text);
}

void RolloutView::unitStarted(const rollouts::Claim& claim) {
  if (style_ == Style::Board) return;  // the board shows it in flight
  JsonLine f;
  f.field("rollout", rollout_)
      .field("group", claim.group + 1)
      .field("attempt", claim.attempts + 1)
      .field("redo", claim.redo);
  event(claim.target, "unit_started", f, reports::UnitStartedLine(claim));
}

void RolloutView::unitEnded(const rollouts::Claim& claim, const SessionResult& result,
                            rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict) {
  const std::string progress(rollouts::UnitProgressName(verdict.progress));
  JsonLine f;
  f.field("rollout", rollout_)
      .field("group", claim.group + 1)
      .field("attempt", claim.attempts + 1)
      .field("end", std::string(reports::AttemptEndWord(end)))
      .field("outcome", jobs::OutcomeIdentifier(result.outcome))
      .field("progress", progress)
      .field("unit", result.unit)
      .field("records", result.records)
      .field("seconds", result.seconds)
      .field("detail", result.detail);
  if (result.finalStatus)
    f.field("status", jobs::HexWord(*result.finalStatus));
  else
    f.null("status");
  const std::string text = reports::UnitEndedLine(rollout_, claim, end, verdict,
                                                  {result.unit, result.detail, result.finalStatus});
  // The board shows successes in its counts; everything else stays as a line.
  if (style_ == Style::Board && end == rollouts::AttemptEnd::Ok && verdict.held) return;
  event(claim.target, "unit_ended", f, text);
}

void RolloutView::counts(const rollouts::RolloutSummary& summary) {
  for (const rollouts::GroupCounts& g : summary.groups) {
    const bool ended = g.pending == 0 && g.running == 0 && g.size > 0;
    if (!ended || passed_.count(g.group) > 0) continue;
    if (g.ok * 100 < summary.successThreshold * g.size) continue;
    passed_.insert(g.group);
    // Said only for groups that end while this run watches; earlier ones are known at start.
    if (!summary_) continue;
    JsonLine f;
    f.field("rollout", rollout_)
        .field("group", g.group + 1)
        .field("ok", g.ok)
        .field("failed", g.failed)
        .field("size", g.size);
    event("", "group_passed", f, reports::GroupPassedLine(g));
  }
  summary_ = summary;
}

void RolloutView::inFlight(TimePoint now, const SessionPool& pool) {
  if (style_ == Style::Board)
    return draw(now, [&pool](auto&& visit) { pool.forEachInFlight(visit); });
  if (style_ == Style::Lines || style_ == Style::Json) SayInFlight(output_, pool, now, rollout_);
}

void RolloutView::redraw(const std::vector<std::string>& flying) {
  if (!summary_) return;
  std::vector<std::string> lines = reports::RolloutBoardLines(rollout_, *summary_);
  if (!flying.empty()) {
    lines.emplace_back(" in flight:");
    lines.insert(lines.end(), flying.begin(), flying.end());
  }
  clear();
  std::string out;
  for (std::string& text : lines) {
    std::string shown = reports::Escaped(text);
    if (shown.size() >= static_cast<size_t>(width_)) shown.resize(static_cast<size_t>(width_) - 1);
    out += shown + "\n";
  }
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
  linesShown_ = static_cast<int>(lines.size());
}

void RolloutView::finished(const std::string& line, const std::string& state, int ok, int failed,
                           int redone, int exitCode) {
  close();
  if (!line.empty()) {
    if (style_ == Style::Json) {
      JsonLine f;
      f.field("rollout", rollout_).field("line", line);
      output_.event("", ("rollout_" + state).c_str(), f);
    } else {
      std::fprintf(stderr, "uvq: %s\n", reports::Escaped(line).c_str());
    }
  }
  if (style_ == Style::Json) {
    JsonLine f;
    f.field("rollout", rollout_)
        .field("state", state)
        .field("ok", ok)
        .field("failed", failed)
        .field("redone", redone)
        .field("exit_code", exitCode);
    output_.event("", "summary", f);
  } else {
    const std::string text = reports::RolloutEndLine(rollout_, state, ok, failed, redone);
    output_.text(text);
  }
  output_.flush();
}

}  // namespace uvq::cli
