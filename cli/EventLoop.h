#pragma once

#include <memory>
#include <vector>

#include "Output.h"
#include "Progress.h"
#include "Session.h"

namespace uvq::cli {

// Runs every session to its end on one thread: starts them, then waits on all their sockets at
// once with the nearest deadline as time-out, hands ready datagrams to their services and fires
// due timers. Single-threaded on purpose: no hand-over between threads on the per-record path.
void RunSessions(const std::vector<std::unique_ptr<Session>>& sessions, Output& output,
                 Progress& progress);

}  // namespace uvq::cli
