// SPDX-License-Identifier: Apache-2.0
#include "RolloutView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "SessionOutput.h"
#include "StatusText.h"
#include "jobs/UnitJob.h"
#include "reports/TerminalText.h"

namespace uvq::cli {

namespace {

constexpr int kBarWidth = 20;
constexpr int kGroupsShown = 6;

// The job's detail without its advice for a plain run: a rollout retries by itself, and says
// how to put a failed unit back.
std::string WithoutRunAgainAdvice(std::string detail) {
  for (const std::string lead : {"; ", ", then "}) {
    const std::string advice = lead + std::string(jobs::kRunAgainAdvice);
    if (detail.ends_with(advice)) return detail.substr(0, detail.size() - advice.size());
  }
  return detail;
}

std::string EndWord(rollouts::AttemptEnd end) {
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

}  // namespace

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
  notice("[" + claim.target + "] was in flight when " +
         (claim.previousHolder.empty() ? std::string("its station")
                                       : "station " + claim.previousHolder) +
         " stopped: redoing it");
}

void RolloutView::unitMissing(const rollouts::Claim& claim, int askEveryMs) {
  notice("[" + claim.target + "] no unit answers yet: asked again every " +
         std::to_string(askEveryMs) + " ms");
}

// A paused, stopped or cancelled rollout starts no new unit; those in flight finish. A station
// that waits at a pause says so, and again when the rollout goes on.
void RolloutView::stateChanged(rollouts::RolloutState state, const std::string& reason,
                               size_t inFlight) {
  using rollouts::RolloutState;
  const bool waits = state == RolloutState::Paused && waitsAtPause_;
  std::string text =
      "rollout '" + rollout_ + "' is " + std::string(rollouts::RolloutStateName(state));
  if (state == RolloutState::Running) {
    text += " again: units start";
  } else if (inFlight > 0) {
    text += ": no new unit starts; " + std::to_string(inFlight) + " in flight finish";
    if (waits) text += ", then this station waits for uvq rollout resume " + rollout_;
  } else if (waits) {
    text += ": this station waits for uvq rollout resume " + rollout_;
  } else {
    return;  // said by the end's line
  }
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
  event(claim.target, "unit_started", f,
        "[" + claim.target + "] started (group " + std::to_string(claim.group + 1) + ", attempt " +
            std::to_string(claim.attempts + 1) + ")");
}

void RolloutView::unitEnded(const rollouts::Claim& claim, const SessionResult& result,
                            rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict) {
  const std::string progress(rollouts::UnitProgressName(verdict.progress));
  JsonLine f;
  f.field("rollout", rollout_)
      .field("group", claim.group + 1)
      .field("attempt", claim.attempts + 1)
      .field("end", EndWord(end))
      .field("outcome", jobs::OutcomeIdentifier(result.outcome))
      .field("progress", progress)
      .field("unit", result.unit)
      .field("records", result.records)
      .field("seconds", result.seconds)
      .field("detail", result.detail);
  if (result.finalStatus)
    f.field("status", HexWord(*result.finalStatus));
  else
    f.null("status");
  // An attempt that may be retried but has no attempt left is a failure, said as one.
  const bool failed = verdict.progress == rollouts::UnitProgress::Failed;
  std::string text = "[" + claim.target + "] ";
  text += end == rollouts::AttemptEnd::Retryable && failed ? "failed" : EndWord(end);
  if (!result.unit.empty()) text += " (unit " + result.unit + ")";
  if (end != rollouts::AttemptEnd::Ok) {
    const std::string detail = WithoutRunAgainAdvice(result.detail);
    if (!detail.empty()) text += ": " + detail;
    // The status once: a unit's error already names it in its detail.
    if (result.finalStatus && detail.find(HexWord(*result.finalStatus)) == std::string::npos)
      text += "; status " + StatusInWords(*result.finalStatus);
    text += "; now " + progress;
    if (end == rollouts::AttemptEnd::Interrupted) text += ", redone by the next run";
    if (failed) text += " (uvq rollout retry " + rollout_ + " --failed puts it back)";
  }
  if (!verdict.held) text += " (its claim had run out: another station has it now)";
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
    event("", "group_passed", f,
          "group " + std::to_string(g.group + 1) + " passed: " + std::to_string(g.ok) + " of " +
              std::to_string(g.size) + " ok, " + std::to_string(g.failed) + " failed");
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
  std::vector<std::string> lines;
  int ok = 0, failed = 0, size = 0, running = 0;
  size_t current = summary_->groups.size();
  for (size_t i = 0; i < summary_->groups.size(); ++i) {
    const rollouts::GroupCounts& g = summary_->groups[i];
    ok += g.ok, failed += g.failed, size += g.size, running += g.running;
    if (current == summary_->groups.size() && (g.pending > 0 || g.running > 0)) current = i;
  }
  char line[256];
  std::snprintf(line, sizeof line, "rollout %s  %s  %d/%d ok  %d failed  %d running",
                rollout_.c_str(), std::string(rollouts::RolloutStateName(summary_->state)).c_str(),
                ok, size, failed, running);
  lines.emplace_back(line);
  // The groups around the one being worked on.
  const size_t first =
      current >= 2
          ? std::min(current - 2, summary_->groups.size() -
                                      std::min<size_t>(kGroupsShown, summary_->groups.size()))
          : 0;
  for (size_t i = first; i < summary_->groups.size() && i < first + kGroupsShown; ++i) {
    const rollouts::GroupCounts& g = summary_->groups[i];
    const int done = g.size > 0 ? (g.ok + g.failed) * kBarWidth / g.size : 0;
    const int bad = g.size > 0 ? g.failed * kBarWidth / g.size : 0;
    std::string bar(static_cast<size_t>(done - bad), '#');
    bar += std::string(static_cast<size_t>(bad), 'x');
    bar += std::string(static_cast<size_t>(kBarWidth - done), '-');
    std::snprintf(line, sizeof line, " group %-3zu [%s] %4d/%-4d ok %4d failed %4d running", i + 1,
                  bar.c_str(), g.ok, g.size, g.failed, g.running);
    lines.emplace_back(line);
  }
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
    char text[256];
    std::snprintf(text, sizeof text, "rollout %s: %s; this station: %d ok, %d failed%s\n",
                  rollout_.c_str(), state.c_str(), ok, failed,
                  redone > 0 ? (", " + std::to_string(redone) + " redone").c_str() : "");
    output_.text(text);
  }
  output_.flush();
}

}  // namespace uvq::cli
