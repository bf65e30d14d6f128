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
    : stream_(stream), style_(style), output_(output), prefixTargets_(prefixTargets) {}

void Progress::update(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  switch (style_) {
    case Style::None:
      return;
    case Style::Bar:
      if (now < nextDraw_) return;
      nextDraw_ = now + kBarPeriod;
      return drawBar(now, sessions);
    case Style::Lines:
    case Style::Events:
      return reportLines(now, sessions);
  }
}

void Progress::drawBar(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  int64_t done = 0;
  int64_t total = 0;
  int running = 0;
  TimePoint earliest = now;
  for (const auto& session : sessions) {
    const RunFigures& f = session->figures();
    if (!f.running) continue;
    ++running;
    done += f.acknowledged;
    total += f.total;
    if (f.started < earliest) earliest = f.started;
  }
  if (running == 0) {
    finish();
    return;
  }
  const double fraction = total > 0 ? std::min(1.0, static_cast<double>(done) / total) : 0.0;
  const double elapsed = Seconds(earliest, now);
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  const double left = rate > 0 ? static_cast<double>(total - done) / rate : NAN;
  const int filled = static_cast<int>(fraction * kBarWidth);
  char line[160];
  std::snprintf(line, sizeof line, "\r[%.*s%.*s] %5.1f %%  %8.0f rec/s  %s left  (%d unit%s)\033[K",
                filled, "##############################", kBarWidth - filled,
                "------------------------------", fraction * 100.0, rate,
                MinutesSeconds(left).c_str(), running, running == 1 ? "" : "s");
  std::fputs(line, stream_);
  std::fflush(stream_);
  barShown_ = true;
}

void Progress::reportLines(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions) {
  if (states_.size() != sessions.size())
    states_.assign(sessions.size(), TargetState{0, now - kLinePeriod});
  for (size_t i = 0; i < sessions.size(); ++i) {
    const RunFigures& f = sessions[i]->figures();
    if (!f.running || f.total <= 0) continue;
    TargetState& state = states_[i];
    const int tenth = static_cast<int>(std::min<int64_t>(10, f.acknowledged * 10 / f.total));
    if (tenth <= state.reportedTenth && now - state.reportedAt < kLinePeriod) continue;
    state.reportedTenth = std::max(state.reportedTenth, tenth);
    state.reportedAt = now;
    const double elapsed = Seconds(f.started, now);
    const double rate = elapsed > 0 ? static_cast<double>(f.acknowledged) / elapsed : 0.0;
    const double percent =
        100.0 * static_cast<double>(f.acknowledged) / static_cast<double>(f.total);
    if (style_ == Style::Events) {
      JsonLine fields;
      fields.field("records", f.acknowledged)
          .field("total", f.total)
          .field("percent", percent)
          .field("records_per_second", rate);
      output_.event(sessions[i]->target(), "progress", fields);
      continue;
    }
    const std::string prefix = prefixTargets_ ? "[" + sessions[i]->target() + "] " : "";
    std::fprintf(stream_, "%sprogramming %3.0f %% (%lld/%lld records, %.0f records/s)\n",
                 prefix.c_str(), percent, static_cast<long long>(f.acknowledged),
                 static_cast<long long>(f.total), rate);
    std::fflush(stream_);
  }
}

void Progress::finish() {
  if (!barShown_) return;
  std::fputs("\r\033[K", stream_);
  std::fflush(stream_);
  barShown_ = false;
}

}  // namespace uvq::cli
