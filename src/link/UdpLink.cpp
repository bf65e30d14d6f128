// SPDX-License-Identifier: Apache-2.0
#include "link/UdpLink.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <variant>

#include "link/HostLookup.h"
#include "link/NumericHost.h"
#include "link/ReceiveError.h"
#include "link/UnusableTarget.h"
#include "protocol/IpAddressText.h"

namespace uvq::link {
namespace {

// Not an errno value: the number the tool has always shown for a name it cannot look up.
constexpr int kHostNotFoundCode = 11001;

std::string SocketErrorText(int error) {
  return "Socket Error # " + std::to_string(error) + "\n" + std::strerror(error);
}

in_addr LookUpHostName(const std::string& host) {
  const auto found = LookUpIpv4(host);
  if (const auto* address = std::get_if<in_addr>(&found)) return *address;
  throw PlatformError("Socket Error # " + std::to_string(kHostNotFoundCode) + "\nHost not found.");
}

protocol::Ipv4Bytes AddressBytes(in_addr address) {
  protocol::Ipv4Bytes bytes{};
  std::memcpy(bytes.data(), &address.s_addr, bytes.size());  // network order: first part first
  return bytes;
}

void RefuseUnusableTarget(in_addr address) {
  if (const auto reason = UnusableTargetReason(address)) throw PlatformError(*reason);
}

}  // namespace

UdpLink::UdpLink() {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (socket_ < 0) throw PlatformError("Cannot allocate socket.\n" + SocketErrorText(errno));
  try {
    const int off = 0;
    if (setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &off, sizeof off) != 0)
      throw PlatformError("Cannot switch broadcast off.\n" + SocketErrorText(errno));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
      throw PlatformError("Cannot bind socket.\n" + SocketErrorText(errno));
    socklen_t length = sizeof local;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
      throw PlatformError("Cannot read local port.\n" + SocketErrorText(errno));
    localPort_ = ntohs(local.sin_port);
  } catch (...) {
    ::close(socket_);
    throw;
  }
}

UdpLink::UdpLink(ConnectedTarget target) : connected_(true), port_(target.port) {
  RefuseUnusableTarget(target.address);
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (socket_ < 0) throw PlatformError("Cannot allocate socket.\n" + SocketErrorText(errno));
  const int off = 0;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr = target.address;
  remote.sin_port = htons(target.port);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &off, sizeof off) != 0 ||
      ::connect(socket_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 ||
      getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    const int error = errno;
    ::close(socket_);
    socket_ = -1;
    throw PlatformError("Cannot open a socket to the target.\n" + SocketErrorText(error));
  }
  localPort_ = ntohs(local.sin_port);
  host_ = protocol::Ipv4Text(target.address);
}

UdpLink::~UdpLink() {
  close();
}

void UdpLink::close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

void UdpLink::setHost(std::string host) {
  host_ = std::move(host);
  cachedValid_ = false;
}

in_addr UdpLink::targetAddress() {
  if (cachedValid_) return cached_;
  if (const std::optional<in_addr> numeric = NumericHost(host_)) {
    RefuseUnusableTarget(*numeric);
    cached_ = *numeric;
    cachedValid_ = true;
    return cached_;
  }
  const in_addr found = LookUpHostName(host_);
  RefuseUnusableTarget(found);
  return found;
}

void UdpLink::sendDatagram(std::span<const uint8_t> bytes) {
  ssize_t sent = 0;
  std::optional<in_addr> destination;  // a connected socket's is fixed and never asked
  if (connected_) {
    sent = ::send(socket_, bytes.data(), bytes.size(), 0);
    // A connected socket reports an earlier datagram's "port unreachable" on the next call;
    // that says nothing about this datagram, which is sent again once.
    if (sent < 0 && errno == ECONNREFUSED) sent = ::send(socket_, bytes.data(), bytes.size(), 0);
  } else {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = targetAddress();
    target.sin_port = htons(port_);
    destination = target.sin_addr;
    sent = ::sendto(socket_, bytes.data(), bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&target), sizeof target);
  }
  if (sent < 0) {
    const int error = errno;
    failed_ = true;
    if (error == EMSGSIZE) throw PlatformError("Package Size Too Big.");
    throw PlatformError(SocketErrorText(error));
  }
  if (static_cast<size_t>(sent) != bytes.size()) {
    failed_ = true;
    throw PlatformError("Not all bytes sent.");
  }
  if (destination) lastDestination_ = AddressBytes(*destination);
}

int UdpLink::receiveDatagram(uint8_t* buffer, int capacity, int timeoutMs) {
  const int timeout = timeoutMs < 0 ? receiveTimeoutMs_.load() : timeoutMs;
  // One system call per datagram: the wait is the socket's own receive time-out, set again only
  // when it changes (a separate poll() before each read cost a second call on every reply).
  // A zero time-out means "do not wait", which the socket option cannot say.
  if (timeout > 0 && timeout != appliedTimeoutMs_) {
    const timeval wait{timeout / 1000, static_cast<suseconds_t>(timeout % 1000) * 1000};
    if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
      throw ReceiveError(ReceiveFailure::SocketError, SocketErrorText(errno));
    appliedTimeoutMs_ = timeout;
  }

  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC makes Linux report the datagram's real length, so an over-long one is noticed
  // instead of being cut silently.
  const ssize_t length =
      ::recvfrom(socket_, buffer, capacity > 0 ? static_cast<size_t>(capacity) : 0,
                 MSG_TRUNC | (timeout > 0 ? 0 : MSG_DONTWAIT), reinterpret_cast<sockaddr*>(&from),
                 &fromLength);
  if (length < 0) {
    const int error = errno;
    // The time-out, or an interrupting signal: a wait without a datagram. Connected, nobody
    // listening at the target (yet) is no answer either.
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR ||
        (connected_ && error == ECONNREFUSED))
      return 0;
    throw ReceiveError(ReceiveFailure::SocketError, SocketErrorText(error));
  }
  lastSender_ = AddressBytes(from.sin_addr);
  if (length == 0) throw ReceiveError(ReceiveFailure::EmptyDatagram, "UDP Receive Error = 0.");
  if (length > capacity) {
    throw ReceiveError(ReceiveFailure::OversizedDatagram,
                       "Message too long (" + std::to_string(length) + " bytes)");
  }
  return static_cast<int>(length);
}

}  // namespace uvq::link
