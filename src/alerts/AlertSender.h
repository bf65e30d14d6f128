// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "store/rollouts/RolloutStore.h"

namespace uvq::alerts {

struct AlertLimits {
  int attempts = 3;        // POSTs of one event at most
  int timeoutMs = 2000;    // to connect, and again to send and to read the answer
  int firstPauseMs = 250;  // between the first two attempts, doubled after each
};

// The URL's parts as a POST needs them; nullopt when it is not http://HOST[:PORT][/PATH].
struct HttpUrl {
  std::string host;
  int port = 80;
  std::string path = "/";
};
std::optional<HttpUrl> ParseHttpUrl(const std::string& url);

// Why `url` cannot be a rollout's notify URL, in words that follow the option's name ("takes an
// http:// URL ..."): only http:// (nothing else is sent), a host without a user name, a port
// from 1 to 65535, printable ASCII without blanks. nullopt when the sender can use it.
std::optional<std::string> NotifyUrlProblem(const std::string& url);

// The object told: {"rollout", "state", "reason", "at"} (at as ISO 8601 UTC).
std::string AlertBody(const rollouts::RolloutEvent& event);

// Tells events to their URLs from a thread of its own: send() only queues, so nothing that
// runs units ever waits for a receiver. An event is POSTed until a 2xx answer, at most
// `attempts` times (refused, timed out or another answer), with growing pauses; then given up,
// said through `problem`. Events are sent one after another, in the order given.
class AlertSender {
 public:
  explicit AlertSender(AlertLimits limits = {},
                       std::function<void(const std::string&)> problem = {});
  // Gives up what is still queued (drain() first to let it go out).
  ~AlertSender();
  AlertSender(const AlertSender&) = delete;
  AlertSender& operator=(const AlertSender&) = delete;

  void send(const rollouts::RolloutEvent& event);
  // Waits until every event given was sent or given up, at most `timeoutMs`; true when so.
  bool drain(int timeoutMs);

 private:
  void Work();
  bool PostOnce(const rollouts::RolloutEvent& event);

  AlertLimits limits_;
  std::function<void(const std::string&)> problem_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<rollouts::RolloutEvent> queue_;
  bool busy_ = false;  // an event taken from the queue is being sent
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace uvq::alerts
