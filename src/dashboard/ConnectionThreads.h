// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace uvq::dashboard {

// The server's connections, each on a thread of its own while there are fewer than `maxThreads`:
// the HTTP library keeps a thread for a connection until it closes or its time-outs run out, so
// a fixed pool of a few threads would let a handful of idle or slow clients hold every other
// request back. Threads left without work for a few seconds end; a few stay.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(size_t maxThreads) : maxThreads_(maxThreads) {}
  ~ConnectionThreads() override;

  void enqueue(std::function<void()> task) override;
  // Runs what is queued, then waits for every thread to end.
  void shutdown() override;

 private:
  static void* ThreadMain(void* self);
  void Work();

  const size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable ended_;
  std::deque<std::function<void()>> tasks_;
  size_t threads_ = 0;
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace uvq::dashboard
