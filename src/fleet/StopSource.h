// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>

namespace uvq::fleet {

// Why a run was asked to stop. The engines only stop; what a cause means to whoever started
// them (an exit code, a line) is the front end's.
enum class StopCause : uint8_t {
  None,
  Interrupt,  // an operator's Ctrl-C
  Terminate,  // asked to end (a service manager, kill)
  Hangup,     // the terminal or session went away
};

constexpr std::string_view StopCauseName(StopCause cause) {
  switch (cause) {
    case StopCause::None:
      return "none";
    case StopCause::Interrupt:
      return "interrupt";
    case StopCause::Terminate:
      return "terminate";
    case StopCause::Hangup:
      return "hangup";
  }
  return "none";
}

// A stop request the engines poll and wait on: request() may be called from a signal handler
// or another thread (it only stores the cause and writes a byte to a pipe), and descriptor()
// becomes readable once it was called, so a run loop waiting on sockets wakes at once. The
// first cause stays.
class StopSource {
 public:
  StopSource();
  ~StopSource();
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  // Async-signal-safe.
  void request(StopCause cause) noexcept;
  StopCause cause() const noexcept { return cause_.load(std::memory_order_acquire); }
  bool requested() const noexcept { return cause() != StopCause::None; }
  // Readable once a stop was requested; -1 when no pipe could be made (then only polled).
  int descriptor() const noexcept { return pipe_[0]; }

 private:
  std::atomic<StopCause> cause_{StopCause::None};
  int pipe_[2] = {-1, -1};
};

// Calls `onStop` on a thread of its own once `source` is asked to stop, for work that waits in
// a loop of its own (a web server): the thread is the one that takes the stop signals, so the
// work's threads are never interrupted by them. Destroyed while no stop was asked (the work
// ended by itself), it calls nothing.
class StopWatch {
 public:
  StopWatch(const StopSource& source, std::function<void()> onStop);
  ~StopWatch();
  StopWatch(const StopWatch&) = delete;
  StopWatch& operator=(const StopWatch&) = delete;

 private:
  StopSource dismissed_;
  std::thread thread_;
};

}  // namespace uvq::fleet
