// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <vector>

namespace uvq::platform {

struct ToneShape {
  int sampleRate = 48000;
  double frequencyHz = 800.0;
  int durationMs = 250;
  int16_t amplitude = 16000;  // about half of full scale: audible without being harsh
};

// One channel of signed 16-bit samples of a sine wave starting at phase zero.
std::vector<int16_t> GenerateToneSamples(const ToneShape& shape);

}  // namespace uvq::platform
