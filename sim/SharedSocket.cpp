// SPDX-License-Identifier: Apache-2.0
#include "SharedSocket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace uvq::sim {

std::chrono::steady_clock::time_point ArrivalOf(const msghdr& message) {
  auto arrival = std::chrono::steady_clock::now();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    const auto sinceStamp =
        std::chrono::system_clock::now().time_since_epoch() -
        (std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
    if (sinceStamp > std::chrono::steady_clock::duration::zero() &&
        sinceStamp < std::chrono::seconds(1))
      arrival -= std::chrono::duration_cast<std::chrono::steady_clock::duration>(sinceStamp);
  }
  return arrival;
}

SharedSocket::SharedSocket()
    : buffers_(kBatch), peers_(kBatch), controls_(kBatch), inVectors_(kBatch), inHeaders_(kBatch) {
  received_.reserve(kBatch);
}

SharedSocket::~SharedSocket() {
  if (socket_ >= 0) ::close(socket_);
}

bool SharedSocket::open(uint16_t port, size_t addresses, std::string& error) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const auto fail = [&](const char* what) {
    error = std::string(what) + ": " + std::strerror(errno);
    ::close(socket_);
    socket_ = -1;
    return false;
  };
  // Bound to the device before the address: at no moment does it hear anything but loopback.
  static constexpr char kLoopback[] = "lo";
  if (::setsockopt(socket_, SOL_SOCKET, SO_BINDTODEVICE, kLoopback, sizeof kLoopback) != 0)
    return fail("binding to the loopback device");
  const int on = 1;
  if (::setsockopt(socket_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return fail("IP_PKTINFO");
  // Arrival stamps for late replies (see ArrivalOf()).
  ::setsockopt(socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // Every busy address may have a record or two queued while the log is being written; the
  // forced size passes the system's cap where allowed, the plain one is the best otherwise.
  const int bufferBytes = static_cast<int>(std::clamp<size_t>(addresses * 8192, 1 << 20, 32 << 20));
  if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0)
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  if (::setsockopt(socket_, SOL_SOCKET, SO_SNDBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0)
    ::setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return fail("bind");
  socklen_t length = sizeof address;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return true;
}

const std::vector<SharedSocket::Received>& SharedSocket::receive() {
  received_.clear();
  for (size_t i = 0; i < kBatch; ++i) {
    inVectors_[i] = {buffers_[i].data(), buffers_[i].size()};
    msghdr& m = inHeaders_[i].msg_hdr;
    m = {};
    m.msg_name = &peers_[i];
    m.msg_namelen = sizeof peers_[i];
    m.msg_iov = &inVectors_[i];
    m.msg_iovlen = 1;
    m.msg_control = controls_[i].data();
    m.msg_controllen = controls_[i].size();
    inHeaders_[i].msg_len = 0;
  }
  int n = 0;
  do {
    n = ::recvmmsg(socket_, inHeaders_.data(), kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    const msghdr& m = inHeaders_[static_cast<size_t>(i)].msg_hdr;
    Received r;
    r.bytes = buffers_[static_cast<size_t>(i)].data();
    r.length = inHeaders_[static_cast<size_t>(i)].msg_len;
    r.from = peers_[static_cast<size_t>(i)];
    r.arrival = ArrivalOf(m);
    bool addressed = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&m), c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      r.to = info.ipi_addr;
      addressed = true;
    }
    if (addressed) received_.push_back(r);
  }
  return received_;
}

void SharedSocket::queue(const uint8_t* bytes, size_t length, const sockaddr_in& to,
                         const Ipv4& from) {
  if (queuedCount_ == queued_.size()) queued_.emplace_back();
  Outgoing& o = queued_[queuedCount_++];
  o.to = to;
  std::memcpy(&o.from, from.data(), sizeof o.from);
  o.length = static_cast<uint16_t>(std::min(length, kLongest));
  std::copy_n(bytes, o.length, o.bytes.begin());
}

void SharedSocket::flush() {
  if (queuedCount_ == 0) return;
  if (outHeaders_.size() < queuedCount_) {
    outVectors_.resize(queuedCount_);
    outControls_.resize(queuedCount_);
    outHeaders_.resize(queuedCount_);
  }
  for (size_t i = 0; i < queuedCount_; ++i) {
    Outgoing& o = queued_[i];
    outVectors_[i] = {o.bytes.data(), o.length};
    auto& control = outControls_[i];
    control.fill(0);
    msghdr& m = outHeaders_[i].msg_hdr;
    m = {};
    m.msg_name = &o.to;
    m.msg_namelen = sizeof o.to;
    m.msg_iov = &outVectors_[i];
    m.msg_iovlen = 1;
    m.msg_control = control.data();
    m.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = o.from;  // the reply leaves from the address that was asked
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  // A datagram the kernel refuses (a full buffer) is lost, as on the network; the tool
  // retries. The rest still go.
  size_t sent = 0;
  while (sent < queuedCount_) {
    const unsigned count = static_cast<unsigned>(std::min(queuedCount_ - sent, kMostPerSend));
    const int n = ::sendmmsg(socket_, outHeaders_.data() + sent, count, 0);
    if (n < 0 && errno == EINTR) continue;
    sent += n > 0 ? static_cast<size_t>(n) : 1;
  }
  queuedCount_ = 0;
}

}  // namespace uvq::sim
