// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include "protocol/ControlPdu.h"
#include "protocol/ReplyLayout.h"

namespace uvq::presenter {

// What the window knows of its target beyond the service: where it sends to, and the
// machine-wide lock on a unit there, which the command line takes too.
class UnitGuard {
 public:
  virtual ~UnitGuard() = default;
  // The address datagrams go to now; nullopt when the target cannot be resolved.
  virtual std::optional<protocol::Ipv4Bytes> targetAddress() = 0;
  // Holds the lock on `unit` at the target (nullopt: every unit there) until unlockUnit(),
  // replacing any other lock held. nullopt when held; else the line saying who holds it.
  virtual std::optional<std::string> lockUnit(std::optional<protocol::UvqId> unit) = 0;
  virtual void unlockUnit() = 0;
};

}  // namespace uvq::presenter
