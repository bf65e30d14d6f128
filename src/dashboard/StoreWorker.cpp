// SPDX-License-Identifier: Apache-2.0
#include "dashboard/StoreWorker.h"

#include <thread>

namespace uvq::dashboard {

struct WorkerThread::Job {
  std::function<void()> work;
  bool abandoned = false;
  bool ended = false;
};

// Shared by the thread and its owner: a thread held by a silent database outlives its owner.
struct WorkerThread::State {
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable ended;
  std::deque<std::shared_ptr<Job>> jobs;
  bool stopping = false;
  bool running = true;
};

namespace {

// How long the owner waits for its thread at the end before leaving it to end on its own.
constexpr auto kEndWait = std::chrono::seconds(2);

}  // namespace

WorkerThread::WorkerThread() : state_(std::make_shared<State>()) {
  std::thread([state = state_] {
    std::unique_lock lock(state->mutex);
    while (true) {
      state->work.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
      if (state->jobs.empty()) break;
      const std::shared_ptr<Job> job = std::move(state->jobs.front());
      state->jobs.pop_front();
      if (job->abandoned) continue;
      lock.unlock();
      job->work();
      job->work = nullptr;  // what it holds goes here, on the worker's thread
      lock.lock();
      job->ended = true;
      state->ended.notify_all();
    }
    state->running = false;
    state->ended.notify_all();
  }).detach();
}

WorkerThread::~WorkerThread() {
  std::unique_lock lock(state_->mutex);
  state_->stopping = true;
  for (const auto& job : state_->jobs) job->abandoned = true;
  state_->work.notify_all();
  state_->ended.wait_for(lock, kEndWait, [&] { return !state_->running; });
}

bool WorkerThread::run(std::function<void()> work, std::chrono::steady_clock::time_point deadline) {
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  std::unique_lock lock(state_->mutex);
  state_->jobs.push_back(job);
  state_->work.notify_one();
  if (state_->ended.wait_until(lock, deadline, [&] { return job->ended; })) return true;
  job->abandoned = true;
  return false;
}

}  // namespace uvq::dashboard
