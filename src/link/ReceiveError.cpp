// SPDX-License-Identifier: Apache-2.0
#include "link/ReceiveError.h"

namespace uvq::link {
namespace {

std::string OneLine(std::string_view prefix, std::string_view text) {
  std::string line(prefix);
  for (char c : text) {
    if (c == '\n') {
      line += ": ";
    } else if (c != '\r') {
      line += c;
    }
  }
  return line;
}

}  // namespace

std::string ReceiveFailureLogLine(const ReceiveError& error) {
  switch (error.failure()) {
    case ReceiveFailure::EmptyDatagram:
    case ReceiveFailure::OversizedDatagram:
      return OneLine("Datagram dropped: ", error.what());
    case ReceiveFailure::SocketError:
      break;
  }
  return OneLine("Receive failed, still listening: ", error.what());
}

std::string ReplyHandlingLogLine(std::string_view what) {
  return OneLine("Reply handling failed: ", what);
}

}  // namespace uvq::link
