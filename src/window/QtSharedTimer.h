// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QMetaObject>
#include <functional>

#include "ports/Ports.h"

class QTimer;

namespace uvq::window {

// The engine's one shared timer on the window's QTimer. The QTimer repeats: the engine
// disables it in every tick handler, so each arming yields one tick. An interval of 0 never
// ticks (a zero-interval QTimer would fire on every pass of the event loop).
class QtSharedTimer : public uvq::SharedTimer {
 public:
  using TickHandler = std::function<void(uvq::TimerRole)>;

  QtSharedTimer(QTimer& timer, TickHandler onTick);
  ~QtSharedTimer() override;
  QtSharedTimer(const QtSharedTimer&) = delete;
  QtSharedTimer& operator=(const QtSharedTimer&) = delete;

  void disable() override;
  void enable() override;
  void setHandler(uvq::TimerRole role) override { role_ = role; }
  void setInterval(int milliseconds) override;

  uvq::TimerRole role() const { return role_; }
  int interval() const { return interval_; }
  bool isEnabled() const { return enabled_; }
  bool isActive() const;

  // Runs what a timeout runs, now (tests fire the handler instead of waiting for it).
  void tick();

 private:
  void apply();

  QTimer& timer_;
  QMetaObject::Connection connection_;
  TickHandler onTick_;
  uvq::TimerRole role_ = uvq::TimerRole::None;
  int interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace uvq::window
