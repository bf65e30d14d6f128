// SPDX-License-Identifier: Apache-2.0
#include "SimServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileRule.h"
#include "protocol/CommandCode.h"
#include "protocol/IpAddressText.h"
#include "protocol/PduLayout.h"
#include "protocol/ReplyLayout.h"

namespace uvq::sim {

using protocol::PduOffset;
using protocol::ReplyOffset;

namespace {

enum FaultApplied : unsigned {
  kSilenced = 1,
  kDropped = 2,
  kWrongSeq = 4,
  kDelayed = 8,
  kDuplicated = 16,
  kHeld = 32,
  kGarbage = 64,
};

bool Later(const auto& a, const auto& b) {
  return a.due != b.due ? a.due > b.due : a.order > b.order;
}

std::string PeerText(const sockaddr_in& a) {
  return protocol::Ipv4Text(a.sin_addr) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

SimServer::SimServer(const SimOptions& options,
                     std::shared_ptr<const std::vector<uint8_t>> expected, std::string label)
    : options_(options),
      faults_(options.faults),
      expected_(std::move(expected)),
      label_(std::move(label)) {
  units_.reserve(options.units);
  UnitConfig config = options.firstUnit;
  for (unsigned i = 0; i < options.units; ++i) {
    units_.emplace_back(config);
    ++config.id;
    for (int b = 3; b >= 0 && ++config.ip[b] == 0; --b) {
    }
  }
  pending_.reserve(64);
}

SimServer::~SimServer() {
  if (socket_ >= 0) ::close(socket_);
}

bool SimServer::open(std::string& error) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // Room for a burst of records while the log is being written.
  const int bufferBytes = 1 << 20;
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  // Arrival stamps for late replies (see receive()).
  const int on = 1;
  ::setsockopt(socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  std::memcpy(&address.sin_addr, options_.bind.data(), 4);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = "cannot listen on " + PeerText(address) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  boundPort_ = ntohs(address.sin_port);
  return true;
}

void SimServer::share(SharedSocket& shared, uint16_t port) {
  shared_ = &shared;
  boundPort_ = port;
}

void SimServer::start(Clock::time_point now) {
  nextFlood_ = now + std::chrono::milliseconds(options_.faults.floodMs);
}

std::optional<SimServer::Clock::time_point> SimServer::nextWake() const {
  std::optional<Clock::time_point> wake;
  if (!pending_.empty()) wake = pending_.front().due;
  if (options_.faults.floodMs > 0 && lastPeer_)
    wake = std::min(wake.value_or(nextFlood_), nextFlood_);
  return wake;
}

// A late reply is late from the moment the PDU reached the unit, as on a real unit: the kernel's
// arrival stamp counts, not when this loop got round to reading it.
void SimServer::receive(size_t most) {
  uint8_t buffer[protocol::kTransmitBufferSize + 1];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  const bool stamped = options_.faults.delayMs > 0 || options_.faults.jitterMs > 0 ||
                       options_.faults.eraseDelayMs > 0;
  for (size_t count = 0; count < most; ++count) {
    sockaddr_in from{};
    iovec data{buffer, sizeof buffer};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = stamped ? control : nullptr;
    message.msg_controllen = stamped ? sizeof control : 0;
    const ssize_t n = ::recvmsg(socket_, &message, MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: drained
    }
    arrival_ = stamped ? ArrivalOf(message) : Clock::now();
    handle(buffer, static_cast<size_t>(n), from);
  }
}

void SimServer::accept(const SharedSocket::Received& datagram) {
  arrival_ = datagram.arrival;
  handle(datagram.bytes, datagram.length, datagram.from);
}

void SimServer::handle(const uint8_t* pdu, size_t length, const sockaddr_in& from) {
  lastPeer_ = from;
  if (length < protocol::kHeaderLength || length > protocol::kTransmitBufferSize ||
      pdu[PduOffset::kLead1] != protocol::kLeadByte1 ||
      pdu[PduOffset::kLead2] != protocol::kLeadByte2) {
    if (!options_.quiet) {
      std::printf("%sfrom %s ignored: malformed datagram of %zu bytes\n", label_.c_str(),
                  PeerText(from).c_str(), length);
    }
    return;
  }
  const uint16_t id =
      static_cast<uint16_t>(pdu[PduOffset::kUvqIdHigh] << 8 | pdu[PduOffset::kUvqIdLow]);
  const uint16_t seq =
      static_cast<uint16_t>(pdu[PduOffset::kSeqHigh] << 8 | pdu[PduOffset::kSeqLow]);
  const uint8_t command = pdu[PduOffset::kCommand];
  const uint8_t* payload = pdu + PduOffset::kPayload;
  const size_t payloadLength = length - protocol::kHeaderLength;

  if (id == 0) {
    // Capture and locate to ID 0000 reach every unit; answered last unit first so the tool's
    // sorting shows. Anything else to 0000 is never acted on: an erase must name its unit.
    if (command == protocol::Code(protocol::Command::Capture) ||
        command == protocol::Code(protocol::Command::Locate)) {
      for (auto unit = units_.rbegin(); unit != units_.rend(); ++unit) {
        answer(*unit, command, seq, payload, payloadLength, from);
      }
      return;
    }
  } else {
    const uint32_t index = static_cast<uint32_t>(id - units_.front().id());
    if (id >= units_.front().id() && index < units_.size()) {
      answer(units_[index], command, seq, payload, payloadLength, from);
      return;
    }
  }
  if (!options_.quiet) {
    std::printf("%sfrom %s seq %u cmd %u unit %04X ignored: no such unit\n", label_.c_str(),
                PeerText(from).c_str(), seq, command, id);
  }
}

void SimServer::answer(UnitModel& unit, uint8_t command, uint16_t seq, const uint8_t* payload,
                       size_t payloadLength, const sockaddr_in& from) {
  const bool isRecord = command == protocol::Code(protocol::Command::ProgramRecord);
  const uint16_t injected = isRecord ? faults_.injectedBits(unit.recordsReceived() + 1) : 0;
  const UnitAnswer a = unit.handle(command, {payload, payloadLength}, injected);
  if (!a.reply) {
    if (!options_.quiet) {
      std::printf("%sfrom %s seq %u cmd %u unit %04X ignored: unknown command\n", label_.c_str(),
                  PeerText(from).c_str(), seq, command, unit.id());
    }
    return;
  }

  // Dump and verdict first: once the tool sees "finished programing file", both are there.
  if (a.imageCompleted) imageCompleted(unit);

  Datagram reply;
  reply.to = from;
  auto& r = reply.bytes;
  r[0] = protocol::kLeadByte1;
  r[1] = protocol::kLeadByte2;
  r[2] = r[ReplyOffset::kUvqIdHigh] = static_cast<uint8_t>(unit.id() >> 8);
  r[3] = r[ReplyOffset::kUvqIdLow] = static_cast<uint8_t>(unit.id());
  r[ReplyOffset::kSeqHigh] = static_cast<uint8_t>(seq >> 8);
  r[ReplyOffset::kSeqLow] = static_cast<uint8_t>(seq);
  r[ReplyOffset::kType] = command;
  std::copy(unit.ip().begin(), unit.ip().end(), r.begin() + ReplyOffset::kIp);
  r[ReplyOffset::kStatusHigh] = static_cast<uint8_t>(a.status >> 8);
  r[ReplyOffset::kStatusLow] = static_cast<uint8_t>(a.status);
  r[ReplyOffset::kDataSeq] = unit.dataSequence();

  const bool isErase = command == protocol::Code(protocol::Command::EraseDevice) ||
                       command == protocol::Code(protocol::Command::EraseProgram) ||
                       command == protocol::Code(protocol::Command::EraseData);
  const unsigned faults = emit(reply, isErase ? options_.faults.eraseDelayMs : 0);

  if (!options_.quiet) {
    std::printf("%sfrom %s seq %u cmd %u unit %04X status %04X%s%s%s%s%s%s%s\n", label_.c_str(),
                PeerText(from).c_str(), seq, command, unit.id(), a.status,
                faults & kSilenced ? " [silent]" : "", faults & kDropped ? " [dropped]" : "",
                faults & kWrongSeq ? " [wrong seq]" : "", faults & kDelayed ? " [delayed]" : "",
                faults & kDuplicated ? " [duplicated]" : "", faults & kHeld ? " [held]" : "",
                faults & kGarbage ? " [garbage]" : "");
  }
}

unsigned SimServer::emit(Datagram& reply, unsigned extraDelayMs) {
  if (options_.faults.silent) return kSilenced;
  if (faults_.dropReply()) return kDropped;
  unsigned applied = 0;
  if (faults_.corruptSequence()) {
    reply.bytes[ReplyOffset::kSeqHigh] ^= 0x55;
    reply.bytes[ReplyOffset::kSeqLow] ^= 0x55;
    applied |= kWrongSeq;
  }
  if (options_.faults.garbage != Garbage::kNone) {
    sendGarbage(reply.to);
    applied |= kGarbage;
  }
  const unsigned delay = faults_.replyDelayMs() + extraDelayMs;
  const int copies = faults_.duplicateReply() ? 2 : 1;
  if (copies == 2) applied |= kDuplicated;
  if (!held_ && faults_.holdReply()) {
    held_ = reply;
    return applied | kHeld;  // a held reply goes out (once) after the next one
  }
  if (delay == 0) {
    for (int i = 0; i < copies; ++i) transmit(reply);
    return applied;
  }
  const auto due = arrival_ + std::chrono::milliseconds(delay);
  for (int i = 0; i < copies; ++i) {
    pending_.push_back({due, nextOrder_++, reply});
    std::push_heap(pending_.begin(), pending_.end(), [](auto& a, auto& b) { return Later(a, b); });
  }
  return applied | kDelayed;
}

void SimServer::sendDue(Clock::time_point now) {
  while (!pending_.empty() && pending_.front().due <= now) {
    std::pop_heap(pending_.begin(), pending_.end(), [](auto& a, auto& b) { return Later(a, b); });
    const Datagram d = pending_.back().datagram;
    pending_.pop_back();
    transmit(d);
  }
  if (options_.faults.floodMs > 0 && lastPeer_ && nextFlood_ <= now) {
    sendGarbage(*lastPeer_);
    nextFlood_ = now + std::chrono::milliseconds(options_.faults.floodMs);
  }
}

void SimServer::transmit(const Datagram& d) {
  sendBytes(d.bytes.data(), d.bytes.size(), d.to);
  if (held_) {
    const Datagram held = *held_;
    held_.reset();
    sendBytes(held.bytes.data(), held.bytes.size(), held.to);
  }
}

void SimServer::sendBytes(const uint8_t* bytes, size_t length, const sockaddr_in& to) {
  if (shared_) {
    shared_->queue(bytes, length, to, options_.bind);
    return;
  }
  // A full send buffer loses the datagram, as the network would; the tool retries.
  (void)::sendto(socket_, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SimServer::sendGarbage(const sockaddr_in& to) {
  size_t length = 0;
  switch (options_.faults.garbage == Garbage::kNone ? Garbage::kShort : options_.faults.garbage) {
    case Garbage::kOverLong:
      length = garbage_.size();
      break;
    case Garbage::kShort:
      length = 10;
      break;
    case Garbage::kZero:
    case Garbage::kNone:
      length = 0;
      break;
  }
  for (size_t i = 0; i < length; ++i) garbage_[i] = faults_.randomByte();
  // Looks like the start of a reply, so only its length gives it away.
  if (length >= 2) {
    garbage_[0] = protocol::kLeadByte1;
    garbage_[1] = protocol::kLeadByte2;
  }
  sendBytes(garbage_.data(), length, to);
}

std::string SimServer::dumpPath(const UnitModel& unit) const {
  if (units_.size() == 1) return options_.dumpMemory;
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ".%04X", unit.id());
  return options_.dumpMemory + suffix;
}

void SimServer::imageCompleted(const UnitModel& unit) {
  if (!options_.dumpMemory.empty()) dump(unit);
  if (expected_) {
    char unitNote[16] = "";
    if (units_.size() > 1) std::snprintf(unitNote, sizeof unitNote, " (unit %04X)", unit.id());
    const auto difference = unit.programMemory().firstDifference(*expected_);
    if (difference) {
      std::printf("%sIMAGE MISMATCH at offset %zu%s\n", label_.c_str(), *difference, unitNote);
    } else {
      std::printf("%sIMAGE OK%s\n", label_.c_str(), unitNote);
    }
    std::fflush(stdout);
  }
}

void SimServer::finish() {
  if (options_.dumpMemory.empty()) return;
  for (const auto& unit : units_) dump(unit);
}

void SimServer::dump(const UnitModel& unit) const {
  const std::string path = dumpPath(unit);
  if (std::string problem; !unit.programMemory().dumpTo(path, problem))
    std::fprintf(stderr, "uvq-sim: cannot write %s: %s\n", path.c_str(), problem.c_str());
}

std::optional<std::string> SimServer::unusableDumpPath() const {
  if (options_.dumpMemory.empty()) return std::nullopt;
  for (const auto& unit : units_) {
    const std::string path = dumpPath(unit);
    if (const auto refusal = RefusedOutputPath(path)) return path + ": " + *refusal;
  }
  return std::nullopt;
}

}  // namespace uvq::sim
