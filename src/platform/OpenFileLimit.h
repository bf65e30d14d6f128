// SPDX-License-Identifier: Apache-2.0
#pragma once

// The process's limit on open files, raised for runs that hold a socket per unit at once.

#include <cstddef>
#include <string>

namespace uvq::platform {

// Raises this process's soft limit on open files to `wanted` (every target's socket at once,
// and a few more), up to the hard limit; never lowers it. Returns the soft limit now in force.
size_t RaiseOpenFileLimit(size_t wanted);

// How many units may be in flight at once when each holds a socket and `others` descriptors are
// kept for the rest (standard streams, the signal pipe, the pool's wait, databases, locks).
struct ParallelInLimit {
  size_t parallel = 1;
  std::string note;  // set when fewer than wanted: the limit in words
};
// Under an open-file limit of `limit`: `wanted` (at least one), or what is left beside `others`
// (at least one).
ParallelInLimit ParallelUnderLimit(size_t wanted, size_t limit, size_t others);
// Descriptors a run keeps beside its units' sockets: standard streams, the signal pipe, the
// pool's wait, the databases and log, the unit locks' probes.
inline constexpr size_t kOtherDescriptors = 64;
// The limit raised for `wanted` units first (RaiseOpenFileLimit), then ParallelUnderLimit.
ParallelInLimit PossibleParallel(size_t wanted, size_t others = kOtherDescriptors);

}  // namespace uvq::platform
