// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <vector>

#include "fleet/Session.h"
#include "fleet/StopSource.h"

namespace uvq::fleet {

// What a plain run shows while it goes: called on the pool's ticks and rounds, never per record.
class BatchEvents {
 public:
  virtual ~BatchEvents() = default;
  // Every few tens of milliseconds, with every session (a progress display).
  virtual void progress(TimePoint now) = 0;
  // Once per round of the run loop (write out what the round printed).
  virtual void roundDone() {}
};

// Runs every session to its end on one thread (the session pool): starts them (all at once, or
// `startsPerSecond` of them a second for a scan), then waits on all their sockets at once, hands
// ready datagrams to their jobs and fires due timers. Single-threaded on purpose: no hand-over
// between threads on the per-record path. A stop request ends every session that has not
// ended, each saying where its unit was left (those a scan had not started yet too); returns
// its cause, None when every session ran to its end.
StopCause RunBatch(const std::vector<std::unique_ptr<Session>>& sessions, const StopSource* stop,
                   BatchEvents& events, int startsPerSecond = 0);

}  // namespace uvq::fleet
