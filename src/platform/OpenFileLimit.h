// SPDX-License-Identifier: Apache-2.0
#pragma once

// The process's limit on open files, raised for runs that hold a socket per unit at once.

#include <cstddef>

namespace uvq::platform {

// Raises this process's soft limit on open files to `wanted` (every target's socket at once,
// and a few more), up to the hard limit; never lowers it. Returns the soft limit now in force.
size_t RaiseOpenFileLimit(size_t wanted);

}  // namespace uvq::platform
