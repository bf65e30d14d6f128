// SPDX-License-Identifier: Apache-2.0
#include "EventLoop.h"

#include <algorithm>
#include <chrono>

#include "Interruption.h"
#include "SessionPool.h"

namespace uvq::cli {

namespace {

constexpr auto kProgressPeriod = std::chrono::milliseconds(50);

// The targets of a plain run, in their order: all at once, or `startsPerSecond` of them a second
// (a scan). The progress display is updated on the pool's ticks, never per record.
class TargetFeed final : public SessionFeed {
 public:
  TargetFeed(const std::vector<std::unique_ptr<Session>>& sessions, Progress& progress,
             int startsPerSecond, TimePoint begin)
      : sessions_(sessions),
        progress_(progress),
        begin_(begin),
        gap_(startsPerSecond > 0
                 ? std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(1)) /
                       startsPerSecond
                 : SteadyClock::duration::zero()),
        nextProgress_(begin) {}

  Session* next(size_t /*freeSlots*/, TimePoint now) override {
    if (started_ == sessions_.size() || nextStart() > now) return nullptr;
    return sessions_[started_++].get();
  }
  void ended(Session& /*session*/, TimePoint /*now*/) override {}
  void tick(TimePoint now) override {
    if (now < nextProgress_) return;
    progress_.update(now, sessions_);
    nextProgress_ = now + kProgressPeriod;
  }
  std::optional<TimePoint> nextTick() const override {
    if (started_ < sessions_.size()) return std::min(nextProgress_, nextStart());
    return nextProgress_;
  }
  bool drained() const override { return started_ == sessions_.size(); }

 private:
  TimePoint nextStart() const { return begin_ + gap_ * static_cast<int64_t>(started_); }

  const std::vector<std::unique_ptr<Session>>& sessions_;
  Progress& progress_;
  TimePoint begin_;
  SteadyClock::duration gap_;
  TimePoint nextProgress_;
  size_t started_ = 0;
};

}  // namespace

void RunSessions(const std::vector<std::unique_ptr<Session>>& sessions, Output& output,
                 Progress& progress, int startsPerSecond) {
  // Each target's last progress line or event comes before its result.
  for (size_t i = 0; i < sessions.size(); ++i)
    sessions[i]->setBeforeResult(
        [&progress, i](const Session& session) { progress.sessionEnded(i, session); });
  SessionPool pool(std::max<size_t>(sessions.size(), 1));
  TargetFeed feed(sessions, progress, startsPerSecond, SteadyClock::now());
  // Targets a scan had not started yet end too, as interrupted.
  if (const ExitCode signal = pool.run(feed, output); signal != ExitCode::Ok)
    for (const auto& session : sessions) session->interrupt(signal);
  progress.update(SteadyClock::now(), sessions);
  progress.finish();
  output.flush();
}

}  // namespace uvq::cli
