#include "TargetSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "link/ReceiveError.h"

namespace uvq::cli {
namespace {

std::string SocketErrorText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

TargetSocket::TargetSocket(in_addr address, uint16_t port) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (socket_ < 0) throw PlatformError(SocketErrorText("cannot allocate socket", errno));
  const int off = 0;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr = address;
  target.sin_port = htons(port);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &off, sizeof off) != 0 ||
      ::connect(socket_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    const int error = errno;
    ::close(socket_);
    socket_ = -1;
    throw PlatformError(SocketErrorText("cannot open a socket to the target", error));
  }
  localPort_ = ntohs(local.sin_port);
}

TargetSocket::~TargetSocket() {
  close();
}

void TargetSocket::close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

void TargetSocket::sendDatagram(std::span<const uint8_t> bytes) {
  ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), 0);
  // A connected socket reports an earlier datagram's "port unreachable" on the next call; that
  // says nothing about this datagram, which is sent again once.
  if (sent < 0 && errno == ECONNREFUSED) sent = ::send(socket_, bytes.data(), bytes.size(), 0);
  if (sent < 0) {
    const int error = errno;
    failed_ = true;
    if (error == EMSGSIZE) throw PlatformError("Package Size Too Big.");
    throw PlatformError(SocketErrorText("send", error));
  }
  if (static_cast<size_t>(sent) != bytes.size()) {
    failed_ = true;
    throw PlatformError("Not all bytes sent.");
  }
}

int TargetSocket::receive(uint8_t* buffer, int capacity, int waitMs) {
  // The wait is the socket's own receive time-out, set again only when it changes: one system
  // call per datagram. A zero wait means "do not wait", which the option cannot say.
  if (waitMs > 0 && waitMs != appliedWaitMs_) {
    const timeval wait{waitMs / 1000, static_cast<suseconds_t>(waitMs % 1000) * 1000};
    if (::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
      throw link::ReceiveError(link::ReceiveFailure::SocketError,
                               SocketErrorText("receive time-out", errno));
    appliedWaitMs_ = waitMs;
  }
  // MSG_TRUNC: Linux reports the datagram's real length, so an over-long one is noticed.
  const ssize_t length = ::recv(socket_, buffer, capacity > 0 ? static_cast<size_t>(capacity) : 0,
                                MSG_TRUNC | (waitMs > 0 ? 0 : MSG_DONTWAIT));
  if (length < 0) {
    const int error = errno;
    // Nothing came, a signal woke us, or nobody listens at the target (yet): no answer.
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNREFUSED)
      return 0;
    throw link::ReceiveError(link::ReceiveFailure::SocketError, SocketErrorText("receive", error));
  }
  if (length == 0)
    throw link::ReceiveError(link::ReceiveFailure::EmptyDatagram, "UDP Receive Error = 0.");
  if (length > capacity)
    throw link::ReceiveError(link::ReceiveFailure::OversizedDatagram,
                             "Message too long (" + std::to_string(length) + " bytes)");
  return static_cast<int>(length);
}

}  // namespace uvq::cli
