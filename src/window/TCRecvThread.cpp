// SPDX-License-Identifier: Apache-2.0
#include "window/TCRecvThread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <exception>
#include <optional>
#include <vector>

#include "link/ReceiveError.h"

namespace uvq::window {

using namespace uvq::link;

TCRecvThread::TCRecvThread(DatagramSource& source, QObject* context, Deliver deliver, Report report)
    : TCRecvThread(source, context, std::move(deliver), std::move(report), Tuning{}) {}

TCRecvThread::TCRecvThread(DatagramSource& source, QObject* context, Deliver deliver, Report report,
                           Tuning tuning)
    : source_(source),
      context_(context),
      deliver_(std::move(deliver)),
      report_(std::move(report)),
      tuning_(tuning),
      suppressor_(tuning.repeatWindow) {}

TCRecvThread::~TCRecvThread() {
  stopAndWait();
}

void TCRecvThread::stopAndWait() {
  requestStop();
  if (!context_ || QThread::currentThread() != context_->thread()) {
    wait();
    handOverOrder_.load(std::memory_order_acquire);  // pairs with the end of run()
    return;
  }
  // A hand-over already queued must complete, or the thread never gets to see the stop. The
  // queued calls are delivered here directly rather than by a nested event loop: when the
  // application quits, the window closes from inside the delivery of another posted event, and
  // a nested loop there did not deliver the hand-over, so both threads waited for each other.
  while (!wait(QDeadlineTimer(kStopPollMs)))
    QCoreApplication::sendPostedEvents(context_, QEvent::MetaCall);
  handOverOrder_.load(std::memory_order_acquire);  // pairs with the end of run()
}

void TCRecvThread::run() {
  while (!stopRequested_.load()) {
    int count = 0;
    Read read = readOne(-1, 0);
    const bool quiet = read == Read::Nothing;
    for (int reads = 1;; ++reads) {
      if (read == Read::Datagram) ++count;
      if (read == Read::Nothing || read == Read::Failed || count == kBatchSize ||
          reads == kReadsPerWakeUp)
        break;
      read = readOne(0, count);  // what is queued already, without waiting
    }
    if (stopRequested_.load()) break;
    if (count > 0) handOver(count);
    if (quiet)
      suppressor_.flush(RepeatSuppressor::Clock::now(),
                        [this](const std::string& line) { sendToLog(line); });
    flushBadDatagramSummary();
    // An error that repeats at once must not spin the thread.
    if (read == Read::Failed)
      QThread::msleep(static_cast<unsigned long>(tuning_.socketErrorBackOff.count()));
  }
  // Everything this thread did happens before the stop that waited for it returns.
  handOverOrder_.fetch_add(1, std::memory_order_release);
}

// Reads one datagram into the batch's slot `slot`; a datagram that can never be a reply is
// set aside here with its line, before any hand-over.
TCRecvThread::Read TCRecvThread::readOne(int timeoutMs, int slot) {
  Slot& into = batch_[static_cast<size_t>(slot)];
  try {
    into.length = source_.receiveDatagram(into.bytes.data(), kBufferSize, timeoutMs);
  } catch (const ReceiveError& error) {
    if (error.failure() != ReceiveFailure::SocketError) {
      reportBadDatagram(ReceiveFailureLogLine(error));
      return Read::SetAside;
    }
    reportProblem(ReceiveFailureLogLine(error));
    return Read::Failed;
  } catch (const std::exception& error) {
    // Any other failure of the source is treated like a failed read.
    reportProblem(ReceiveFailureLogLine(ReceiveError(ReceiveFailure::SocketError, error.what())));
    return Read::Failed;
  }
  if (into.length <= 0) return Read::Nothing;
  into.sender = source_.lastSender();
  return Read::Datagram;
}

void TCRecvThread::handOver(int count) {
  std::vector<std::string> failures;
  // Exceptions must not cross the event loop; each handler's failure comes back as text.
  handOverOrder_.fetch_add(1, std::memory_order_release);
  QMetaObject::invokeMethod(
      context_,
      [this, count, &failures] {
        handOverOrder_.load(std::memory_order_acquire);
        for (int i = 0; i < count; ++i) {
          const Slot& slot = batch_[static_cast<size_t>(i)];
          try {
            deliver_(std::span<const uint8_t>(slot.bytes.data(), static_cast<size_t>(slot.length)),
                     slot.sender);
          } catch (const std::exception& error) {
            failures.emplace_back(error.what());
          } catch (...) {
            failures.emplace_back("unknown error");
          }
        }
        handOverOrder_.fetch_add(1, std::memory_order_release);
      },
      Qt::BlockingQueuedConnection);
  handOverOrder_.load(std::memory_order_acquire);
  for (const std::string& failure : failures) reportProblem(ReplyHandlingLogLine(failure));
}

namespace {
int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

// Datagrams that can never be a reply are set aside here, before any hand-over; beyond a few
// lines a second they are only counted, so a flood costs the window's thread nothing.
void TCRecvThread::reportBadDatagram(const std::string& line) {
  if (badDatagramLines_.take(SteadyMs())) reportProblem(line);
}

void TCRecvThread::flushBadDatagramSummary() {
  if (!badDatagramLines_.pending()) return;
  if (const auto line = badDatagramLines_.summary(SteadyMs())) sendToLog(*line);
}

void TCRecvThread::reportProblem(const std::string& line) {
  suppressor_.offer(line, RepeatSuppressor::Clock::now(),
                    [this](const std::string& text) { sendToLog(text); });
}

void TCRecvThread::sendToLog(const std::string& line) {
  handOverOrder_.fetch_add(1, std::memory_order_release);
  QMetaObject::invokeMethod(
      context_,
      [this, &line] {
        handOverOrder_.load(std::memory_order_acquire);
        try {
          report_(line);
        } catch (...) {
          // Nowhere left to tell; reception must go on.
        }
        handOverOrder_.fetch_add(1, std::memory_order_release);
      },
      Qt::BlockingQueuedConnection);
  handOverOrder_.load(std::memory_order_acquire);
}

}  // namespace uvq::window
