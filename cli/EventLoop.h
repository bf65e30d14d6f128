// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <vector>

#include "Output.h"
#include "Progress.h"
#include "Session.h"

namespace uvq::cli {

// Runs every session to its end on one thread (the session pool): starts them (all at once, or
// `startsPerSecond` of them a second for a scan), then waits on all their sockets at once, hands
// ready datagrams to their services and fires due timers. Single-threaded on purpose: no hand-over
// between threads on the per-record path. SIGINT and SIGTERM (Interruption) stop every session that
// has not ended, each saying where its unit was left.
void RunSessions(const std::vector<std::unique_ptr<Session>>& sessions, Output& output,
                 Progress& progress, int startsPerSecond = 0);

}  // namespace uvq::cli
