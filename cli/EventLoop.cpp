// SPDX-License-Identifier: Apache-2.0
#include "EventLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>
#include <unordered_map>

#include "Interruption.h"

namespace uvq::cli {

namespace {

// One target: the loop waits in the read itself, in slices of this length. A fixed slice keeps
// the socket's time-out unchanged, so a reply costs one call to read it and one to answer it.
constexpr int kSingleWaitSliceMs = 10;
constexpr auto kProgressPeriod = std::chrono::milliseconds(50);
constexpr uint64_t kSignalTag = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kSharedTag = kSignalTag - 1;
constexpr int kEventsPerWait = 256;

int MillisecondsUntil(std::optional<TimePoint> deadline, TimePoint now) {
  if (!deadline) return -1;
  if (*deadline <= now) return 0;
  // Rounded up: waking before the deadline would only spin.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count());
}

void Earliest(std::optional<TimePoint>& into, std::optional<TimePoint> candidate) {
  if (candidate && (!into || *candidate < *into)) into = candidate;
}

class Epoll {
 public:
  Epoll() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  }
  ~Epoll() { ::close(fd_); }
  void add(int descriptor, uint64_t tag) {
    if (descriptor < 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    if (::epoll_ctl(fd_, EPOLL_CTL_ADD, descriptor, &event) != 0)
      throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
  int wait(epoll_event* events, int capacity, int timeoutMs) {
    const int n = ::epoll_wait(fd_, events, capacity, timeoutMs);
    if (n < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "epoll");
    return n < 0 ? 0 : n;
  }

 private:
  int fd_;
};

}  // namespace

// The cost per reply must not grow with the number of targets: the wait reports only the
// sockets that are ready, and the sessions' deadlines are looked at only when the earliest
// one known is due (a reply can only move a session's deadline, which is noted right then).
void RunSessions(const std::vector<std::unique_ptr<Session>>& sessions, Output& output,
                 Progress& progress, int startsPerSecond) {
  Epoll epoll;
  epoll.add(Interruption::Descriptor(), kSignalTag);
  const TimePoint begin = SteadyClock::now();
  const auto startGap =
      startsPerSecond > 0
          ? std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(1)) /
                startsPerSecond
          : SteadyClock::duration::zero();
  size_t started = 0;
  size_t active = 0;  // started and not finished

  // Several targets share one socket, read and written in batches: a few system calls per
  // batch of replies instead of two per record. A target whose address another target of the
  // run also uses keeps a connected socket of its own, where the kernel tells their replies
  // apart by port.
  std::unique_ptr<link::SharedSocket> shared;
  std::unordered_map<in_addr_t, size_t> sharers;  // address -> session, for unique addresses
  if (sessions.size() > 1) {
    std::unordered_map<in_addr_t, size_t> uses;
    for (const auto& session : sessions) ++uses[session->address().s_addr];
    try {
      shared = std::make_unique<link::SharedSocket>();
      epoll.add(shared->descriptor(), kSharedTag);
      for (size_t i = 0; i < sessions.size(); ++i)
        if (uses[sessions[i]->address().s_addr] == 1) sharers[sessions[i]->address().s_addr] = i;
    } catch (const PlatformError&) {
      shared.reset();  // every target on its own socket, as with one target
    }
  }
  const auto sharing = [&](size_t i) {
    if (!shared) return false;
    const auto found = sharers.find(sessions[i]->address().s_addr);
    return found != sharers.end() && found->second == i;
  };
  std::optional<TimePoint> nextCheck;
  TimePoint nextProgress = begin;
  std::vector<epoll_event> events(kEventsPerWait);

