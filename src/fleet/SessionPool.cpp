// SPDX-License-Identifier: Apache-2.0
#include "fleet/SessionPool.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

namespace uvq::fleet {

namespace {

// One session in flight and nothing more to start: the loop waits in its read itself, in
// slices of this length, which saves a wait call on every reply (as a plain run does).
constexpr int kSingleWaitSliceMs = 10;
constexpr uint64_t kSignalTag = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kSharedTag = kSignalTag - 1;
// How long after a sharer at an address ended before another session there may share: longer
// than any late reply to its last datagram takes.
constexpr auto kSharedQuarantine = std::chrono::seconds(2);
constexpr int kEventsPerWait = 256;
// A read that filled a whole batch most likely left more behind: it is read again at once
// (up to this many batches) rather than after another wait.
constexpr int kBatchesPerWake = 4;

int MillisecondsUntil(std::optional<TimePoint> deadline, TimePoint now) {
  if (!deadline) return -1;
  if (*deadline <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count());
}

void Earliest(std::optional<TimePoint>& into, std::optional<TimePoint> candidate) {
  if (candidate && (!into || *candidate < *into)) into = candidate;
}

}  // namespace

SessionPool::SessionPool(size_t capacity, const StopSource* stop)
    : stop_(stop),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      sharers_(capacity == 0 ? 1 : capacity),
      slots_(capacity == 0 ? 1 : capacity, nullptr) {
  if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  free_.reserve(slots_.size());
  for (size_t i = slots_.size(); i > 0; --i) free_.push_back(i - 1);
  if (const int signals = stop_ ? stop_->descriptor() : -1; signals >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kSignalTag;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, signals, &event) != 0)
      throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
  if (slots_.size() > 1) {
    try {
      shared_ = std::make_unique<link::SharedSocket>();
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = kSharedTag;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, shared_->descriptor(), &event) != 0) shared_.reset();
    } catch (const PlatformError&) {
      shared_.reset();  // every session on a socket of its own
    }
  }
}

SessionPool::~SessionPool() {
  ::close(epoll_);
}

void SessionPool::fill(SessionFeed& feed, TimePoint now) {
  while (!free_.empty()) {
    Session* session = feed.next(free_.size(), now);
    if (!session) {
      feedIdle_ = true;
      return;
    }
    const size_t slot = free_.back();
    start(*session, slot, now);
    if (session->finished()) {  // no socket, a failed send: handed back at once
      if (sharers_.find(session->address().s_addr) == slot)
        sharers_.erase(session->address().s_addr);
      feed.ended(*session, now);
      continue;
    }
    free_.pop_back();
    slots_[slot] = session;
    if (const int socket = session->socket(); socket >= 0) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = slot;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
    Earliest(nextCheck_, session->nextDeadline());
  }
}

void SessionPool::start(Session& session, size_t slot, TimePoint now) {
  session.setRoundClock(&roundNow_);
  const in_addr_t address = session.address().s_addr;
  bool share = shared_ && !sharers_.contains(address);
  if (share)
    if (const auto ended = lastSharedEnd_.find(address);
        ended != lastSharedEnd_.end() && now - ended->second < kSharedQuarantine)
      share = false;
  if (!share) return session.start();
  sharers_.set(address, slot);
  session.startShared(*shared_, slot);
}

// Only what comes from a sharing session's address and the unit port is its reply; the rest is
// dropped, as a connected socket's kernel would drop it.
void SessionPool::receiveShared(SessionFeed& feed) {
  for (int batches = 0; batches < kBatchesPerWake; ++batches) {
    if (batches > 0) roundNow_ = SteadyClock::now();  // the sessions' timers count from it
    if (receiveSharedBatch(feed) < link::SharedSocket::kBatch) return;
  }
}

size_t SessionPool::receiveSharedBatch(SessionFeed& feed) {
  const std::span<const link::SharedSocket::Received> batch = shared_->receive();
  for (const link::SharedSocket::Received& datagram : batch) {
    if (datagram.port != protocol::kUnitPort) continue;
    const std::optional<size_t> found = sharers_.find(datagram.from.s_addr);
    if (!found) continue;
    const size_t slot = *found;
    Session* session = slots_[slot];
    if (!session) continue;
    session->deliver({datagram.bytes.data(), datagram.bytes.size()}, datagram.length);
    if (session->finished())
      endSlot(slot, feed, SteadyClock::now());
    else
      Earliest(nextCheck_, session->nextDeadline());
  }
  return batch.size();
}

