// SPDX-License-Identifier: Apache-2.0
#include "link/SharedSocket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ports/Ports.h"

namespace uvq::link {

namespace {

std::string ErrorText(int error) {
  return "Socket Error # " + std::to_string(error) + "\n" + std::strerror(error);
}

// A station of a thousand units keeps one datagram in flight each: the buffers must hold a burst
// of all their replies without dropping any.
constexpr int kBufferBytes = 4 * 1024 * 1024;

}  // namespace

SharedSocket::SharedSocket() {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (socket_ < 0) throw PlatformError("Cannot allocate socket.\n" + ErrorText(errno));
  const int off = 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof local;
  if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &off, sizeof off) != 0 ||
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    const int error = errno;
    ::close(socket_);
    throw PlatformError("Cannot open the station's socket.\n" + ErrorText(error));
  }
  localPort_ = ntohs(local.sin_port);
  // Larger buffers where the system allows; the defaults still work, only with less slack.
  for (const int option : {SO_RCVBUF, SO_SNDBUF})
    ::setsockopt(socket_, SOL_SOCKET, option, &kBufferBytes, sizeof kBufferBytes);

  for (size_t i = 0; i < kBatch; ++i) {
    sendIov_[i] = {sendBytes_[i].data(), 0};
    receiveIov_[i] = {received_[i].bytes.data(), kDatagramCapacity};
  }
}

SharedSocket::~SharedSocket() {
  if (socket_ >= 0) ::close(socket_);
}

void SharedSocket::queue(in_addr to, uint16_t port, std::span<const uint8_t> bytes, uint64_t tag) {
  if (queued_ == kBatch) flush({});
  const size_t i = queued_++;
  const size_t length = std::min(bytes.size(), kDatagramCapacity);
  std::memcpy(sendBytes_[i].data(), bytes.data(), length);
  sendIov_[i].iov_len = length;
  sendTo_[i] = {};
  sendTo_[i].sin_family = AF_INET;
  sendTo_[i].sin_addr = to;
  sendTo_[i].sin_port = htons(port);
  sendTags_[i] = tag;
}

void SharedSocket::flush(const SendFailed& failed) {
  size_t next = 0;
  while (next < queued_) {
    for (size_t i = next; i < queued_; ++i) {
      sendHeaders_[i] = {};
      sendHeaders_[i].msg_hdr.msg_name = &sendTo_[i];
      sendHeaders_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      sendHeaders_[i].msg_hdr.msg_iov = &sendIov_[i];
      sendHeaders_[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent =
        ::sendmmsg(socket_, &sendHeaders_[next], static_cast<unsigned>(queued_ - next), 0);
    if (sent > 0) {
      next += static_cast<size_t>(sent);
      continue;
    }
    const int error = sent < 0 ? errno : EIO;
    if (error == EINTR) continue;
    // The first datagram left was refused (an unreachable network, say): it is reported and
    // the others go out. An earlier datagram's "port unreachable" says nothing of this one,
    // which is lost like any datagram and resent by its job's watchdog.
    if (error != ECONNREFUSED && failed) failed(sendTags_[next], ErrorText(error));
    ++next;
  }
  queued_ = 0;
}

std::span<const SharedSocket::Received> SharedSocket::receive() {
  for (size_t i = 0; i < kBatch; ++i) {
    receiveHeaders_[i] = {};
    receiveHeaders_[i].msg_hdr.msg_name = &receiveFrom_[i];
    receiveHeaders_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    receiveHeaders_[i].msg_hdr.msg_iov = &receiveIov_[i];
    receiveHeaders_[i].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    // MSG_TRUNC: an over-long datagram reports its real length instead of being cut silently.
    const int count =
        ::recvmmsg(socket_, receiveHeaders_.data(), kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (count < 0) {
      // Another send's ICMP error is reported once and cleared: read again.
      if (errno == ECONNREFUSED || errno == EINTR) continue;
      return {};
    }
    for (int i = 0; i < count; ++i) {
      Received& r = received_[static_cast<size_t>(i)];
      r.from = receiveFrom_[static_cast<size_t>(i)].sin_addr;
      r.port = ntohs(receiveFrom_[static_cast<size_t>(i)].sin_port);
      r.length = receiveHeaders_[static_cast<size_t>(i)].msg_len;
    }
    return {received_.data(), static_cast<size_t>(count)};
  }
}

}  // namespace uvq::link
