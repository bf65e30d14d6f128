// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

#include "ports/Ports.h"

namespace uvq::link {

// What went wrong on a read. Only a socket error can repeat without new traffic, so only that
// one makes the receive thread back off.
enum class ReceiveFailure { EmptyDatagram, OversizedDatagram, SocketError };

// A failed read. Its text is what an operator sees in a message box; nothing was handed over.
class ReceiveError : public PlatformError {
 public:
  ReceiveError(ReceiveFailure failure, const std::string& text)
      : PlatformError(text), failure_(failure) {}
  ReceiveFailure failure() const { return failure_; }

 private:
  ReceiveFailure failure_;
};

// The log lines for problems on the receive side, kept in one place so that the threaded window
// and a single-threaded front end word them alike. Line breaks in a platform text are folded so
// that each problem stays one log line.
std::string ReceiveFailureLogLine(const ReceiveError& error);
std::string ReplyHandlingLogLine(std::string_view what);

}  // namespace uvq::link
