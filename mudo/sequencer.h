// Sequencer: notes, tracks and their effects, and music made of patterns,
// tick by tick on the 16 channels. Runs on the audio thread inside the mixer,
// or under the audio lock when the script API calls it.
#pragma once

#include <cstdint>

#include "mudo/mudo.h"

// 255 in pitch, instrument, volume or effect: unchanged (pitch 255 also
// releases the note); pan mudo_pan_unchanged: unchanged. Channel -1: every
// channel hard-reset and music stopped; any other channel outside 0..15:
// nothing. An instrument above 255: the channel is hard-reset.
void mudo_set_note(int32_t channel, int32_t pitch, int32_t instrument, int32_t volume,
                   int32_t effect, int32_t param, bool retrigger, int32_t pan);
// Starts track t (t >= 0) or runs a command (t < 0); returns the channel
// used, or -1.
int32_t mudo_play_track(int32_t track, int32_t channel, int32_t row, int32_t rows, bool keep,
                        int32_t pan, int32_t mix_volume, int32_t base);
void mudo_play_music(int32_t pattern, int32_t fade_ms, int32_t mask, int32_t base);
void mudo_fade_out_music(int32_t ms);
void mudo_stop_music();
void mudo_play_pattern(int32_t pattern);
void advance_pattern();

void update_channel_track_tick(mudo_channel &ch);
void advance_channel_track_row(mudo_channel &ch);
// The first of channels 0-7 that plays a track, is in the music mask and does
// not loop; -1 when there is none.
int32_t get_leftmost_nonlooping_channel();
int32_t calc_pattern_ticks_to_play();
// One fade tick of the music level (while a fade runs).
void mudo_update_fade_tick();

void mudo_set_channel_mix_vol(int32_t channel, int32_t v);
void mudo_set_channel_base_addr(int32_t channel, int32_t addr);
void hard_reset_channel(mudo_channel &ch);
