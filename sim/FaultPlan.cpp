// SPDX-License-Identifier: Apache-2.0
#include "FaultPlan.h"

namespace uvq::sim {

bool FaultPlan::roll(double p) {
  if (p <= 0) return false;  // no draw: runs without faults stay independent of the seed
  if (p >= 1) return true;
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

unsigned FaultPlan::replyDelayMs() {
  unsigned delay = options_.delayMs;
  if (options_.jitterMs > 0) {
    delay += std::uniform_int_distribution<unsigned>(0, options_.jitterMs)(rng_);
  }
  return delay;
}

}  // namespace uvq::sim
