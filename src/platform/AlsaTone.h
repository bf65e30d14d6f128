// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ToneSamples.h"
#include "ports/Ports.h"

namespace uvq::platform {

// Plays the beep on the default sound output and returns once it has been heard. Without a
// sound device it simply waits as long as the tone would last, so callers see the same pause.
class AlsaTone : public uvq::Tone {
 public:
  explicit AlsaTone(const ToneShape& shape = {});
  void beep() override;

 private:
  bool play();  // false when the device could not be used

  ToneShape shape_;
  std::vector<int16_t> samples_;  // built once; a beep never allocates
};

}  // namespace uvq::platform
