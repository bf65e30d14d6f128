// SPDX-License-Identifier: Apache-2.0
#include "SimStation.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <utility>

#include "ImageMaker.h"
#include "protocol/IpAddressText.h"

namespace uvq::sim {

std::string AddressText(const Ipv4& ip) {
  return protocol::Ipv4Text(ip);
}

SimStation::SimStation(const SimOptions& options) : options_(options) {}

bool SimStation::open(std::string& error) {
  std::shared_ptr<std::vector<uint8_t>> expected;
  if (!options_.expect.empty()) {
    expected = std::make_shared<std::vector<uint8_t>>();
    if (std::string problem; !ReadWholeFile(options_.expect, *expected, problem)) {
      error = "cannot read " + options_.expect + ": " + problem;
      return false;
    }
  }
  const bool several = options_.addresses > 1;
  servers_.clear();
  servers_.reserve(options_.addresses);
  shared_.reset();
  // Asked for only (--one-socket): while it runs the shared socket holds the port on every
  // loopback address, which would keep other emulators off addresses outside the range. Where
  // it is not possible (no privilege to bind to the loopback device, the port already held on
  // one of the addresses), a socket per address serves instead, and that is said.
  if (options_.oneSocket && options_.addresses > 1) {
    shared_ = std::make_unique<SharedSocket>();
    if (std::string reason; !shared_->open(options_.port, options_.addresses, reason)) {
      std::fprintf(stderr, "uvq-sim: one socket per address (%s)\n", reason.c_str());
      shared_.reset();
    }
  }
  for (uint32_t i = 0; i < options_.addresses; ++i) {
    SimOptions one = options_;
    one.bind = NextAddress(options_.bind, i);
    one.addresses = 1;
    if (!options_.unitIpGiven) one.firstUnit.ip = one.bind;
    if (several && !options_.sameId) one.firstUnit.id = AddressUnitId(one.bind, one.units);
    one.faults.seed = options_.faults.seed + i;
    // With port 0 the first address picks a free port and the others take the same one.
    if (shared_) one.port = shared_->port();
    if (i > 0) one.port = servers_.front()->boundPort();
    const std::string address = AddressText(one.bind);
    if (several && !one.dumpMemory.empty()) one.dumpMemory += "." + address;
    servers_.push_back(
        std::make_unique<SimServer>(one, expected, several ? address + " " : std::string()));
    if (const auto refusal = servers_.back()->unusableDumpPath()) {
      error = "cannot write " + *refusal;
      return false;
    }
    if (shared_) {
      servers_.back()->share(*shared_, one.port);
    } else if (!servers_.back()->open(error)) {
      return false;
    }
  }
  return true;
}

std::string SimStation::listeningText() const {
  const std::string port = std::string(":").append(std::to_string(servers_.front()->boundPort()));
  if (options_.addresses == 1) return AddressText(options_.bind) + port;
  return AddressText(options_.bind) + "-" +
         AddressText(NextAddress(options_.bind, options_.addresses - 1)) + port + " (" +
         std::to_string(options_.addresses) + " addresses)";
}

// Work per datagram must not grow with the number of addresses: epoll reports only the sockets
// that are ready, and a heap of wake-ups (address, when) says which addresses have replies due,
// so no loop walks every address per round. The wait is to the microsecond: a reply due in
// 5.3 ms must not leave a whole millisecond late because the wait was rounded up.
void SimStation::run(int stopFd) {
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) {
    std::perror("uvq-sim: epoll");
    return;
  }
  const auto watch = [&](int fd, uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
  };
  constexpr uint64_t kStopTag = ~uint64_t{0};
  constexpr uint64_t kSharedTag = kStopTag - 1;
  for (size_t i = 0; i < (shared_ ? 0 : servers_.size()); ++i) {
    if (!watch(servers_[i]->socket(), i)) {
      std::perror("uvq-sim: epoll_ctl");
      ::close(epoll);
      return;
    }
  }
  if (shared_ && !watch(shared_->fd(), kSharedTag)) {
    std::perror("uvq-sim: epoll_ctl");
    ::close(epoll);
    return;
  }
  if (stopFd >= 0) watch(stopFd, kStopTag);
  // Replies that leave late by design are timed from the kernel's arrival stamp, so arrivals
  // need not wake the loop: while replies are pending it sleeps until the next one is due (on
  // a set holding only the stop signal) and then collects whatever arrived meanwhile. Half the
  // wake-ups, and many datagrams read per wake-up, on a station of hundreds of units.
  const bool lateByDesign = options_.faults.delayMs > 0;
  const int sleeper = lateByDesign ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
  if (sleeper >= 0 && stopFd >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kStopTag;
    ::epoll_ctl(sleeper, EPOLL_CTL_ADD, stopFd, &event);
  }
  // Arrivals are still collected this often, so none waits longer than half the delay.
  const auto longestSleep = std::chrono::milliseconds(std::max(1u, options_.faults.delayMs / 2));

