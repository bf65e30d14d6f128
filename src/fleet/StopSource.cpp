// SPDX-License-Identifier: Apache-2.0
#include "fleet/StopSource.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace uvq::fleet {

static_assert(std::atomic<StopCause>::is_always_lock_free, "request() runs in signal handlers");

StopSource::StopSource() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
}

StopSource::~StopSource() {
  for (const int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void StopSource::request(StopCause cause) noexcept {
  if (cause == StopCause::None) return;
  const int saved = errno;
  StopCause none = StopCause::None;
  cause_.compare_exchange_strong(none, cause, std::memory_order_acq_rel);
  if (pipe_[1] >= 0) {
    const char byte = 1;
    (void)!::write(pipe_[1], &byte, 1);  // a full pipe already says the same
  }
  errno = saved;
}

StopWatch::StopWatch(const StopSource& source, std::function<void()> onStop) {
  // The signals are blocked for the caller's thread and every thread it starts from now on, and
  // taken by this one alone.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  thread_ = std::thread([this, &source, onStop = std::move(onStop), signals] {
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    for (;;) {
      if (source.requested()) return onStop();  // asked before the work ended: still called
      if (dismissed_.requested()) return;
      pollfd wait[2] = {{source.descriptor(), POLLIN, 0}, {dismissed_.descriptor(), POLLIN, 0}};
      // Without its pipes a source is only polled.
      ::poll(wait, 2, wait[0].fd >= 0 && wait[1].fd >= 0 ? -1 : 100);
    }
  });
}

StopWatch::~StopWatch() {
  dismissed_.request(StopCause::Terminate);
  thread_.join();
}

}  // namespace uvq::fleet
