// The host's audio output and its nested lock.
#include "platform/audio_device.h"

#include <SDL.h>

#include <atomic>
#include <cstdio>
#include <cstring>


namespace {

SDL_AudioDeviceID audio_device = 0;
std::atomic<os_audio_mixer_fn> audio_mixer{nullptr};
int audio_lock_level = 0;
// The device whose lock is held: a device opened while the level was already
// above 0 was never locked, so its unlock must not be released.
SDL_AudioDeviceID locked_device = 0;

void lock_sdl_audio() {
  locked_device = audio_device;
  if (locked_device) SDL_LockAudioDevice(locked_device);
}

void unlock_sdl_audio() {
  if (locked_device) SDL_UnlockAudioDevice(locked_device);
  locked_device = 0;
}

}  // namespace

void (*os_take_sdl_audio_lock)() = lock_sdl_audio;
void (*os_release_sdl_audio_lock)() = unlock_sdl_audio;

void os_set_audio_mixer(os_audio_mixer_fn mixer_fn) { audio_mixer.store(mixer_fn); }

void sdl2_mixer_callback(void *, uint8_t *stream, int length_in_bytes) {
  if (!stream || length_in_bytes <= 0) return;
  const int frames = length_in_bytes / 4;
  os_audio_mixer_fn mix = audio_mixer.load();
  // The stream is 2-byte aligned: SDL hands over its own sample buffer.
  if (mix && frames > 0)
    mix(reinterpret_cast<int16_t *>(stream), frames);
  else
    memset(stream, 0, size_t(frames) * 4);
  memset(stream + size_t(frames) * 4, 0, size_t(length_in_bytes % 4));
}

bool os_open_audio() {
  if (audio_device) return true;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
    printf("** audio init failed");
    printf(" %s\n", SDL_GetError());
    fflush(stdout);
    return false;
  }
  SDL_AudioSpec want{};
  want.freq = os_audio_frequency;
  want.format = AUDIO_S16LSB;
  want.channels = os_audio_channels;
  want.samples = os_audio_samples;
  want.callback = sdl2_mixer_callback;
  // No changes allowed: SDL converts, so the mixer always sees this format.
  audio_device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
  if (!audio_device) {
    printf("** audio open failed");
    printf(" %s\n", SDL_GetError());
    fflush(stdout);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return false;
  }
  SDL_PauseAudioDevice(audio_device, 0);
  return true;
}

void os_close_audio() {
  if (!audio_device) return;
  // SDL's lock must not be held while the device it belongs to goes away.
  if (audio_lock_level > 0) os_release_sdl_audio_lock();
  audio_lock_level = 0;
  SDL_CloseAudioDevice(audio_device);
  audio_device = 0;
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool os_audio_is_open() { return audio_device != 0; }

int os_lock_audio() {
  if (audio_lock_level++ == 0) os_take_sdl_audio_lock();
  return audio_lock_level;
}

void os_unlock_audio() {
  if (audio_lock_level <= 0) return;
  if (--audio_lock_level == 0) os_release_sdl_audio_lock();
}

int os_audio_lock_level() { return audio_lock_level; }
