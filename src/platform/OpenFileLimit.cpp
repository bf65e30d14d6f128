// SPDX-License-Identifier: Apache-2.0
#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

namespace uvq::platform {

size_t RaiseOpenFileLimit(size_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t target = static_cast<rlim_t>(wanted);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || target < limit.rlim_max ? target : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<size_t>(limit.rlim_cur);
}

}  // namespace uvq::platform
