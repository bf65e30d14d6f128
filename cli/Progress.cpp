// SPDX-License-Identifier: Apache-2.0
#include "Progress.h"

#include <cmath>
#include <string>

namespace uvq::cli {
namespace {

constexpr auto kBarPeriod = std::chrono::milliseconds(100);
constexpr auto kLinePeriod = std::chrono::seconds(2);
constexpr int kBarWidth = 30;

double Seconds(TimePoint from, TimePoint to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

std::string MinutesSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "--:--";
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

Progress::Progress(std::FILE* stream, Style style, Output& output, bool prefixTargets)
    : stream_(stream), style_(style), output_(output), prefixTargets_(prefixTargets) {
  if (style_ == Style::Bar) output_.setBeforeLine([this] { clearForLine(); });
}

void Progress::update(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  switch (style_) {
    case Style::None:
      return;
    case Style::Bar:
      if (now < nextDraw_ || barEnded_) return;
      return drawBar(now, sessions);
    case Style::Lines:
    case Style::Events:
      return reportLines(now, sessions);
  }
}

// Runs that have ended stay in the sums with their end figures, so the last drawing shows where
// every run ended: 100 % when all completed.
void Progress::drawBar(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  int64_t done = 0;
  int64_t total = 0;
  int running = 0;
  int runs = 0;
  bool runsToCome = false;  // a session still before its run
  TimePoint earliest = now;
  TimePoint latestEnd{};
  for (const auto& session : sessions) {
    const fleet::RunFigures& f = session->figures();
    if (f.total == 0) {
      runsToCome = runsToCome || !session->finished();
      continue;
    }
    ++runs;
    if (f.running) ++running;
    done += static_cast<int64_t>(f.acknowledged);
    total += static_cast<int64_t>(f.total);
    if (f.started < earliest) earliest = f.started;
    if (!f.running) {
      const auto end = f.started + std::chrono::duration_cast<fleet::SteadyClock::duration>(
                                       std::chrono::duration<double>(session->result().seconds));
      if (end > latestEnd) latestEnd = end;
    }
  }
  if (runs == 0) return;
  const bool last = running == 0 && !runsToCome;
  nextDraw_ = now + kBarPeriod;
  const double fraction = total > 0 ? std::min(1.0, static_cast<double>(done) / total) : 0.0;
  const double elapsed = Seconds(earliest, last ? latestEnd : now);
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  char tail[64];
  if (last) {
    std::snprintf(tail, sizeof tail, "in %s", MinutesSeconds(elapsed).c_str());
  } else {
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : NAN;
    std::snprintf(tail, sizeof tail, "%s left", MinutesSeconds(left).c_str());
  }
  const int units = running > 0 ? running : runs;
  char line[200];
  std::snprintf(line, sizeof line, "\r[%.*s%.*s] %5.1f %%  %8.0f rec/s  %s  (%d unit%s)\033[K%s",
                filled, "##############################", kBarWidth - filled,
                "------------------------------", fraction * 100.0, rate, tail, units,
                units == 1 ? "" : "s", last ? "\n" : "");
  std::fputs(line, stream_);
  std::fflush(stream_);
  barShown_ = !last;
  barEnded_ = last;
}

void Progress::reportLines(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  if (states_.size() < sessions.size())
    states_.resize(sessions.size(), TargetState{0, now - kLinePeriod, false});
  for (size_t i = 0; i < sessions.size(); ++i) {
    const fleet::RunFigures& f = sessions[i]->figures();
    if (f.total == 0) continue;
    TargetState& state = states_[i];
    if (!f.running) {
      // Where the run ended, once: 100 % when it completed.
      if (state.endReported) continue;
      state.endReported = true;
      report(*sessions[i], static_cast<int64_t>(f.acknowledged), static_cast<int64_t>(f.total),
             sessions[i]->result().seconds);
      continue;
    }
    const int tenth = static_cast<int>(std::min<uint64_t>(10, f.acknowledged * 10 / f.total));
    if (tenth <= state.reportedTenth && now - state.reportedAt < kLinePeriod) continue;
    state.reportedTenth = std::max(state.reportedTenth, tenth);
    state.reportedAt = now;
    report(*sessions[i], static_cast<int64_t>(f.acknowledged), static_cast<int64_t>(f.total),
           Seconds(f.started, now));
  }
}

void Progress::sessionEnded(size_t index, const Session& session) {
  if (style_ != Style::Lines && style_ != Style::Events) return;
  const fleet::RunFigures& f = session.figures();
  if (f.total == 0) return;
  if (states_.size() <= index) states_.resize(index + 1, TargetState{0, TimePoint{}, false});
  if (states_[index].endReported) return;
  states_[index].endReported = true;
  report(session, static_cast<int64_t>(f.acknowledged), static_cast<int64_t>(f.total),
         session.result().seconds);
}

void Progress::report(const Session& session, int64_t records, int64_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(records) / seconds : 0.0;
  const double percent = 100.0 * static_cast<double>(records) / static_cast<double>(total);
  if (style_ == Style::Events) {
    JsonLine fields;
    fields.field("records", records)
        .field("total", total)
        .field("percent", percent)
        .field("records_per_second", rate);
    output_.event(session.target(), "progress", fields);
    return;
  }
  const std::string prefix = prefixTargets_ ? "[" + session.target() + "] " : "";
  std::fprintf(stream_, "%sprogramming %3.0f %% (%lld/%lld records, %.0f records/s)\n",
               prefix.c_str(), percent, static_cast<long long>(records),
               static_cast<long long>(total), rate);
  std::fflush(stream_);
}

void Progress::clearForLine() {
  if (!barShown_) return;
  std::fputs("\r\033[K", stream_);
  std::fflush(stream_);
  barShown_ = false;
  nextDraw_ = TimePoint{};  // drawn again at the next update, below the line
}

void Progress::finish() {
  if (!barShown_) return;
  // Still shown: a run ended without the loop seeing it. Leave the bar on its own line.
  std::fputs("\n", stream_);
  std::fflush(stream_);
  barShown_ = false;
  barEnded_ = true;
}

}  // namespace uvq::cli
