// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>

namespace uvq::cli {

// Raises this process's soft limit on open files to `wanted` (every target's socket at once,
// and a few more), up to the hard limit; never lowers it. Returns the soft limit now in force.
size_t RaiseOpenFileLimit(size_t wanted);

}  // namespace uvq::cli