  using Wake = std::pair<SimServer::Clock::time_point, size_t>;
  std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> wakes;
  const auto noteWake = [&](size_t i) {
    if (const auto w = servers_[i]->nextWake()) wakes.emplace(*w, i);
  };
  for (size_t i = 0; i < servers_.size(); ++i) {
    servers_[i]->start(SimServer::Clock::now());
    noteWake(i);
  }
  // Hands what waits on the shared socket to the addresses it was sent to, a batch per call.
  // A datagram to a loopback address outside the range is not for this station: ignored, as
  // no socket would have taken it.
  const Ipv4& b = options_.bind;
  const uint32_t first = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  const auto receiveShared = [&] {
    do {
      for (const auto& datagram : shared_->receive()) {
        const uint32_t i = ntohl(datagram.to.s_addr) - first;
        if (i >= servers_.size()) continue;
        servers_[i]->accept(datagram);
        noteWake(i);
      }
    } while (shared_->batchWasFull());
  };
  std::vector<epoll_event> events(256);
  for (;;) {
    timespec timeout{};
    timespec* wait = nullptr;  // none: no reply pending anywhere
    int ready = 0;
    if (sleeper >= 0 && !wakes.empty()) {
      const auto now = SimServer::Clock::now();
      const auto left = std::min<SimServer::Clock::duration>(wakes.top().first - now, longestSleep);
      if (left > SimServer::Clock::duration::zero()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
        if (::epoll_pwait2(sleeper, events.data(), 1, &timeout, nullptr) > 0) break;  // stop
      }
      timeout = {};
      wait = &timeout;  // collect what arrived, without waiting
    } else if (!wakes.empty()) {
      const auto left = wakes.top().first - SimServer::Clock::now();
      const int64_t ns = std::max<int64_t>(
          0, std::min<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count(),
                               int64_t{60} * 1000000000));
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
      wait = &timeout;
    }
    ready = ::epoll_pwait2(epoll, events.data(), static_cast<int>(events.size()), wait, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::perror("uvq-sim: epoll_pwait2");
      break;
    }
    bool stop = false;
    for (int e = 0; e < ready; ++e) {
      const uint64_t tag = events[static_cast<size_t>(e)].data.u64;
      if (tag == kStopTag) {
        stop = true;
        continue;
      }
      if (tag == kSharedTag) {
        receiveShared();
        continue;
      }
      // One datagram per readiness report: the wait reports the socket again while more are
      // queued, and a unit in a stop-and-wait exchange holds one, so no read ends in EAGAIN.
      servers_[tag]->receive(1);
      noteWake(tag);
    }
    if (stop) break;
    const auto now = SimServer::Clock::now();
    while (!wakes.empty() && wakes.top().first <= now) {
      const size_t i = wakes.top().second;
      wakes.pop();
      servers_[i]->sendDue(now);
      noteWake(i);
    }
    if (shared_) shared_->flush();
    if (!options_.quiet) std::fflush(stdout);
  }
  ::close(epoll);
  if (sleeper >= 0) ::close(sleeper);
}

void SimStation::finish() {
  for (const auto& server : servers_) server->finish();
}

}  // namespace uvq::sim
