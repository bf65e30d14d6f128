// SPDX-License-Identifier: Apache-2.0
#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

#include <algorithm>

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

ParallelInLimit ParallelUnderLimit(size_t wanted, size_t limit, size_t others) {
  wanted = std::max<size_t>(wanted, 1);
  if (limit >= wanted + others) return {wanted, {}};
  const size_t possible = limit > others + 1 ? limit - others : 1;
  return {possible, "the open-file limit is " + std::to_string(limit) +
                        " (the hard limit; ulimit -Hn): " + std::to_string(possible) +
                        " units at once instead of " + std::to_string(wanted)};
}

ParallelInLimit PossibleParallel(size_t wanted, size_t others) {
  return ParallelUnderLimit(wanted, RaiseOpenFileLimit(wanted + others), others);
}

}  // namespace uvq::platform
