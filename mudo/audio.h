// What the rest of the system asks of the synthesiser: the queries behind
// stat, the default wavetables and instrument of every new process, the audio
// callback handed to the host layer, and the audio capture.
#pragma once

#include <cstdint>

struct process;

// Channel field `index` of `channel` (callers hold the audio lock); -1 for
// what has no answer. Channel -1 with index -1 copies the last mixed output
// (frames x 2 samples) to dest and returns its frames; index 19 copies the
// channel's stereo block of one tick, 20-27 a node's buffer (needs dest).
int32_t mudo_get_channel_state(int32_t channel, int32_t index, int16_t *dest);
// Bit c set while channel c plays a track.
int32_t mudo_get_active_channels();
// 0: the pattern while music plays, else -1; 1: the leftmost non-looping music
// channel, 0 when none; other values -1.
int32_t mudo_get_music_state(int32_t which);

// The default wavetables (RAM 0xF78000-0xFFFFFF) of a new process: copied
// from process 1, or computed (once per run) for process 1 itself.
void generate_default_wavetable(process *P);
// Default instrument 0 at RAM 0x40000.
void generate_default_audio_data(process *P);
// The default wavetable block: 16,384 noise samples, then 256 waves of 1,024.
constexpr int default_wavetable_samples = 16384 + 256 * 1024;
const int16_t *default_wavetable_block();

// The host audio callback's work: mix, then feed a running capture.
void mudo_audio_callback(int16_t *stream, int frames);

// Audio capture (toggled by _signal(16)). Start and end take the audio lock,
// so the callback never appends to a buffer being replaced or freed.
constexpr int64_t audio_capture_initial_bytes = 1764000;  // ten seconds
constexpr int64_t audio_capture_max_bytes = 120 * 44100 * 4;  // two minutes, then it stops growing
void audio_capture_start();
// Writes the capture to "/desktop/host/audio.raw" (or audio_N.raw) and frees it.
// False when the file was written, true otherwise (nothing to write, no
// free name, a failed write: the capture is discarded).
bool audio_capture_end();
// Drops a running capture without writing it (the reset before a reboot).
void audio_capture_abandon();
bool audio_capture_running();
