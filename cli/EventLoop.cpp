#include "EventLoop.h"

#include <poll.h>

#include <cerrno>
#include <system_error>

namespace uvq::cli {

namespace {

constexpr int kSingleWaitSliceMs = 10;

// Due timers, stalled sessions and the progress display, after every wait.
void afterWait(const std::vector<Session*>& polled,
               const std::vector<std::unique_ptr<Session>>& sessions, Progress& progress,
               Output& output) {
  const TimePoint now = SteadyClock::now();
  for (Session* session : polled) {
    session->onTime(now);
    session->endIfStalled();
  }
  progress.update(now, sessions);
  output.flush();
}

}  // namespace

void RunSessions(const std::vector<std::unique_ptr<Session>>& sessions, Output& output,
                 Progress& progress) {
  for (const auto& session : sessions) session->start();
  output.flush();

  std::vector<pollfd> fds;
  std::vector<Session*> polled;
  fds.reserve(sessions.size());
  polled.reserve(sessions.size());
  for (;;) {
    fds.clear();
    polled.clear();
    std::optional<TimePoint> next;
    for (const auto& session : sessions) {
      if (session->finished()) continue;
      fds.push_back({session->socket(), POLLIN, 0});
      polled.push_back(session.get());
      const std::optional<TimePoint> deadline = session->nextDeadline();
      if (deadline && (!next || *deadline < *next)) next = deadline;
    }
    if (polled.empty()) break;

    int timeoutMs = -1;
    if (next) {
      const auto left = *next - SteadyClock::now();
      // Rounded up: waking before the deadline would only spin.
      timeoutMs =
          left <= SteadyClock::duration::zero()
              ? 0
              : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    if (polled.size() == 1 && timeoutMs != 0) {
      // One target: wait in the read itself, in short slices so the deadlines are still met.
      // That saves the poll() on every reply, a third of the calls a record costs.
      polled[0]->receive(timeoutMs < 0 || timeoutMs > kSingleWaitSliceMs ? kSingleWaitSliceMs
                                                                         : timeoutMs);
      afterWait(polled, sessions, progress, output);
      continue;
    }
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "poll");
    if (ready > 0) {
      for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) polled[i]->receive();
    }
    afterWait(polled, sessions, progress, output);
  }
  progress.finish();
  output.flush();
}

}  // namespace uvq::cli
