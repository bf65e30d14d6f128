// SPDX-License-Identifier: Apache-2.0
#include "fleet/BatchRun.h"

#include <algorithm>
#include <chrono>

#include "fleet/SessionPool.h"

namespace uvq::fleet {

namespace {

constexpr auto kProgressPeriod = std::chrono::milliseconds(50);

// The targets of a plain run, in their order: all at once, or `startsPerSecond` of them a second
// (a scan). The progress display is updated on the pool's ticks, never per record.
class TargetFeed final : public SessionFeed {
 public:
  TargetFeed(const std::vector<std::unique_ptr<Session>>& sessions, BatchEvents& events,
             int startsPerSecond, TimePoint begin)
      : sessions_(sessions),
        events_(events),
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
    events_.progress(now);
    nextProgress_ = now + kProgressPeriod;
  }
  std::optional<TimePoint> nextTick() const override {
    if (started_ < sessions_.size()) return std::min(nextProgress_, nextStart());
    return nextProgress_;
  }
  bool drained() const override { return started_ == sessions_.size(); }
  void roundDone() override { events_.roundDone(); }

 private:
  TimePoint nextStart() const { return begin_ + gap_ * static_cast<int64_t>(started_); }

  const std::vector<std::unique_ptr<Session>>& sessions_;
  BatchEvents& events_;
  TimePoint begin_;
  SteadyClock::duration gap_;
  TimePoint nextProgress_;
  size_t started_ = 0;
};

}  // namespace

StopCause RunBatch(const std::vector<std::unique_ptr<Session>>& sessions, const StopSource* stop,
                   BatchEvents& events, int startsPerSecond) {
  SessionPool pool(std::max<size_t>(sessions.size(), 1), stop);
  TargetFeed feed(sessions, events, startsPerSecond, SteadyClock::now());
  const StopCause cause = pool.run(feed);
  if (cause != StopCause::None)
    for (const auto& session : sessions) session->interrupt(cause);
  events.progress(SteadyClock::now());
  events.roundDone();
  return cause;
}

}  // namespace uvq::fleet
