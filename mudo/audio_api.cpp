// Script-API functions of the synthesiser and the audio answers of stat.
#include "mudo/audio_api.h"

#include <algorithm>

#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "mudo/sequencer.h"

namespace {

constexpr int32_t channel_fields_cached = 19;  // fields 0-18
constexpr int64_t scratch_samples = 262144 / 2;

// Arguments are numbers truncated toward zero, else their default; the one
// saturating helper makes them 32-bit.
int32_t arg(lua_State *L, int index, int64_t def) { return saturate_i32(kvt_truncp(L, index, def)); }

int32_t caller_byte(int32_t addr) { return peek(addr); }

// What a sound call costs besides the mirror's refresh: its channel or
// channels' work (a note start reads the instrument and prepares its nodes).
constexpr int64_t sound_call_cycles = 64;

// Charged after the lock is let go: the charge may end the slice.
void charge_sound_call(lua_State *L, bool all_channels, int64_t mirrored) {
  spend_cpu_or_stop(L, sound_call_cycles + (all_channels ? all_channels_cycles : 0) + mirrored);
}

// Where sample queries copy to under the lock: one area for the run, so a
// query that copies little costs little.
int16_t *scratch() {
  static int16_t area[scratch_samples];
  return area;
}

// 2-byte samples into the current process's RAM from addr on, as poke2 of
// each would write them.
void poke_samples(int64_t addr, const int16_t *s, int64_t count) {
  ram_write(cproc, addr, reinterpret_cast<const uint8_t *>(s), 2 * count);
}

// A stat query that takes the audio lock pays for the lock's round trip and
// the owner check behind it (the answer itself is a field or two).
constexpr int64_t audio_query_cycles = 8;

// audio_op_start for a stat query: an owner that finds the mirror holding
// someone else's RAM pays for its copy besides.
void start_query(process *P) { spend_cpu(audio_query_cycles + audio_op_start(P->id, 0)); }

}  // namespace

int lua54_note(lua_State *L) {
  if (!cproc) return 0;
  const int given = lua_gettop(L);
  const int32_t pitch = arg(L, 1, 48), instrument = arg(L, 2, 0), volume = arg(L, 3, 64);
  const int32_t effect = arg(L, 4, 0), param = arg(L, 5, 0), channel = arg(L, 6, 0);
  const bool retrigger = lua_isnone(L, 7) ? true : lua_toboolean(L, 7);
  const int32_t pan = arg(L, 8, mudo_pan_unchanged);
  const int32_t mix = caller_byte(mudo_reg_mix_volume), base = caller_byte(mudo_reg_sound_base) << 16;
  // Nothing between the lock and its release can raise a Lua error.
  const int64_t mirrored = audio_op_start(cproc->id, 1);
  if (given == 0) {
    mudo_set_note(-1, 255, 255, 255, 255, 0, false, mudo_pan_unchanged);
  } else {
    mudo_set_note(channel, pitch, instrument, volume, effect, param, retrigger, pan);
    mudo_set_channel_mix_vol(channel, mix);
    mudo_set_channel_base_addr(channel, base);
  }
  audio_op_end();
  charge_sound_call(L, given == 0, mirrored);
  return 0;
}

int lua54_sfx(lua_State *L) {
  if (!cproc) return 0;
  const int32_t base = caller_byte(mudo_reg_sound_base) << 16;
  const int32_t track = arg(L, 1, 0), channel = arg(L, 2, -1), row = arg(L, 3, 0), rows = arg(L, 4, 0);
  const int32_t pan = arg(L, 5, mudo_pan_unchanged), mix = arg(L, 6, caller_byte(mudo_reg_mix_volume));
  const int64_t mirrored = audio_op_start(cproc->id, 1);
  int32_t used = mudo_play_track(track, channel, row, rows, false, pan, mix, base);
  if (used >= 0) mudo_set_channel_base_addr(used, base);
  audio_op_end();
  charge_sound_call(L, track < 0 && channel < 0, mirrored);
  return 0;
}

int lua54_music(lua_State *L) {
  if (!cproc) return 0;
  const int32_t pattern = arg(L, 1, 0), fade = arg(L, 2, 0), mask = arg(L, 3, 255);
  const int32_t base = saturate_i32(kvt_intp(L, 4, caller_byte(mudo_reg_music_base) << 16));
  const int64_t mirrored = audio_op_start(cproc->id, 1);
  if (pattern == -1)
    mudo_fade_out_music(fade);
  else if (pattern >= 0)
    mudo_play_music(pattern, fade, mask, base);
  audio_op_end();
  charge_sound_call(L, false, mirrored);
  return 0;
}

int64_t audio_stat(process *P, int64_t n, int64_t a, int64_t b) {
  const bool channel_query = n >= 400 && n <= 415;
  if (!P || app.audio_pid != P->id) return -1;
  if (channel_query) {
    const int32_t c = static_cast<int32_t>(n - 400);
    if (a < 0) return -1;
    if (a < channel_fields_cached) {
      if (P->audio_cache_frame != P->time) {
        start_query(P);
        P->audio_cache_frame = P->time;
        for (int ch = 0; ch < MUDO_CHANNELS; ch++)
          for (int f = 0; f < channel_fields_cached; f++)
            P->audio_cache[ch][f] = mudo_get_channel_state(ch, f, nullptr);
        audio_op_end();
      }
      return P->audio_cache[c][a];
    }
    start_query(P);
    int32_t v = mudo_get_channel_state(c, saturate_i32(a), scratch());
    audio_op_end();
    int64_t count = a == 19 ? 2 * int64_t{v} : (a >= 20 && a <= 27 && v > 0) ? v : 0;
    count = std::clamp<int64_t>(count, 0, scratch_samples);
    poke_samples(b, scratch(), count);
    spend_cpu(count / 2);
    return v;
  }
  if (n == 464) {
    if (P->audio_mask_frame != P->time) {
      start_query(P);
      P->audio_mask_frame = P->time;
      P->audio_active_mask = mudo_get_active_channels();
      audio_op_end();
    }
    return P->audio_active_mask;
  }
  if (n == 465) {
    start_query(P);
    int32_t v = mudo_get_channel_state(-1, -1, scratch());
    audio_op_end();
    poke_samples(b, scratch(), 2 * int64_t{v});
    spend_cpu(v / 2);
    return v;
  }
  start_query(P);
  int32_t v = mudo_get_music_state(static_cast<int32_t>(n - 466));
  audio_op_end();
  return v;
}
