// SPDX-License-Identifier: Apache-2.0
#pragma once

// Plain sockets for the dashboard's tests: requests sent byte for byte as written (bad ones
// included, which an HTTP client library would mend or refuse), and connections held open.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace http_probe {

struct Answer {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
  bool hasHeader(const std::string& line) const { return head.find(line) != std::string::npos; }
};

// A connected TCP socket, or -1.
inline int Connect(const std::string& address, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` as it is and reads the answer until the server closes (the request should
// say "Connection: close") or `timeoutMs` passes.
inline Answer Send(const std::string& address, uint16_t port, const std::string& request,
                   int timeoutMs = 30000) {
  Answer answer;
  const int fd = Connect(address, port);
  if (fd < 0) return answer;
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[16384];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
  answer.status = std::stoi(text.substr(9, 3));
  answer.head = text.substr(0, end);
  answer.body = text.substr(end + 4);
  return answer;
}

inline Answer Get(const std::string& address, uint16_t port, const std::string& target,
                  const std::string& extraHeaders = {}) {
  return Send(address, port,
              "GET " + target + " HTTP/1.1\r\nHost: " + address + ":" + std::to_string(port) +
                  "\r\n" + extraHeaders + "Connection: close\r\n\r\n");
}

inline Answer Post(const std::string& address, uint16_t port, const std::string& target,
                   const std::string& extraHeaders = {}) {
  return Send(address, port,
              "POST " + target + " HTTP/1.1\r\nHost: " + address + ":" + std::to_string(port) +
                  "\r\n" + extraHeaders + "Content-Length: 0\r\nConnection: close\r\n\r\n");
}

// A POST as other clients send it: `body` with its length, or no body and no Content-Length
// at all (as `curl -X POST` sends it).
inline Answer PostBody(const std::string& address, uint16_t port, const std::string& target,
                       const std::string& extraHeaders, const std::optional<std::string>& body) {
  const std::string length =
      body ? "Content-Length: " + std::to_string(body->size()) + "\r\n" : std::string();
  return Send(address, port,
              "POST " + target + " HTTP/1.1\r\nHost: " + address + ":" + std::to_string(port) +
                  "\r\n" + extraHeaders + length + "Connection: close\r\n\r\n" + body.value_or(""));
}

// Room for `count` more descriptors in this process.
inline bool RaiseOpenFiles(size_t count) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= count) return true;
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, count);
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= count;
}

// Connections opened and held without a byte sent (or with `partial` sent and never ended).
class HeldConnections {
 public:
  HeldConnections(const std::string& address, uint16_t port, size_t count,
                  const std::string& partial = {}) {
    for (size_t i = 0; i < count; ++i) {
      const int fd = Connect(address, port);
      if (fd < 0) break;
      if (!partial.empty()) ::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);
      fds_.push_back(fd);
    }
  }
  ~HeldConnections() {
    for (int fd : fds_) ::close(fd);
  }
  HeldConnections(const HeldConnections&) = delete;
  HeldConnections& operator=(const HeldConnections&) = delete;
  size_t size() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

}  // namespace http_probe
