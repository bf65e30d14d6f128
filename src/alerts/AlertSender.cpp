// SPDX-License-Identifier: Apache-2.0
#include "alerts/AlertSender.h"

#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "store/history/HistoryTime.h"

namespace uvq::alerts {

std::optional<HttpUrl> ParseHttpUrl(const std::string& url) {
  static const std::string kScheme = "http://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  const std::string rest = url.substr(kScheme.size());
  // The host ends where its path, query or fragment begins; a fragment is never sent.
  const size_t end = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, end);
  HttpUrl parsed;
  if (end != std::string::npos) {
    const std::string tail = rest.substr(end, rest.find('#', end) - end);
    if (!tail.empty()) parsed.path = tail.front() == '?' ? "/" + tail : tail;
  }
  if (authority.empty() || authority.find('@') != std::string::npos) return std::nullopt;
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    parsed.port = std::stoi(port);
    if (parsed.port < 1 || parsed.port > 65535) return std::nullopt;
    authority.resize(colon);
  }
  if (authority.empty()) return std::nullopt;
  parsed.host = authority;
  return parsed;
}

std::optional<std::string> NotifyUrlProblem(const std::string& url) {
  static const std::string kScheme = "http://";
  if (!url.starts_with(kScheme))
    return "takes an http:// URL (nothing else is sent), not '" + url + "'";
  const std::string rest = url.substr(kScheme.size());
  const std::string host = rest.substr(0, rest.find_first_of("/?#"));
  if (host.empty() || host.find('@') != std::string::npos)
    return "needs a host (and no user name): '" + url + "'";
  for (unsigned char c : url)
    if (c <= 0x20 || c >= 0x7f) return "holds a blank or a character that is not printable ASCII";
  if (!ParseHttpUrl(url))
    return "needs a port from 1 to 65535 after the host's colon: '" + url + "'";
  return std::nullopt;
}

std::string AlertBody(const rollouts::RolloutEvent& event) {
  const nlohmann::json body = {{"rollout", event.rollout},
                               {"state", event.state},
                               {"reason", event.reason},
                               {"at", history::MillisIsoUtc(event.at)}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

AlertSender::AlertSender(AlertLimits limits, std::function<void(const std::string&)> problem)
    : limits_(limits), problem_(std::move(problem)), thread_([this] { Work(); }) {}

AlertSender::~AlertSender() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void AlertSender::send(const rollouts::RolloutEvent& event) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
  }
  changed_.notify_all();
}

bool AlertSender::drain(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return queue_.empty() && !busy_; });
}

bool AlertSender::PostOnce(const rollouts::RolloutEvent& event) {
  const auto url = ParseHttpUrl(event.url);
  if (!url) return false;
  httplib::Client client(url->host, url->port);
  const auto seconds = [](int ms) { return std::chrono::milliseconds(ms); };
  client.set_connection_timeout(seconds(limits_.timeoutMs));
  client.set_read_timeout(seconds(limits_.timeoutMs));
  client.set_write_timeout(seconds(limits_.timeoutMs));
  const auto answer = client.Post(url->path, AlertBody(event), "application/json");
  return answer && answer->status >= 200 && answer->status < 300;
}

void AlertSender::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const rollouts::RolloutEvent event = queue_.front();
    queue_.pop_front();
    busy_ = true;
    bool sent = false;
    int pauseMs = limits_.firstPauseMs;
    for (int attempt = 1; attempt <= limits_.attempts && !sent && !stopping_; ++attempt) {
      lock.unlock();
      sent = PostOnce(event);
      lock.lock();
      if (!sent && attempt < limits_.attempts) {
        // A stop ends the pause at once.
        changed_.wait_for(lock, std::chrono::milliseconds(pauseMs), [this] { return stopping_; });
        pauseMs *= 2;
      }
    }
    busy_ = false;
    if (!sent && problem_) {
      lock.unlock();
      problem_("the " + event.state + " alert of rollout '" + event.rollout +
               "' was not taken by " + event.url + " after " + std::to_string(limits_.attempts) +
               " attempt" + (limits_.attempts == 1 ? "" : "s"));
      lock.lock();
    }
    changed_.notify_all();
  }
}

}  // namespace uvq::alerts
