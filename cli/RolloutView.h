// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Fleet.h"
#include "Output.h"
#include "fleet/RolloutEvents.h"
#include "store/rollouts/RolloutStore.h"

namespace uvq::cli {

// What a rollout run shows while it works, looked at once per round at most (never per record):
// - Board: on a terminal (standard error), a few lines redrawn in place at most five times a
//   second: each group with a bar and its counts, the units in flight with their progress.
//   Failures, redone units and the end are written above it as lines that stay.
// - Events: one JSON object a line on standard output (--json), or the same as plain lines
//   when piped: unit started and ended, group passed, rollout stopped, paused, done, summary.
// - Quiet: the end only.
class RolloutView final : public fleet::RolloutEvents {
 public:
  enum class Style { Quiet, Board, Lines, Json };
  RolloutView(Style style, std::string rollout, Output& output);
  ~RolloutView() override;

  Style style() const { return style_; }
  // Written before each plain line (a station serving several rollouts names the rollout).
  void setLinePrefix(std::string prefix) { linePrefix_ = std::move(prefix); }
  // Whether the station waits at a pause (the lines say so), or ends.
  void setWaitsAtPause(bool waits) { waitsAtPause_ = waits; }
  Watching watching() const override;
  // A line that stays (failures, notices): above the board, or a "notice" event.
  void notice(const std::string& line) override;
  void unitStarted(const rollouts::Claim& claim) override;
  void unitRedone(const rollouts::Claim& claim) override;
  void unitEnded(const rollouts::Claim& claim, const SessionResult& result,
                 rollouts::AttemptEnd end, const rollouts::AttemptVerdict& verdict) override;
  void unitMissing(const rollouts::Claim& claim, int askEveryMs) override;
  // The rollout's counts as the store has them now (all stations).
  void counts(const rollouts::RolloutSummary& summary) override;
  void stateChanged(rollouts::RolloutState state, const std::string& reason,
                    size_t inFlight) override;
  void historyProblem(const std::string& problem) override { notice("history: " + problem); }
  // The board redraws them; lines and events say them (every few seconds).
  void inFlight(TimePoint now, const SessionPool& pool) override;
  void roundDone() override { flush(); }
  // Redraws the board when due; `inFlight` lists the sessions working now.
  template <typename ForEach>
  void draw(TimePoint now, ForEach&& forEachInFlight) {
    if (style_ != Style::Board || closed_ || now < nextDraw_) return;
    // "  127.0.5.3 program 812/2049 4.1 s": a line each, the first few.
    std::vector<std::string> flying;
    int more = 0;
    forEachInFlight([&](const Session& session) {
      if (flying.size() >= kInFlightShown) return void(++more);
      flying.push_back("  " + session.target() + " " + jobs::PhaseText(session.phase(), now));
    });
    if (more > 0) flying.push_back("  +" + std::to_string(more) + " more");
    redraw(flying);
    nextDraw_ = now + std::chrono::milliseconds(200);
  }
  // Takes the board off the terminal for good (the end, a signal).
  void close();
  // Writes out what was said (once per round of the run loop).
  void flush() { output_.flush(); }
  // The end: one line (the stop reason, paused, done) and the summary.
  void finished(const std::string& line, const std::string& state, int ok, int failed, int redone,
                int exitCode);

 private:
  static constexpr size_t kInFlightShown = 8;
  void clear();
  void redraw(const std::vector<std::string>& flying);
  void event(const std::string& target, const char* name, const JsonLine& fields,
             const std::string& text);

  Style style_;
  std::string rollout_;
  Output& output_;
  std::optional<rollouts::RolloutSummary> summary_;
  std::set<int> passed_;  // groups said to have passed
  int linesShown_ = 0;
  bool closed_ = false;
  bool waitsAtPause_ = true;
  std::string linePrefix_;
  TimePoint nextDraw_{};
  int width_ = 80;
};

}  // namespace uvq::cli
