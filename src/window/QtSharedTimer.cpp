// SPDX-License-Identifier: Apache-2.0
#include "window/QtSharedTimer.h"

#include <QTimer>

namespace uvq::window {

QtSharedTimer::QtSharedTimer(QTimer& timer, TickHandler onTick)
    : timer_(timer), onTick_(std::move(onTick)) {
  timer_.setSingleShot(false);
  timer_.setInterval(interval_);
  connection_ = QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
}

QtSharedTimer::~QtSharedTimer() {
  timer_.stop();
  QObject::disconnect(connection_);
}

void QtSharedTimer::disable() {
  enabled_ = false;
  apply();
}

void QtSharedTimer::enable() {
  enabled_ = true;
  apply();
}

void QtSharedTimer::setInterval(int milliseconds) {
  interval_ = milliseconds < 0 ? 0 : milliseconds;
  // A new interval restarts a running timer from zero.
  timer_.setInterval(interval_);
  apply();
}

bool QtSharedTimer::isActive() const {
  return timer_.isActive();
}

void QtSharedTimer::apply() {
  if (enabled_ && interval_ > 0) {
    if (!timer_.isActive()) timer_.start();
  } else {
    timer_.stop();
  }
}

void QtSharedTimer::tick() {
  if (role_ != uvq::TimerRole::None && onTick_) onTick_(role_);
}

}  // namespace uvq::window
