// audio_device: the host's audio output, its callback and the nested lock
// that guards what the main thread shares with the audio thread.
#pragma once

#include <cstdint>

constexpr int os_audio_frequency = 44100;
constexpr int os_audio_channels = 2;
constexpr int os_audio_samples = 512;

// Starts SDL's audio subsystem and opens and unpauses the device (signed
// 16-bit little-endian stereo at 44100 Hz). On failure prints why and returns
// false: the system then runs silent.
bool os_open_audio();
// Stops the device and the audio subsystem; the callback has returned for
// good when this returns. Nothing happens when no device is open.
void os_close_audio();
bool os_audio_is_open();

// What fills the device's buffers: `frames` stereo frames of signed 16-bit
// samples. Set by start-up (the synthesiser's mixer); without one the device
// plays silence. Called on the host's audio thread with SDL's lock held.
using os_audio_mixer_fn = void (*)(int16_t *stream, int frames);
void os_set_audio_mixer(os_audio_mixer_fn mixer_fn);

// The host audio thread's callback: length / 4 frames from the mixer; every
// byte of the stream is written.
void sdl2_mixer_callback(void *userdata, uint8_t *stream, int length_in_bytes);

// Nested lock: SDL's audio lock is taken only on the way from level 0 to 1 and
// released only on the way from 1 to 0; an unlock at level 0 does nothing.
// Main thread only. Returns the new level.
int os_lock_audio();
void os_unlock_audio();
int os_audio_lock_level();

// What taking and releasing SDL's lock does; tests swap in counters.
extern void (*os_take_sdl_audio_lock)();
extern void (*os_release_sdl_audio_lock)();
