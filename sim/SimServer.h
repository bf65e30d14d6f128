// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FaultPlan.h"
#include "Options.h"
#include "SharedSocket.h"
#include "UnitModel.h"

namespace uvq::sim {

// The UDP side of one emulated address: one socket, the emulated units behind it, and the faults
// applied to their replies. Driven by a poll() loop (SimStation) that may serve many addresses;
// replies due later wait in a time-ordered heap.
class SimServer {
 public:
  using Clock = std::chrono::steady_clock;

  // `expected`: the image --expect names, read once for every address (null without --expect).
  // `label` starts every line this address prints ("" when it is the only one).
  SimServer(const SimOptions& options, std::shared_ptr<const std::vector<uint8_t>> expected,
            std::string label = {});
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds the socket; false with a one-line reason on failure.
  bool open(std::string& error);
  // Instead of open(): serves through the station's socket for the whole range, bound to `port`.
  void share(SharedSocket& shared, uint16_t port);
  uint16_t boundPort() const { return boundPort_; }
  int socket() const { return socket_; }
  // Called when the loop starts serving.
  void start(Clock::time_point now);
  // The socket is readable: answers up to `most` datagrams waiting (all by default).
  void receive(size_t most = SIZE_MAX);
  // Answers a datagram the shared socket read for this address.
  void accept(const SharedSocket::Received& datagram);
  // Sends the replies (and garbage) due by `now`.
  void sendDue(Clock::time_point now);
  // When sendDue next has something to do; nullopt: nothing pending.
  std::optional<Clock::time_point> nextWake() const;
  // Writes the memory dump(s) asked for; called once when stopping.
  void finish();
  // "PATH: is a FIFO, not a regular file" when a memory dump asked for could not be written
  // there; checked before serving, so such a path ends the emulator at once.
  std::optional<std::string> unusableDumpPath() const;

  const std::vector<UnitModel>& units() const { return units_; }

 private:
  static constexpr size_t kReplyLength = 20;

  struct Datagram {
    sockaddr_in to{};
    std::array<uint8_t, kReplyLength> bytes{};
  };
  struct Pending {
    Clock::time_point due;
    uint64_t order;  // keeps replies due at the same moment in sending order
    Datagram datagram;
  };

  void handle(const uint8_t* pdu, size_t length, const sockaddr_in& from);
  void answer(UnitModel& unit, uint8_t command, uint16_t seq, const uint8_t* payload,
              size_t payloadLength, const sockaddr_in& from);
  unsigned emit(Datagram& reply, unsigned extraDelayMs);  // returns the faults applied
  void transmit(const Datagram& d);
  void sendBytes(const uint8_t* bytes, size_t length, const sockaddr_in& to);
  void sendGarbage(const sockaddr_in& to);
  void imageCompleted(const UnitModel& unit);
  std::string dumpPath(const UnitModel& unit) const;
  void dump(const UnitModel& unit) const;

  SimOptions options_;
  FaultPlan faults_;
  std::vector<UnitModel> units_;
  std::shared_ptr<const std::vector<uint8_t>> expected_;
  std::string label_;
  int socket_ = -1;
  SharedSocket* shared_ = nullptr;  // set: replies go out through it
  uint16_t boundPort_ = 0;
  std::vector<Pending> pending_;  // a min-heap on (due, order)
  uint64_t nextOrder_ = 0;
  std::optional<Datagram> held_;  // a reply held back to go out after the next one
  std::optional<sockaddr_in> lastPeer_;
  Clock::time_point arrival_{};  // of the PDU being answered
  Clock::time_point nextFlood_{};
  std::array<uint8_t, 300> garbage_{};
};

}  // namespace uvq::sim
