// mudo: the synthesiser's state. Channel and node records, the mixer that owns
// them, the RAM mirror they read sound data from, and the constant tables.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

// Wide intermediates of the fixed-point products that may pass 64 bits.
__extension__ typedef __int128 mudo_i128;
__extension__ typedef unsigned __int128 mudo_u128;

constexpr int MUDO_CHANNELS = 16;
constexpr int MUDO_MAX_CHANNEL_NODES = 9;
constexpr int MUDO_INSTRUMENT_NODES = 8;
constexpr int STEREO_NODE_INDEX = 8;
constexpr int MUDO_MVALS = 7;

constexpr int mudo_sample_rate = 44100;
constexpr int mudo_tick_samples = 367;
constexpr int mudo_ramp_samples = 64;
constexpr int mudo_node_buffer_len = 32768;  // also an echo node's delay ring
constexpr int mudo_max_mix_frames = 8192;    // frames mixed per call at most
constexpr int mudo_pattern_rounds_max = 1024;

constexpr int64_t mudo_ram_size = 0x1000000;
constexpr int64_t mudo_ram_mask = 0xFFFFFF;
constexpr int64_t mudo_ram_page_size = 4096;
constexpr int mudo_ram_pages = static_cast<int>(mudo_ram_size / mudo_ram_page_size);
constexpr int32_t mudo_base_max = 0xF00000;
constexpr int32_t mudo_no_instrument = 255;
constexpr int32_t mudo_pan_unchanged = 0x7FFFFFFF;
constexpr int32_t mudo_env_max = 65280;  // envelope values run 0..255 x 256
constexpr int32_t mudo_sample_max = 32767;

// Sound data in process RAM (offsets from a channel's sound base address B).
constexpr int64_t mudo_pattern_offset = 0x100;
constexpr int64_t mudo_pattern_size = 20;
constexpr int64_t mudo_instrument_offset = 0x10000;
constexpr int64_t mudo_instrument_size = 512;
constexpr int64_t mudo_track_offset = 0x20000;
constexpr int64_t mudo_track_size = 328;
constexpr int64_t mudo_node_size = 32;
constexpr int64_t mudo_envelope_offset = 0x100;
constexpr int64_t mudo_envelope_size = 24;
constexpr int64_t mudo_instrument_flags_offset = 0x1DF;
constexpr int64_t mudo_wavetable_offset = 0x1E0;

// Audio registers of a process's RAM.
constexpr int32_t mudo_reg_volume = 0x5538;
constexpr int32_t mudo_reg_music_volume = 0x5539;
constexpr int32_t mudo_reg_mix_volume = 0x553A;
constexpr int32_t mudo_reg_sound_base = 0x553C;
constexpr int32_t mudo_reg_music_base = 0x553D;
constexpr int32_t mudo_reg_control = 0x547F;
constexpr uint8_t mudo_control_frozen = 4;  // bit 2: nothing mixes or advances
constexpr uint8_t mudo_control_silent = 8;  // bit 3: time runs, output is silence

// Node kinds, ops and flags.
constexpr uint8_t node_kind_silent = 0;
constexpr uint8_t node_kind_root = 1;
constexpr uint8_t node_kind_osc = 2;
constexpr uint8_t node_kind_filter = 8;
constexpr uint8_t node_kind_echo = 9;
constexpr uint8_t node_kind_gain = 10;
constexpr uint8_t node_op_add = 0;
constexpr uint8_t node_op_fm = 1;
constexpr uint8_t node_op_mul = 2;
constexpr uint8_t node_op_xor = 3;
constexpr uint8_t node_op_or = 4;
constexpr uint8_t node_flag_mute = 2;
constexpr uint8_t node_flag_keep_phase = 8;
constexpr uint8_t instrument_flag_retrigger = 1;
constexpr uint8_t instrument_flag_stereo = 2;

