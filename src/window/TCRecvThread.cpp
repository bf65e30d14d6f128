#include "window/TCRecvThread.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <exception>
#include <optional>

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
    try {
      count = source_.receiveDatagram(buffer_.data(), kBufferSize, -1);
    } catch (const ReceiveError& error) {
      if (error.failure() != ReceiveFailure::SocketError) {
        reportBadDatagram(ReceiveFailureLogLine(error));
        continue;
      }
      reportProblem(ReceiveFailureLogLine(error));
      QThread::msleep(static_cast<unsigned long>(tuning_.socketErrorBackOff.count()));
      continue;
    } catch (const std::exception& error) {
      // Any other failure of the source is treated like a failed read.
      reportProblem(ReceiveFailureLogLine(ReceiveError(ReceiveFailure::SocketError, error.what())));
      QThread::msleep(static_cast<unsigned long>(tuning_.socketErrorBackOff.count()));
      continue;
    }
    if (stopRequested_.load()) break;
    if (count > 0) {
      handOver(count);
    } else {
      suppressor_.flush(RepeatSuppressor::Clock::now(),
                        [this](const std::string& line) { sendToLog(line); });
    }
    flushBadDatagramSummary();
  }
  // Everything this thread did happens before the stop that waited for it returns.
  handOverOrder_.fetch_add(1, std::memory_order_release);
}

void TCRecvThread::handOver(int count) {
  const std::span<const uint8_t> datagram(buffer_.data(), static_cast<size_t>(count));
  std::optional<std::string> failure;
  // Exceptions must not cross the event loop; the handler's failure comes back as text.
  handOverOrder_.fetch_add(1, std::memory_order_release);
  QMetaObject::invokeMethod(
      context_,
      [this, datagram, &failure] {
        handOverOrder_.load(std::memory_order_acquire);
        try {
          deliver_(datagram);
        } catch (const std::exception& error) {
          failure = error.what();
        } catch (...) {
          failure = "unknown error";
        }
        handOverOrder_.fetch_add(1, std::memory_order_release);
      },
      Qt::BlockingQueuedConnection);
  handOverOrder_.load(std::memory_order_acquire);
  if (failure) reportProblem(ReplyHandlingLogLine(*failure));
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
