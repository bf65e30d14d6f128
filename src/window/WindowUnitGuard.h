// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "locks/UnitLock.h"
#include "presenter/UnitGuard.h"

namespace uvq::window {

// The window's side of the machine-wide unit lock: the target as the link names it now
// (a host name is resolved when asked), and the one lock the window holds at a time.
class WindowUnitGuard final : public presenter::UnitGuard {
 public:
  // `host`: the link's target as set ("10.1.2.3", "LOCALHOST", a host name).
  explicit WindowUnitGuard(std::function<std::string()> host) : host_(std::move(host)) {}

  std::optional<protocol::Ipv4Bytes> targetAddress() override;
  std::optional<std::string> lockUnit(std::optional<protocol::UvqId> unit) override;
  void unlockUnit() override { lock_.reset(); }

 private:
  std::function<std::string()> host_;
  std::optional<locks::UnitLock> lock_;
  std::string lockedKey_;  // address and unit of lock_
};

}  // namespace uvq::window
