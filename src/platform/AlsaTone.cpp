// SPDX-License-Identifier: Apache-2.0
#include "platform/AlsaTone.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace uvq::platform {
namespace {

// The sound library is loaded at the first beep, not linked: a station that never beeps needs
// no sound packages installed, and a machine without the library simply stays silent.
struct AlsaCalls {
  decltype(&snd_pcm_open) open = nullptr;
  decltype(&snd_pcm_set_params) setParams = nullptr;
  decltype(&snd_pcm_writei) writei = nullptr;
  decltype(&snd_pcm_recover) recover = nullptr;
  decltype(&snd_pcm_drain) drain = nullptr;
  decltype(&snd_pcm_close) close = nullptr;
  decltype(&snd_lib_error_set_handler) setErrorHandler = nullptr;
};

// The library reports a missing device on stderr by default; a machine without sound is a
// normal case here, so those messages are silenced.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

template <typename Call>
bool Resolve(void* library, const char* name, Call& call) {
  call = reinterpret_cast<Call>(::dlsym(library, name));
  return call != nullptr;
}

// nullptr when the library or one of its calls is missing. Loaded once per process and kept.
const AlsaCalls* LoadAlsa() {
  static const AlsaCalls* loaded = []() -> const AlsaCalls* {
    void* library = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static AlsaCalls calls;
    const bool complete = Resolve(library, "snd_pcm_open", calls.open) &&
                          Resolve(library, "snd_pcm_set_params", calls.setParams) &&
                          Resolve(library, "snd_pcm_writei", calls.writei) &&
                          Resolve(library, "snd_pcm_recover", calls.recover) &&
                          Resolve(library, "snd_pcm_drain", calls.drain) &&
                          Resolve(library, "snd_pcm_close", calls.close) &&
                          Resolve(library, "snd_lib_error_set_handler", calls.setErrorHandler);
    if (!complete) return nullptr;
    calls.setErrorHandler(&QuietAlsaErrors);
    return &calls;
  }();
  return loaded;
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
  const AlsaCalls* alsa = LoadAlsa();
  if (!alsa) return false;
  snd_pcm_t* pcm = nullptr;
  if (alsa->open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return false;

  constexpr unsigned kLatencyMicroseconds = 100000;
  bool ok = alsa->setParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                            static_cast<unsigned>(shape_.sampleRate), 1, kLatencyMicroseconds) >= 0;
  size_t written = 0;
  while (ok && written < samples_.size()) {
    snd_pcm_sframes_t frames =
        alsa->writei(pcm, samples_.data() + written, samples_.size() - written);
    if (frames < 0) frames = alsa->recover(pcm, static_cast<int>(frames), 1);
    if (frames < 0) {
      ok = false;
    } else {
      written += static_cast<size_t>(frames);
    }
  }
  if (ok) ok = alsa->drain(pcm) >= 0;
  alsa->close(pcm);
  return ok;
}

}  // namespace uvq::platform
