// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QThread>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "link/DatagramSource.h"
#include "link/RepeatSuppressor.h"
#include "protocol/ControlPdu.h"
#include "units/LineBudget.h"

namespace uvq::window {

using link::DatagramSource;
using link::RepeatSuppressor;

// The window's receive thread. It waits for a datagram, takes whatever else is already queued
// without waiting, and hands them in one go to the engine's thread (the thread `context` lives
// on), waiting until the engine has dealt with them, so the engine never runs on two threads
// and a flood costs one hand-over per wake-up instead of one per datagram. Reception never
// ends on its own: a bad datagram, a failed read or a failing reply handler costs that one
// datagram and a log line, then it listens on.
class TCRecvThread : public QThread {
 public:
  static constexpr int kBufferSize = 256;
  // Datagrams handed over at most in one go, and reads at most before a hand-over (datagrams
  // set aside here count too), so the window hears of a flood while it lasts.
  static constexpr int kBatchSize = 64;
  static constexpr int kReadsPerWakeUp = 256;
  // How often a stop waiting on the context's thread delivers the hand-overs queued meanwhile.
  static constexpr int kStopPollMs = 5;
  // The datagram and where it came from (nullopt when the source cannot tell).
  using Deliver = std::function<void(std::span<const uint8_t>, std::optional<protocol::Ipv4Bytes>)>;
  using Report = std::function<void(const std::string&)>;

  struct Tuning {
    // Pause after a failed read so an error that repeats at once cannot spin the thread.
    std::chrono::milliseconds socketErrorBackOff{20};
    // Identical problem lines within this window are counted instead of logged.
    std::chrono::milliseconds repeatWindow{1000};
  };

  // deliver and report run on context's thread; context must outlive this thread's run.
  TCRecvThread(DatagramSource& source, QObject* context, Deliver deliver, Report report);
  TCRecvThread(DatagramSource& source, QObject* context, Deliver deliver, Report report,
               Tuning tuning);
  // Stops and waits like stopAndWait(), so destroying a running thread cannot leave it behind.
  ~TCRecvThread() override;

  // Seen after the current wait (at most the receive time-out) and any hand-over in progress.
  void requestStop() { stopRequested_.store(true); }
  bool stopRequested() const { return stopRequested_.load(); }
  // For the context's thread (the window's close handler): stops the thread and keeps running
  // that thread's events meanwhile, so a hand-over already queued completes instead of
  // deadlocking against the wait.
  void stopAndWait();

 protected:
  void run() override;

 private:
  enum class Read : uint8_t { Datagram, Nothing, SetAside, Failed };
  Read readOne(int timeoutMs, int slot);
  void handOver(int count);
  void reportProblem(const std::string& line);
  void sendToLog(const std::string& line);

  DatagramSource& source_;
  QObject* context_;
  Deliver deliver_;
  Report report_;
  Tuning tuning_;
  std::atomic<bool> stopRequested_{false};
  // Qt's blocking call already orders the two threads around a hand-over, but through a futex
  // inside Qt that ThreadSanitizer cannot see; this pair of uncontended atomics says the same
  // in a form it understands (the buffer is written here, read there, then written here again;
  // and the end of run() before a finished stop).
  std::atomic<uint32_t> handOverOrder_{0};
  // Reused for every wake-up; only the first `length` bytes of a slot are meaningful.
  struct Slot {
    std::array<uint8_t, kBufferSize> bytes{};
    int length = 0;
    std::optional<protocol::Ipv4Bytes> sender;
  };
  std::array<Slot, kBatchSize> batch_{};
  RepeatSuppressor suppressor_;
  units::LineBudget badDatagramLines_;  // empty and over-long datagrams, a few a second
  void reportBadDatagram(const std::string& line);
  void flushBadDatagramSummary();
};

}  // namespace uvq::window
