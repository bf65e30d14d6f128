// SPDX-License-Identifier: Apache-2.0
// The least the window's design costs: the same exchange, but every reply is read by a receive
// thread and handed to the main thread with a blocking queued call, and the main thread (inside
// its event loop) sends the next record. No engine, no widgets, no logging.

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <exception>

#include "BareExchange.h"

using namespace uvq::bench;

namespace {

class Exchange : public QObject {
 public:
  Exchange(const Arguments& args, std::vector<Record> records)
      : args_(args), records_(std::move(records)) {
    fd_ = OpenSocket(args_, target_);
  }
  ~Exchange() override { ::close(fd_); }

  int fd() const { return fd_; }
  bool finished() const { return finished_.load(); }

  void start() {
    start_ = Clock::now();
    send();
  }

  // On the main thread: the receive thread's reading, or n == 0 after a time-out.
  void onReply(const uint8_t* reply, long n) {
    if (n == 0) {
      ++resends_;
      send();
      return;
    }
    const Answer answer = Classify(reply, n, static_cast<uint16_t>(next_));
    if (answer == Answer::Other) return;
    if (answer == Answer::Refused) {
      std::fprintf(stderr, "record %zu refused by the unit\n", next_);
      failed_ = true;
      finish();
      return;
    }
    if (++next_ == records_.size()) {
      PrintResult("handover", records_.size(), Clock::now() - start_, resends_);
      finish();
      return;
    }
    send();
  }
  bool failed() const { return failed_; }

 private:
  void send() {
    BuildRequest(pdu_, args_.unit, static_cast<uint16_t>(next_), records_[next_]);
    ::sendto(fd_, pdu_.data(), pdu_.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
             sizeof target_);
  }
  void finish() {
    finished_.store(true);
    QCoreApplication::quit();
  }

  Arguments args_;
  std::vector<Record> records_;
  sockaddr_in target_{};
  int fd_ = -1;
  Request pdu_{};
  size_t next_ = 0;
  long resends_ = 0;
  bool failed_ = false;
  std::atomic<bool> finished_{false};
  Clock::time_point start_;
};

class ReceiveThread : public QThread {
 public:
  explicit ReceiveThread(Exchange& exchange) : exchange_(exchange) {}

 protected:
  void run() override {
    uint8_t buffer[256];
    while (!exchange_.finished()) {
      long n = ::recv(exchange_.fd(), buffer, sizeof buffer, 0);
      if (n < 0) n = 0;  // the one-second time-out
      QMetaObject::invokeMethod(
          &exchange_, [this, &buffer, n] { exchange_.onReply(buffer, n); },
          Qt::BlockingQueuedConnection);
    }
  }

 private:
  Exchange& exchange_;
};

}  // namespace

int main(int argc, char** argv) try {
  QCoreApplication app(argc, argv);
  const Arguments args = ParseArguments(argc, argv);
  Exchange exchange(args, LoadRecords(args.image));
  ReceiveThread thread(exchange);
  thread.start();
  QMetaObject::invokeMethod(
      &exchange, [&exchange] { exchange.start(); }, Qt::QueuedConnection);
  QCoreApplication::exec();
  thread.wait();
  return exchange.failed() ? 1 : 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "uvq-bench-handover: %s\n", e.what());
  return 2;
}