  const auto startDue = [&](TimePoint now) {
    while (started < sessions.size() && begin + startGap * static_cast<int64_t>(started) <= now) {
      Session& session = *sessions[started];
      if (sharing(started))
        session.startShared(*shared, started);
      else
        session.start();
      if (!session.finished()) {
        epoll.add(session.socket(), started);
        ++active;
        Earliest(nextCheck, session.nextDeadline());
      }
      ++started;
    }
  };
  // Due timers and stalled sessions; finds the next deadline while at it.
  const auto checkDeadlines = [&](TimePoint now) {
    nextCheck.reset();
    active = 0;
    for (size_t i = 0; i < started; ++i) {
      Session& session = *sessions[i];
      if (session.finished()) continue;
      session.onTime(now);
      session.endIfStalled();
      if (session.finished()) continue;
      ++active;
      Earliest(nextCheck, session.nextDeadline());
    }
  };

  // Each target's last progress line or event comes before its result.
  for (size_t i = 0; i < sessions.size(); ++i)
    sessions[i]->setBeforeResult(
        [&progress, i](const Session& session) { progress.sessionEnded(i, session); });
  startDue(begin);
  output.flush();
  for (;;) {
    if (const ExitCode signal = Interruption::Pending(); signal != ExitCode::Ok) {
      // Sessions a scan had not started yet end too, as interrupted.
      for (const auto& session : sessions) session->interrupt(signal);
      break;
    }
    TimePoint now = SteadyClock::now();
    if (started < sessions.size()) startDue(now);
    if (nextCheck && *nextCheck <= now) checkDeadlines(now);
    if (active == 0 && started == sessions.size()) break;
    if (now >= nextProgress) {
      progress.update(now, sessions);
      nextProgress = now + kProgressPeriod;
    }
    output.flush();

    // What the replies and timers of this round made the sessions send leaves now, together.
    if (shared && shared->queued() > 0) {
      shared->flush([&](uint64_t tag, const std::string& why) {
        sessions[tag]->sendFailed(why);
        nextCheck = now;  // counted again at once
      });
      if (nextCheck && *nextCheck <= now) continue;
    }

    std::optional<TimePoint> wake = nextCheck;
    if (started < sessions.size()) Earliest(wake, begin + startGap * static_cast<int64_t>(started));
    const int timeoutMs = MillisecondsUntil(wake, now);

    if (active == 1 && started == sessions.size() && timeoutMs != 0) {
      // One target on a socket of its own: wait in its read itself, which saves a wait call on
      // every reply.
      Session* only = nullptr;
      for (const auto& session : sessions)
        if (!session->finished()) only = session.get();
      if (only->socket() >= 0) {
        only->receive(timeoutMs < 0 || timeoutMs > kSingleWaitSliceMs ? kSingleWaitSliceMs
                                                                      : timeoutMs);
        Earliest(nextCheck, only->nextDeadline());
        if (only->finished()) active = 0;
        continue;
      }
    }
    const int ready = epoll.wait(events.data(), static_cast<int>(events.size()), timeoutMs);
    for (int i = 0; i < ready; ++i) {
      const uint64_t tag = events[static_cast<size_t>(i)].data.u64;
      if (tag == kSignalTag) continue;  // Pending() says which at the top of the loop
      if (tag == kSharedTag) {
        // Only what comes from a sharing target's address and the unit port is its reply; the
        // rest is dropped, as a connected socket's kernel would drop it.
        for (const link::SharedSocket::Received& datagram : shared->receive()) {
          if (datagram.port != protocol::kUnitPort) continue;
          const auto found = sharers.find(datagram.from.s_addr);
          if (found == sharers.end()) continue;
          Session& session = *sessions[found->second];
          if (session.finished() || !session.started()) continue;
          session.deliver({datagram.bytes.data(), datagram.bytes.size()}, datagram.length);
          if (session.finished())
            --active;
          else
            Earliest(nextCheck, session.nextDeadline());
        }
        continue;
      }
      Session& session = *sessions[tag];
      if (session.finished()) continue;
      session.receive();
      if (session.finished())
        --active;
      else
        Earliest(nextCheck, session.nextDeadline());
    }
  }
  if (shared) shared->flush({});  // an interrupted run's last words to its units
  progress.update(SteadyClock::now(), sessions);
  progress.finish();
  output.flush();
}

}  // namespace uvq::cli
