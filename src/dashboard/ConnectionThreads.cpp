// SPDX-License-Identifier: Apache-2.0
#include "dashboard/ConnectionThreads.h"

#include <pthread.h>

#include <chrono>

namespace uvq::dashboard {

namespace {

constexpr size_t kThreadsKept = 4;
constexpr auto kIdleEnd = std::chrono::seconds(5);
// Enough for the library's request parsing and route matching; far less than the default.
constexpr size_t kStackBytes = 2 * 1024 * 1024;

}  // namespace

ConnectionThreads::~ConnectionThreads() {
  shutdown();
}

void ConnectionThreads::enqueue(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  if (idle_ >= tasks_.size() || threads_ >= maxThreads_) {
    work_.notify_one();
    return;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  // A thread that cannot be made (out of resources) leaves the task queued for a running one.
  if (pthread_create(&thread, &attributes, &ConnectionThreads::ThreadMain, this) == 0) ++threads_;
  pthread_attr_destroy(&attributes);
  work_.notify_one();
}

void ConnectionThreads::shutdown() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_.notify_all();
  ended_.wait(lock, [this] { return threads_ == 0; });
}

void* ConnectionThreads::ThreadMain(void* self) {
  static_cast<ConnectionThreads*>(self)->Work();
  return nullptr;
}

void ConnectionThreads::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    const bool woken =
        work_.wait_for(lock, kIdleEnd, [this] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (tasks_.empty() && (stopping_ || (!woken && threads_ > kThreadsKept))) break;
    if (tasks_.empty()) continue;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
  --threads_;
  ended_.notify_all();
}

}  // namespace uvq::dashboard
