// SPDX-License-Identifier: Apache-2.0
#include "platform/ToneSamples.h"

#include <cmath>
#include <numbers>

namespace uvq::platform {

std::vector<int16_t> GenerateToneSamples(const ToneShape& shape) {
  const size_t count =
      static_cast<size_t>(static_cast<int64_t>(shape.sampleRate) * shape.durationMs / 1000);
  std::vector<int16_t> samples(count);
  const double step = 2.0 * std::numbers::pi * shape.frequencyHz / shape.sampleRate;
  for (size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<int16_t>(std::lround(shape.amplitude * std::sin(step * i)));
  }
  return samples;
}

}  // namespace uvq::platform
