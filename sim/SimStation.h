// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Options.h"
#include "SharedSocket.h"
#include "SimServer.h"

namespace uvq::sim {

// Every address the emulator listens on, served from one poll() loop: a station of hundreds of
// units is one process. Each address has its own units, and a socket of its own unless the
// range is large enough to share one (see SharedSocket); all other options apply to each alike,
// except that address N's faults are seeded with --seed + N, and its dump file and printed lines
// carry the address when there are several.
class SimStation {
 public:
  explicit SimStation(const SimOptions& options);

  // Reads the --expect image and binds every address; false with a one-line reason.
  bool open(std::string& error);
  // "127.0.1.1:16388", or "127.0.1.1-127.0.1.255:16388 (255 addresses)".
  std::string listeningText() const;
  // Serves until `stopFd` becomes readable (a signalfd in the program); -1 serves forever.
  void run(int stopFd);
  // Writes the memory dumps asked for; called once when stopping.
  void finish();

  const std::vector<std::unique_ptr<SimServer>>& servers() const { return servers_; }
  // True when the addresses share one socket.
  bool sharesSocket() const { return shared_ != nullptr; }

 private:
  SimOptions options_;
  std::unique_ptr<SharedSocket> shared_;
  std::vector<std::unique_ptr<SimServer>> servers_;
};

// The address as text, "127.0.1.5".
std::string AddressText(const Ipv4& ip);

}  // namespace uvq::sim
