// Mixer, RAM mirror and audio lock: the audio thread's mix of the 16 channels,
// and the main thread's refresh of the mirror of the audio owner's RAM.
#pragma once

#include <cstdint>

#include "mudo/mudo.h"

// Audio thread: fills `frames` stereo frames of i16 at `stream`, whatever the
// count (requests above 8,192 frames are mixed in parts).
void mudo_mix(int16_t *stream, int frames);
// Renders up to `frames` frames of one channel into `out` (interleaved);
// returns the frames written (fewer when a music channel's pattern ran out).
int mix_channel(mudo_channel &ch, int frames, int16_t *out);

// Takes the audio lock (one level of the nested lock), makes pid the audio
// owner when pid > 0 and refreshes the mirror: all of it at an owner change,
// the changed pages with refresh 1. Pair with audio_op_end. Returns the cycles
// the refresh cost, for whoever made it necessary to pay: mirror_page_cycles
// for each page written into the mirror, and all_channels_cycles more at a
// change of owner (its silencing of every channel).
int64_t audio_op_start(int64_t pid, int refresh);
constexpr int64_t mirror_page_cycles = 64;    // one 4 KB page into the mirror
constexpr int64_t all_channels_cycles = 128;  // a reset or command of all 16 channels
void audio_op_end();

// Unlocked single words, set from the settings.
void mudo_set_volume(int32_t v);
void mudo_set_stereo_swap(int32_t flag);
// Hard-resets all 16 channels and stops music (caller holds the audio lock).
void mudo_kill_all_audio();
// The same from the main thread: takes and releases the audio lock around it.
void mudo_kill_all_audio_locked();