// mval flags
constexpr uint8_t mval_add_parent = 1;
constexpr uint8_t mval_mul_parent = 2;
constexpr uint8_t mval_envelope = 4;
constexpr uint8_t mval_keep_envelope = 8;
constexpr uint8_t mval_random = 16;
constexpr uint8_t mval_whole = 32;

// The state of one node of a channel's instrument.
struct node_state {
  int32_t addr;           // RAM address of the node record (in the mirror)
  uint64_t phase;         // 16.16 samples
  uint64_t step;          // 16.16 samples per output sample
  int32_t ratio_num;
  int32_t ratio_den;
  int32_t val[MUDO_MVALS];       // evaluated mvals, 16.16
  int32_t env_tick[MUDO_MVALS];  // one envelope clock per mval
  int32_t rnd[MUDO_MVALS];       // 0..65279, drawn at each note start
  int64_t last_env[MUDO_MVALS];  // envelope values while the note is on (for the release)
  uint8_t parent, op, kind, wt_index, flags, spare;
  int32_t twin_mark;  // this node is an effect's right-side twin
  int32_t twin;       // index of this node's twin, -1 none
  int32_t depth;
  int32_t wt_addr, wt_log2, wt_len, wt_count;
  int32_t mod_shift;  // from mval 0 of an oscillator with op 1 or 2
  int64_t filt_f, filt_g, filt_h;
  int32_t echo_pos;  // ring write position 0..32767
  int64_t echo_prev_delay, echo_prev_fb;  // -1: none yet
  // Phase-modulation input of this block: a child's output buffer and its
  // shift. Set during a render, cleared at the start of the next, so it never
  // names the buffer of an instrument that has gone.
  const int16_t *mod_input;
  int32_t mod_input_shift;
  int16_t *out;  // this node's buffer (an echo node's delay ring)
};

// One channel: the sequencer's fields, the node states and the track player.
struct mudo_channel {
  int32_t index;  // 0-15; a shadow holds index + 16
  int32_t mix_vol;
  int32_t base;
  int32_t instrument;
  int32_t volume;
  int32_t pan;
  int32_t pitch;
  int32_t cur_pitch;  // 16.16 semitones
  int32_t pitch_step;
  int32_t cur_vol;  // 16.16
  int32_t vol_step;
  int32_t prev_volume, prev_pan, prev_pitch;
  int32_t effect, param;
  int32_t note_on;
  int32_t ticks_on, ticks_rel;
  uint8_t inst_flags;
  int32_t max_depth;
  int32_t stereo;
  int32_t inst_passed;  // the instrument as last passed, 255 when none was
  int32_t inst_addr;    // RAM address of the instrument record
  int32_t prev_gain_l, prev_gain_r;  // pan gains of the previous block (4096 = unity)
  int32_t vib_phase;  // 16.16 turns
  int32_t arp_step, arp_count;
  node_state nodes[MUDO_MAX_CHANNEL_NODES];
  node_state saved[MUDO_MAX_CHANNEL_NODES];  // as they were at the end of the last render
  // track
  int32_t trk_playing, trk_ticks, trk_row, trk_tick, trk_end_row, trk_num, trk_addr, trk_rows,
      trk_speed, trk_loop_start, trk_loop_end, trk_delay, trk_spare, trk_play_len;
  // music
  int32_t music_ch, music_ticks_left;
  // rendered tick block
  int32_t spt, blk_pos, blk_len;
};

struct mudo_music_state {
  int32_t mask;  // the music call's channel mask
  int32_t playing;
  int32_t pattern;
  int32_t base;
  int32_t pattern_ticks;
  int32_t fade_ticks, fade_elapsed, fade_start, fade_target, level;  // level 0..256
  int32_t fade_running;
  int32_t sample_acc;  // samples towards the next fade tick
};

