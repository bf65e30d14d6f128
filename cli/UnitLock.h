// SPDX-License-Identifier: Apache-2.0
#pragma once

// The command line takes the machine-wide unit lock (locks/UnitLock.h) under its own names.
#include "locks/UnitLock.h"

namespace uvq::cli {

using locks::LockAttempt;
using locks::TryLockUnit;
using locks::UnitLock;

}  // namespace uvq::cli
