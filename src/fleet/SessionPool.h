// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "fleet/AddressSlots.h"
#include "fleet/Session.h"
#include "fleet/StopSource.h"

namespace uvq::fleet {

// Where a pool's sessions come from and go back to. The feed owns its sessions; the pool only
// starts them, drives them and hands each back once it has ended.
class SessionFeed {
 public:
  virtual ~SessionFeed() = default;
  // A session to start now in a free slot (`freeSlots` are free, this one included), or nullptr
  // when none is ready; the pool asks again after the next tick or the next end.
  virtual Session* next(size_t freeSlots, TimePoint now) = 0;
  // A session has ended (its result is final, interrupted ones included); its slot is free.
  virtual void ended(Session& session, TimePoint now) = 0;
  // Called once `nextTick()` has passed (renewing leases, polling, redrawing a display).
  virtual void tick(TimePoint now) = 0;
  virtual std::optional<TimePoint> nextTick() const = 0;
  // Nothing in flight will be joined by another: the pool returns once its slots are empty.
  virtual bool drained() const = 0;
  // Once per round of the pool's loop, after what the round made the sessions do, and before
  // the pool returns (a front end writes out what the round printed).
  virtual void roundDone() {}
};

// Up to `capacity` sessions at once on one thread: the free slots are filled from the feed,
// every socket is waited on at once (epoll, a tag per slot, so a reply costs the same with one
// session or a thousand), due timers fire, and each session that ends is handed back at once.
// A stop request stops it: every session in flight is interrupted and handed back, and run()
// returns its cause (None when it drained). Nothing is allocated per reply.
class SessionPool {
 public:
  // `stop`: polled every round and waited on with the sockets; nullptr: never stopped.
  SessionPool(size_t capacity, const StopSource* stop);
  ~SessionPool();
  SessionPool(const SessionPool&) = delete;
  SessionPool& operator=(const SessionPool&) = delete;

  StopCause run(SessionFeed& feed);

  size_t capacity() const { return slots_.size(); }
  size_t inFlight() const { return slots_.size() - free_.size(); }
  // The sessions in flight, in slot order (for displays, once per round at most).
  template <typename Visit>
  void forEachInFlight(Visit&& visit) const {
    for (Session* session : slots_)
      if (session) visit(*session);
  }

 private:
  void fill(SessionFeed& feed, TimePoint now);
  void start(Session& session, size_t slot, TimePoint now);
  void receiveShared(SessionFeed& feed);
  size_t receiveSharedBatch(SessionFeed& feed);  // one read; how many datagrams it brought
  void flushShared(SessionFeed& feed, TimePoint now);
  void endSlot(size_t slot, SessionFeed& feed, TimePoint now);
  void checkDeadlines(SessionFeed& feed, TimePoint now);

  const StopSource* stop_;
  int epoll_ = -1;
  // Sessions share one socket, read and written in batches: a few system calls per batch of
  // replies instead of two per record. One session per address at a time: a second one at the
  // same address, or one right after the last at that address ended (whose late replies may
  // still arrive), gets a connected socket of its own, where the kernel keeps them apart.
  std::unique_ptr<link::SharedSocket> shared_;
  AddressSlots sharers_;                                    // address -> slot
  std::unordered_map<in_addr_t, TimePoint> lastSharedEnd_;  // address -> when its sharer ended
  std::vector<Session*> slots_;                             // nullptr: free
  std::vector<size_t> free_;                                // free slots, used from the back
  std::optional<TimePoint> nextCheck_;
  // The time of the current round, read once per round (at its top, when a wait returns and
  // before each further batch read): sessions under a claim compare against it before every
  // datagram, and the timers of sessions on the shared socket count from it.
  TimePoint roundNow_{};
  bool feedIdle_ = false;  // the feed had nothing the last time it was asked
};

}  // namespace uvq::fleet
