// SPDX-License-Identifier: Apache-2.0
#include "platform/AlsaTone.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdarg>
#include <mutex>
#include <thread>

namespace uvq::platform {
namespace {

// The library reports a missing device on stderr by default; a machine without sound is a
// normal case here, so those messages are silenced.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void InstallQuietErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaErrors); });
}

}  // namespace

AlsaTone::AlsaTone(const ToneShape& shape) : shape_(shape), samples_(GenerateToneSamples(shape)) {}

void AlsaTone::beep() {
  const auto start = std::chrono::steady_clock::now();
  const bool played = play();
  // Without a device, or after one that failed part way, make up the rest of the tone's time.
  if (!played) std::this_thread::sleep_until(start + std::chrono::milliseconds(shape_.durationMs));
}

bool AlsaTone::play() {
  InstallQuietErrorHandler();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return false;

  constexpr unsigned kLatencyMicroseconds = 100000;
  bool ok =
      snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                         static_cast<unsigned>(shape_.sampleRate), 1, kLatencyMicroseconds) >= 0;
  size_t written = 0;
  while (ok && written < samples_.size()) {
    snd_pcm_sframes_t frames =
        snd_pcm_writei(pcm, samples_.data() + written, samples_.size() - written);
    if (frames < 0) frames = snd_pcm_recover(pcm, static_cast<int>(frames), 1);
    if (frames < 0) {
      ok = false;
    } else {
      written += static_cast<size_t>(frames);
    }
  }
  if (ok) ok = snd_pcm_drain(pcm) >= 0;
  snd_pcm_close(pcm);
  return ok;
}

}  // namespace uvq::platform
