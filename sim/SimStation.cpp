#include "SimStation.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ImageMaker.h"

namespace uvq::sim {

std::string AddressText(const Ipv4& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

SimStation::SimStation(const SimOptions& options) : options_(options) {}

bool SimStation::open(std::string& error) {
  std::shared_ptr<std::vector<uint8_t>> expected;
  if (!options_.expect.empty()) {
    expected = std::make_shared<std::vector<uint8_t>>();
    if (!ReadWholeFile(options_.expect, *expected)) {
      error = "cannot read " + options_.expect + ": " + std::strerror(errno);
      return false;
    }
  }
  const bool several = options_.addresses > 1;
  servers_.clear();
  servers_.reserve(options_.addresses);
  for (uint32_t i = 0; i < options_.addresses; ++i) {
    SimOptions one = options_;
    one.bind = NextAddress(options_.bind, i);
    one.addresses = 1;
    if (!options_.unitIpGiven) one.firstUnit.ip = one.bind;
    one.faults.seed = options_.faults.seed + i;
    // With port 0 the first address picks a free port and the others take the same one.
    if (i > 0) one.port = servers_.front()->boundPort();
    const std::string address = AddressText(one.bind);
    if (several && !one.dumpMemory.empty()) one.dumpMemory += "." + address;
    servers_.push_back(
        std::make_unique<SimServer>(one, expected, several ? address + " " : std::string()));
    if (!servers_.back()->open(error)) return false;
  }
  return true;
}

std::string SimStation::listeningText() const {
  const std::string port = ":" + std::to_string(servers_.front()->boundPort());
  if (options_.addresses == 1) return AddressText(options_.bind) + port;
  return AddressText(options_.bind) + "-" +
         AddressText(NextAddress(options_.bind, options_.addresses - 1)) + port + " (" +
         std::to_string(options_.addresses) + " addresses)";
}

void SimStation::run(int stopFd) {
  std::vector<pollfd> fds;
  fds.reserve(servers_.size() + 1);
  for (const auto& server : servers_) fds.push_back({server->socket(), POLLIN, 0});
  fds.push_back({stopFd, POLLIN, 0});
  const size_t watched = stopFd >= 0 ? fds.size() : servers_.size();
  for (const auto& server : servers_) server->start(SimServer::Clock::now());
  for (;;) {
    std::optional<SimServer::Clock::time_point> wake;
    for (const auto& server : servers_)
      if (const auto w = server->nextWake(); w && (!wake || *w < *wake)) wake = w;
    int timeoutMs = -1;
    if (wake) {
      const auto now = SimServer::Clock::now();
      // Rounded up so the wake-up is not a busy loop of zero timeouts just before the deadline.
      timeoutMs =
          *wake <= now
              ? 0
              : static_cast<int>(std::min<int64_t>(
                    std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count(), 60000));
    }
    const int ready = ::poll(fds.data(), watched, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      std::perror("uvq-sim: poll");
      return;
    }
    if (stopFd >= 0 && (fds.back().revents & POLLIN)) return;
    if (ready > 0)
      for (size_t i = 0; i < servers_.size(); ++i)
        if (fds[i].revents & POLLIN) servers_[i]->receiveAll();
    const auto now = SimServer::Clock::now();
    for (const auto& server : servers_) server->sendDue(now);
    if (!options_.quiet) std::fflush(stdout);
  }
}

void SimStation::finish() {
  for (const auto& server : servers_) server->finish();
}

}  // namespace uvq::sim
