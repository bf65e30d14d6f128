// SPDX-License-Identifier: Apache-2.0
#pragma once

// Units behind one loopback address, answering as a script says: for the job tests, which need
// answers a well-behaved emulated unit never gives (a file-finished flag on the wrong record,
// error bits after a reset, a second unit answering late, a full unit table).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/CommandCode.h"
#include "protocol/PduLayout.h"
#include "protocol/ReplyLayout.h"

namespace jobtest {

using Clock = std::chrono::steady_clock;

struct ScriptedUnit {
  uint16_t id = 0x0100;
  int delayMs = 0;  // every answer of this unit comes this much later
  bool loaderMode = false;
  bool userCodeInvalid = false;
  bool silent = false;             // answers nothing (any more)
  std::vector<uint8_t> written{};  // the record bytes it was sent, in order
  int captures = 0;
  int resets = 0;
};

class ScriptedUnits {
 public:
  explicit ScriptedUnits(const std::string& address) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(uvq::protocol::kUnitPort);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      throw std::runtime_error("cannot bind " + address);
  }
  ~ScriptedUnits() { ::close(socket_); }

  int handle() const { return socket_; }
  std::vector<ScriptedUnit> units;
  // Status of a record's acknowledgement: record index (from 0), the count so far of records
  // the unit was sent. Default: "record done", and "file done" on the image's last record.
  std::function<uint16_t(size_t index)> recordStatus;
  // Status a unit reports to a locate after the reset; default: its plain state.
  std::function<uint16_t()> statusAfterReset;
  size_t imageRecords = 0;
  int pdusReceived = 0;

  // Reads what has come and sends the answers that are due.
  void pump() {
    uint8_t pdu[512];
    for (;;) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          ::recvfrom(socket_, pdu, sizeof pdu, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      if (n >= static_cast<ssize_t>(uvq::protocol::kHeaderLength)) {
        ++pdusReceived;
        answer(pdu, static_cast<size_t>(n), from);
      }
    }
    const auto now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->due > now) {
        ++it;
        continue;
      }
      ::sendto(socket_, it->bytes.data(), it->bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
      it = pending_.erase(it);
    }
  }
  bool answersPending() const { return !pending_.empty(); }

 private:
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    sockaddr_in to;
  };

  uint16_t baseStatus(const ScriptedUnit& unit) const {
    uint16_t status = 0;
    if (unit.loaderMode) status |= 0x4000;
    if (unit.userCodeInvalid) status |= 0x2000;
    return status;
  }

  void answer(const uint8_t* pdu, size_t length, const sockaddr_in& from) {
    using uvq::protocol::Command;
    using uvq::protocol::PduOffset;
    const uint16_t addressed =
        static_cast<uint16_t>(pdu[PduOffset::kUvqIdHigh] << 8 | pdu[PduOffset::kUvqIdLow]);
    const uint8_t command = pdu[PduOffset::kCommand];
    for (ScriptedUnit& unit : units) {
      if (unit.silent || (addressed != 0 && addressed != unit.id)) continue;
      uint16_t status = 0;
      switch (static_cast<Command>(command)) {
        case Command::Capture:
          ++unit.captures;
          unit.loaderMode = true;
          status = baseStatus(unit);
          break;
        case Command::ProgramRecord: {
          const size_t index = unit.written.size() / uvq::protocol::kRecordSize;
          unit.written.insert(unit.written.end(), pdu + PduOffset::kPayload, pdu + length);
          unit.userCodeInvalid = true;
          const bool last = index + 1 == imageRecords;
          status = recordStatus ? recordStatus(index) : (last ? 0x0018 : 0x0010);
          if (last) unit.userCodeInvalid = false;
          status |= baseStatus(unit);
          break;
        }
        case Command::Reset:
          ++unit.resets;
          unit.loaderMode = false;
          status = baseStatus(unit);
          break;
        default:
          status = baseStatus(unit);
          if (!unit.loaderMode && unit.resets > 0 && statusAfterReset) status = statusAfterReset();
          break;
      }
      std::vector<uint8_t> reply(uvq::protocol::kMinimumReplyLength, 0);
      using uvq::protocol::ReplyOffset;
      reply[ReplyOffset::kSeqHigh] = pdu[PduOffset::kSeqHigh];
      reply[ReplyOffset::kSeqLow] = pdu[PduOffset::kSeqLow];
      reply[ReplyOffset::kType] = command;
      reply[ReplyOffset::kUvqIdHigh] = static_cast<uint8_t>(unit.id >> 8);
      reply[ReplyOffset::kUvqIdLow] = static_cast<uint8_t>(unit.id & 0xFF);
      reply[ReplyOffset::kIp] = 127;
      reply[ReplyOffset::kIp + 3] = 1;
      reply[ReplyOffset::kStatusHigh] = static_cast<uint8_t>(status >> 8);
      reply[ReplyOffset::kStatusLow] = static_cast<uint8_t>(status & 0xFF);
      pending_.push_back({Clock::now() + std::chrono::milliseconds(unit.delayMs), reply, from});
    }
  }

  int socket_ = -1;
  std::vector<Pending> pending_;
};

}  // namespace jobtest
