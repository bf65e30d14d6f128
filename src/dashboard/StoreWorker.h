// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>

#include "store/db/StoreError.h"

namespace uvq::dashboard {

// A call that got no answer from the database before its deadline.
struct DatabaseSilent : std::runtime_error {
  DatabaseSilent() : std::runtime_error("the database did not answer in time") {}
};

// One thread that makes every call on one store, one at a time, the callers waiting at most
// until their deadline. A database that stops answering (a frozen server never answers, so a
// statement time-out never comes) then holds this one thread, never the callers': they are
// answered when their deadline passes, and a call they gave up on is never made.
class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `work` on the thread; false when the deadline passed first (the work is then dropped
  // if it has not begun, or its end is not waited for).
  bool run(std::function<void()> work, std::chrono::steady_clock::time_point deadline);

 private:
  struct Job;
  struct State;
  std::shared_ptr<State> state_;
};

template <typename Store>
class StoreWorker {
 public:
  using Opener = std::function<std::unique_ptr<Store>()>;
  explicit StoreWorker(Opener open) : open_(std::make_shared<Opened>(std::move(open))) {}

  // `call(store)` on the worker's thread; the store is opened again after it failed. Throws
  // DatabaseSilent when the deadline passed, or what the call threw.
  template <typename Call>
  std::invoke_result_t<Call, Store&> run(Call call,
                                         std::chrono::steady_clock::time_point deadline) {
    using Result = std::invoke_result_t<Call, Store&>;
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> answer = promise->get_future();
    // Only the worker's thread touches the store; the job owns what it needs, so a job the
    // caller gave up on may still end safely.
    const bool done = thread_.run(
        [opened = open_, promise, call]() mutable {
          try {
            if (!opened->store) opened->store = opened->open();
            if constexpr (std::is_void_v<Result>) {
              call(*opened->store);
              promise->set_value();
            } else {
              promise->set_value(call(*opened->store));
            }
          } catch (const history::HistoryError&) {
            opened->store.reset();
            promise->set_exception(std::current_exception());
          } catch (...) {
            promise->set_exception(std::current_exception());
          }
        },
        deadline);
    if (!done) throw DatabaseSilent();
    return answer.get();
  }

 private:
  struct Opened {
    explicit Opened(Opener o) : open(std::move(o)) {}
    Opener open;
    std::unique_ptr<Store> store;
  };
  std::shared_ptr<Opened> open_;
  WorkerThread thread_;
};

}  // namespace uvq::dashboard
