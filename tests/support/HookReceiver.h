// SPDX-License-Identifier: Apache-2.0
#pragma once

// A local HTTP receiver of a rollout's alerts, on a 127.x.y.z address of the test's own.

#include <httplib.h>

#include <QTest>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Answers POST /hook with the status the test chose for each attempt (the last one again after
// the list), keeping every body; held() makes it wait inside the handler until released.
class HookReceiver {
 public:
  explicit HookReceiver(const std::string& address, std::vector<int> statuses = {200})
      : address_(address), statuses_(std::move(statuses)) {
    server_.Post("/hook", [this](const httplib::Request& request, httplib::Response& response) {
      std::unique_lock lock(mutex_);
      bodies_.push_back(request.body);
      ++inside_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !hold_; });
      --inside_;
      const size_t n = bodies_.size() - 1;
      response.status = statuses_[std::min(n, statuses_.size() - 1)];
    });
    port_ = server_.bind_to_any_port(address_);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~HookReceiver() {
    release();
    server_.stop();
    thread_.join();
  }
  bool ready() {
    return port_ > 0 && QTest::qWaitFor([this] { return server_.is_running(); }, 10000);
  }
  std::string url() const { return "http://" + address_ + ":" + std::to_string(port_) + "/hook"; }
  size_t count() {
    std::lock_guard lock(mutex_);
    return bodies_.size();
  }
  std::string body(size_t i) {
    std::lock_guard lock(mutex_);
    return bodies_.at(i);
  }
  void hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      hold_ = false;
    }
    changed_.notify_all();
  }
  // Until a request is inside the handler, held there.
  bool waitInside() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return inside_ > 0; });
  }
  int inside() {
    std::lock_guard lock(mutex_);
    return inside_;
  }

 private:
  std::string address_;
  std::vector<int> statuses_;
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> bodies_;
  bool hold_ = false;
  int inside_ = 0;
};