// What the replies and timers of a round made the sessions send leaves together.
void SessionPool::flushShared(SessionFeed& feed, TimePoint now) {
  if (!shared_ || shared_->queued() == 0) return;
  std::vector<size_t> failed;
  shared_->flush([&](uint64_t slot, const std::string& why) {
    if (Session* session = slots_[slot]) {
      session->sendFailed(why);
      failed.push_back(slot);
    }
  });
  for (const size_t slot : failed)
    if (slots_[slot] && slots_[slot]->finished()) endSlot(slot, feed, now);
}

// The session's socket was closed when it ended, which took it out of the wait set.
void SessionPool::endSlot(size_t slot, SessionFeed& feed, TimePoint now) {
  Session* session = slots_[slot];
  slots_[slot] = nullptr;
  if (sharers_.find(session->address().s_addr) == slot) {
    sharers_.erase(session->address().s_addr);
    lastSharedEnd_[session->address().s_addr] = now;
  }
  free_.push_back(slot);
  feedIdle_ = false;  // a free slot, and perhaps a retry: the feed is asked again
  feed.ended(*session, now);
}

// Looked at only when the earliest deadline known is due: a reply can only move a session's
// deadline later, so the earliest known one is never too late.
void SessionPool::checkDeadlines(SessionFeed& feed, TimePoint now) {
  nextCheck_.reset();
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    Session* session = slots_[slot];
    if (!session) continue;
    session->onTime(now);
    session->endIfStalled();
    if (session->finished())
      endSlot(slot, feed, now);
    else
      Earliest(nextCheck_, session->nextDeadline());
  }
}

StopCause SessionPool::run(SessionFeed& feed) {
  std::vector<epoll_event> events(kEventsPerWait);
  feedIdle_ = false;
  for (;;) {
    TimePoint now = SteadyClock::now();
    roundNow_ = now;
    if (const StopCause cause = stop_ ? stop_->cause() : StopCause::None;
        cause != StopCause::None) {
      flushShared(feed, now);
      for (size_t slot = 0; slot < slots_.size(); ++slot)
        if (slots_[slot]) {
          slots_[slot]->interrupt(cause);
          endSlot(slot, feed, now);
        }
      feed.roundDone();
      return cause;
    }
    if (const auto tick = feed.nextTick(); tick && *tick <= now) {
      feed.tick(now);
      feedIdle_ = false;
    }
    if (nextCheck_ && *nextCheck_ <= now) checkDeadlines(feed, now);
    if (!free_.empty() && !feedIdle_) fill(feed, now);
    flushShared(feed, now);
    if (inFlight() == 0 && feed.drained()) break;
    feed.roundDone();

    std::optional<TimePoint> wake = nextCheck_;
    Earliest(wake, feed.nextTick());
    now = SteadyClock::now();
    const int timeoutMs = MillisecondsUntil(wake, now);

    size_t onlySlot = 0;
    if (inFlight() == 1)
      while (!slots_[onlySlot]) ++onlySlot;
    if (inFlight() == 1 && slots_[onlySlot]->socket() >= 0 && (free_.empty() || feedIdle_) &&
        timeoutMs != 0) {
      const size_t slot = onlySlot;
      Session& only = *slots_[slot];
      only.receive(timeoutMs < 0 || timeoutMs > kSingleWaitSliceMs ? kSingleWaitSliceMs
                                                                   : timeoutMs);
      if (only.finished())
        endSlot(slot, feed, SteadyClock::now());
      else
        Earliest(nextCheck_, only.nextDeadline());
      continue;
    }
    const int ready =
        ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
    if (ready < 0 && errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "epoll");
    roundNow_ = SteadyClock::now();
    for (int i = 0; i < ready; ++i) {
      const uint64_t tag = events[static_cast<size_t>(i)].data.u64;
      if (tag == kSignalTag) continue;  // the stop's cause is read at the top of the loop
      if (tag == kSharedTag) {
        receiveShared(feed);
        continue;
      }
      Session* session = slots_[tag];
      if (!session) continue;
      session->receive();
      if (session->finished())
        endSlot(tag, feed, SteadyClock::now());
      else
        Earliest(nextCheck_, session->nextDeadline());
    }
  }
  flushShared(feed, SteadyClock::now());
  feed.roundDone();
  return StopCause::None;
}

}  // namespace uvq::fleet