// The synthesiser's one global state, made once per run and kept across reboots.
struct mudo_mixer {
  mudo_channel channels[2 * MUDO_CHANNELS];  // channel c's shadow is c + 16
  std::atomic<int32_t> output_volume;        // 0..256; acts only as a mute
  std::atomic<int32_t> stereo_swap;
  mudo_music_state music;
  int32_t choice_counter;  // channel choice for sfx on channel -1
  uint32_t random_state;   // random values and envelope start ticks
  uint8_t ram[mudo_ram_size];  // mirror of the audio owner's RAM
  // Bit p of word p >> 6: page p of the mirror may hold a byte other than 0.
  // Pages without their bit are zeros, so an owner change leaves them alone.
  uint64_t ram_held[mudo_ram_pages / 64];
  int16_t node_output[2 * MUDO_CHANNELS][MUDO_MAX_CHANNEL_NODES][mudo_node_buffer_len];
  int16_t stereo_block[MUDO_CHANNELS][2 * mudo_node_buffer_len];  // interleaved frames
  int32_t sum[2 * mudo_max_mix_frames];
  int16_t last_output[2 * mudo_max_mix_frames];
  int32_t last_output_frames;
};

// Made by mudo_init; null before.
extern mudo_mixer *mixer;
// 16,384 entries: 32767 - 4k, then 4(k - 8192): the gain node's fold.
extern int16_t gain_tri[16384];
extern const int32_t stereo_contrib[256];
extern const uint64_t mudo_note_dx[13];
extern const uint8_t mval_signed_dat[5][8];

// Once per run (a second call does nothing): the mixer, zeroed, its channels
// numbered and their node buffers wired, and gain_tri.
void mudo_init();
// Zeroes every channel, the music state and the mirror, and wires the
// channels' node buffers again (mudo_init's work on an existing mixer).
void mudo_clear();
// Points the channel's node outputs at its own node buffers (a shadow's at
// the shadow buffers).
void mudo_wire_channel_outputs(mudo_channel &ch);

/* ---------------------------------------------------------------------- */
/* reading sound data from the mirror                                     */
/* ---------------------------------------------------------------------- */

// Every address wraps into 16 MB; computed in 64 bits.
inline int64_t mudo_wrap(int64_t addr) { return addr & mudo_ram_mask; }
inline uint8_t mudo_u8(int64_t addr) { return mixer->ram[mudo_wrap(addr)]; }
inline int8_t mudo_i8(int64_t addr) { return static_cast<int8_t>(mudo_u8(addr)); }
inline uint16_t mudo_u16(int64_t addr) {
  return static_cast<uint16_t>(mudo_u8(addr) | (mudo_u8(addr + 1) << 8));
}
inline int16_t mudo_i16(int64_t addr) { return static_cast<int16_t>(mudo_u16(addr)); }

// Writes into the mirror, wrapping.
void mudo_memset(int64_t addr, int value, int64_t length);
void mudo_memcpy(int64_t addr, const void *source, int64_t length);

// Ticks of a duration code: c, 2c - 16, 4c - 80, 8c - 336 or 16c - 1360.
inline int32_t mudo_duration(int32_t c) {
  c &= 0xFF;
  if (c < 16) return c;
  if (c < 32) return 2 * c - 16;
  if (c < 64) return 4 * c - 80;
  if (c < 128) return 8 * c - 336;
  return 16 * c - 1360;
}

inline int32_t clamp_sample(int64_t v) {
  return v > mudo_sample_max ? mudo_sample_max : v < -mudo_sample_max ? -mudo_sample_max
                                                                       : static_cast<int32_t>(v);
}
inline int32_t clamp_i32(int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

// The mixer's own random numbers (random mval values, random envelope starts).
uint32_t mudo_rand();

// The channel's track speed in ticks per row, 16 without a playing track.
inline int32_t channel_speed(const mudo_channel &ch) {
  return ch.trk_playing && ch.trk_speed > 0 ? ch.trk_speed : 16;
}
