// SPDX-License-Identifier: Apache-2.0
#include "fleet/StopSource.h"

#include <fcntl.h>
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

}  // namespace uvq::fleet
