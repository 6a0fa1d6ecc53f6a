// Sequencer: notes, tracks, track effects and music.
#include "mudo/sequencer.h"

#include <algorithm>

#include "mudo/params.h"
#include "mudo/render.h"

namespace {

constexpr int32_t unchanged = 255;
constexpr int32_t fx_slide = 's', fx_volume_slide = 'f', fx_cut = 'c', fx_retrigger = 'r',
                  fx_pan = 'p', fx_delay = 'd', fx_up = '+', fx_down = '-';
constexpr int32_t pitch_limit = 0x7FFF;  // pitch << 16 and volume << 16 stay inside 32 bits
constexpr int32_t music_channels = 8;
constexpr int32_t pattern_last = 255;
constexpr int32_t ticks_forever = 0x7FFFFFFF;

int32_t effect_letter(int32_t e) {
  static const char digits[] = {'s', 'v', '-', '<', '>'};
  return e >= '1' && e <= '5' ? digits[e - '1'] : e;
}

int32_t clamp_base(int64_t b) { return static_cast<int32_t>(std::clamp<int64_t>(b, 0, mudo_base_max)); }

// Byte `plane` (0 pitch .. 4 parameter) of the track's row.
uint8_t track_plane(const mudo_channel &ch, int plane, int64_t row) {
  return mudo_u8(int64_t{ch.trk_addr} + 8 + int64_t{plane} * ch.trk_rows + row);
}

void set_row_note(mudo_channel &ch, bool retrigger) {
  const int64_t row = ch.trk_row;
  mudo_set_note(ch.index, track_plane(ch, 0, row), track_plane(ch, 1, row),
                track_plane(ch, 2, row), track_plane(ch, 3, row), track_plane(ch, 4, row),
                retrigger, mudo_pan_unchanged);
}

void release_and_stop(mudo_channel &ch) {
  mudo_set_note(ch.index, unchanged, unchanged, unchanged, unchanged, 0, false, mudo_pan_unchanged);
  ch.trk_playing = 0;
}

// Moves v towards target by step without passing it.
int32_t slide_towards(int32_t v, int32_t step, int32_t target) {
  int64_t next = int64_t{v} + step;
  if (step >= 0) return static_cast<int32_t>(std::min<int64_t>(next, std::max(v, target)));
  return static_cast<int32_t>(std::max<int64_t>(next, std::min(v, target)));
}

int32_t choose_channel(int32_t track) {
  mudo_music_state &m = mixer->music;
  int32_t o = mixer->choice_counter = (mixer->choice_counter + 1) % MUDO_CHANNELS;
  auto masked = [&](int c) { return (m.mask >> c) & 1; };
  for (int k = 0; k < MUDO_CHANNELS; k++) {
    const mudo_channel &ch = mixer->channels[(o + k) % MUDO_CHANNELS];
    if (!ch.music_ch && ch.trk_playing && ch.trk_num == track) return ch.index;
  }
  for (int k = 0; k < 8; k++) {
    int c = 8 + (o + k) % 8;
    if (!masked(c) && !mixer->channels[c].trk_playing) return c;
  }
  for (int k = 0; k < MUDO_CHANNELS; k++) {
    int c = (o - k + MUDO_CHANNELS) % MUDO_CHANNELS;
    if (!masked(c)) return c;
  }
  return -1;
}

void track_command(int32_t command, mudo_channel &ch, int32_t row) {
  switch (command) {
    case -1: release_and_stop(ch); break;
    case -2: hard_reset_channel(ch); break;
    case -3: ch.trk_loop_end = 0; break;
    case -4: ch.mix_vol = std::clamp(row, 0, 255); break;
    default: break;
  }
}

void stop_music_state() {
  mudo_music_state &m = mixer->music;
  m.mask = m.playing = m.pattern = m.base = 0;
}

}  // namespace

void hard_reset_channel(mudo_channel &ch) {
  release_and_stop(ch);
  ch.instrument = mudo_no_instrument;
  ch.volume = 0;
  ch.pan = 0;
  ch.pitch = 48;
  ch.cur_pitch = 48 << 16;
  ch.cur_vol = 0;
  ch.note_on = 0;
  grab_node_tree(ch);
  prepare_nodes_for_new_instrument(ch);
}

void mudo_set_note(int32_t channel, int32_t pitch, int32_t instrument, int32_t volume,
                   int32_t effect, int32_t param, bool retrigger, int32_t pan) {
  if (channel == -1) {
    for (int c = 0; c < MUDO_CHANNELS; c++) hard_reset_channel(mixer->channels[c]);
    mudo_stop_music();
    return;
  }
  if (channel < 0 || channel >= MUDO_CHANNELS) return;
  mudo_channel &ch = mixer->channels[channel];
  ch.spt = mudo_tick_samples;
  if (instrument > 255) {
    hard_reset_channel(ch);
    return;
  }
  ch.prev_volume = ch.volume;
  ch.prev_pan = ch.pan;
  ch.prev_pitch = ch.pitch;
  ch.inst_passed = instrument;
  const int32_t old_instrument = ch.instrument;
  if (pitch != unchanged) ch.pitch = std::clamp(pitch, -pitch_limit, pitch_limit);
  if (instrument != unchanged && instrument >= 0) ch.instrument = instrument;
  if (volume != unchanged) ch.volume = std::clamp(volume, -pitch_limit, pitch_limit);
  if (effect != unchanged) {
    ch.effect = effect_letter(effect);
    ch.param = param;
  }
  const bool was_on = ch.note_on;
  ch.note_on = pitch != unchanged;
  if (was_on && !ch.note_on) ch.ticks_rel = 0;
  if (!was_on && ch.note_on) ch.ticks_on = 0;
  const bool changed = ch.instrument != old_instrument;
  if (changed) {
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
  }
  if (!ch.trk_playing) {
    ch.cur_pitch = ch.pitch * 65536;
    ch.cur_vol = ch.volume * 65536;
  } else if (ch.trk_tick == 0 && ch.effect != fx_slide) {
    ch.cur_pitch = ch.pitch * 65536;
    if (ch.effect != fx_volume_slide) ch.cur_vol = ch.volume * 65536;
  }
  const bool passed = instrument != unchanged;
  if (ch.note_on &&
      (!was_on || (ch.pitch != ch.prev_pitch && ch.effect != fx_slide && passed) || changed ||
       ((ch.inst_flags & instrument_flag_retrigger) && passed) || retrigger ||
       ch.effect == fx_retrigger))
    start_channel_note(ch);
  if (pan != mudo_pan_unchanged) ch.pan = std::clamp(pan, -127, 127);
  if (ch.effect == fx_pan) ch.pan = static_cast<int32_t>(std::clamp<int64_t>(int64_t{ch.param} - 128, -128, 127));
}

int32_t mudo_play_track(int32_t track, int32_t channel, int32_t row, int32_t rows, bool keep,
                        int32_t pan, int32_t mix_volume, int32_t base) {
  if (track < 0) {
    if (channel < 0) {
      for (int c = 0; c < MUDO_CHANNELS; c++) track_command(track, mixer->channels[c], row);
    } else {
      track_command(track, mixer->channels[std::min(channel, MUDO_CHANNELS - 1)], row);
    }
    return -1;
  }
  if (channel == -1) channel = choose_channel(track);
  if (channel < 0 || channel >= MUDO_CHANNELS) return -1;
  mudo_channel &ch = mixer->channels[channel];
  if (!keep) {
    ch.instrument = mudo_no_instrument;
    ch.volume = 0;
    ch.pan = 0;
    ch.pitch = 48;
    ch.note_on = 0;
    ch.cur_vol = 0;
    ch.inst_passed = mudo_no_instrument;
  }
  ch.trk_playing = 1;
  ch.trk_num = track;
  ch.base = clamp_base(base);
  const int64_t addr = mudo_wrap(int64_t{ch.base} + mudo_track_offset + mudo_track_size * track);
  ch.trk_addr = static_cast<int32_t>(addr);
  ch.trk_rows = mudo_u16(addr) ? mudo_u16(addr) : 1;
  ch.trk_speed = mudo_u8(addr + 2) ? mudo_u8(addr + 2) : 16;
  ch.trk_loop_start = mudo_u8(addr + 3);
  ch.trk_loop_end = mudo_u8(addr + 4);
  ch.trk_delay = mudo_u8(addr + 5);
  ch.trk_spare = mudo_u8(addr + 6);
  ch.trk_row = row;
  ch.trk_tick = 0;
  ch.trk_ticks = 0;
  ch.trk_end_row = rows != 0 ? clamp_i32(int64_t{row} + rows) : 0;
  const bool loop_stop = ch.trk_loop_start != 0 && ch.trk_loop_start >= ch.trk_loop_end &&
                         ch.trk_loop_start <= ch.trk_rows;
  ch.trk_play_len = loop_stop ? ch.trk_loop_start : ch.trk_rows;
  if (pan != mudo_pan_unchanged) ch.pan = std::clamp(pan, -128, 127);
  ch.mix_vol = mix_volume;
  return channel;
}

void update_channel_track_tick(mudo_channel &ch) {
  grab_node_tree(ch);
  if (!ch.trk_playing) return;
  if (ch.trk_tick == 0) {
    if (ch.trk_delay > 0) {
      ch.trk_delay--;
    } else if (ch.trk_row < 0 || ch.trk_row >= ch.trk_play_len) {
      mudo_set_note(ch.index, unchanged, unchanged, unchanged, unchanged, 0, false, mudo_pan_unchanged);
      if (ch.trk_row >= ch.trk_play_len && ch.trk_loop_start >= ch.trk_loop_end) ch.trk_playing = 0;
    } else {
      int32_t e = effect_letter(track_plane(ch, 3, ch.trk_row)), p = track_plane(ch, 4, ch.trk_row);
      if (!(e == fx_delay && p > 0)) set_row_note(ch, false);
    }
  } else if (ch.trk_row >= 0 && ch.trk_row < ch.trk_play_len) {
    int32_t e = effect_letter(track_plane(ch, 3, ch.trk_row)), p = track_plane(ch, 4, ch.trk_row);
    if ((e == fx_delay && ch.trk_tick == p) || (e == fx_retrigger && p > 0 && ch.trk_tick % p == 0))
      set_row_note(ch, true);
  }
  if (!ch.trk_playing) return;
  if (ch.effect == fx_cut && ch.trk_tick == ch.param) {
    ch.instrument = mudo_no_instrument;
    grab_node_tree(ch);
    return;
  }
  const int32_t speed = channel_speed(ch);
  const int64_t target_pitch = int64_t{ch.pitch} * 65536, target_vol = int64_t{ch.volume} * 65536;
  if (ch.trk_tick == 0 && (ch.effect == fx_slide || ch.effect == fx_volume_slide)) {
    if (ch.param > 0) {
      int32_t d = mudo_duration(ch.param) * 256;
      ch.pitch_step = target_pitch < ch.cur_pitch ? -d : d;
      ch.vol_step = target_vol < ch.cur_vol ? -d : d;
    } else {
      ch.pitch_step = clamp_i32((target_pitch - ch.cur_pitch) / speed);
      ch.vol_step = clamp_i32((target_vol - ch.cur_vol) / speed);
    }
  }
  auto volume_slide = [&] {
    ch.cur_vol = slide_towards(ch.cur_vol, ch.vol_step, static_cast<int32_t>(target_vol));
  };
  switch (ch.effect) {
    case fx_up:
      ch.cur_pitch = static_cast<int32_t>(
          std::min<int64_t>(int64_t{ch.cur_pitch} + mudo_duration(ch.param ? ch.param : 16) * 128, 0xFFFFFF));
      ch.cur_vol = static_cast<int32_t>(target_vol);
      break;
    case fx_down:
      ch.cur_pitch = static_cast<int32_t>(
          std::max<int64_t>(int64_t{ch.cur_pitch} - mudo_duration(ch.param ? ch.param : 240) * 128, 0));
      ch.cur_vol = static_cast<int32_t>(target_vol);
      break;
    case fx_slide:
      ch.cur_pitch = slide_towards(ch.cur_pitch, ch.pitch_step, static_cast<int32_t>(target_pitch));
      volume_slide();
      break;
    case fx_volume_slide:
      ch.cur_pitch = static_cast<int32_t>(target_pitch);
      volume_slide();
      break;
    default:
      ch.cur_pitch = static_cast<int32_t>(target_pitch);
      ch.cur_vol = static_cast<int32_t>(target_vol);
      break;
  }
}

void advance_channel_track_row(mudo_channel &ch) {
  if (!ch.trk_playing) return;
  ch.trk_ticks = ch.trk_ticks < INT32_MAX ? ch.trk_ticks + 1 : INT32_MAX;
  if (++ch.trk_tick < channel_speed(ch)) return;
  ch.trk_row = ch.trk_row < INT32_MAX ? ch.trk_row + 1 : INT32_MAX;
  if (ch.trk_end_row != 0 && ch.trk_row >= ch.trk_end_row) release_and_stop(ch);
  if (ch.trk_row >= ch.trk_loop_end && ch.trk_loop_start < ch.trk_loop_end) ch.trk_row = ch.trk_loop_start;
  ch.trk_tick = 0;
}

void mudo_set_channel_mix_vol(int32_t channel, int32_t v) {
  if (channel < 0 || channel >= MUDO_CHANNELS) return;
  mixer->channels[channel].mix_vol = std::clamp(v, 0, 255);
}

void mudo_set_channel_base_addr(int32_t channel, int32_t addr) {
  if (channel < 0 || channel >= MUDO_CHANNELS) return;
  mixer->channels[channel].base = clamp_base(addr);
}

/* ---------------------------------------------------------------------- */
/* music                                                                  */
/* ---------------------------------------------------------------------- */

int32_t get_leftmost_nonlooping_channel() {
  for (int c = 0; c < music_channels; c++) {
    const mudo_channel &ch = mixer->channels[c];
    if (ch.trk_playing && ((mixer->music.mask >> c) & 1) && ch.trk_loop_start >= ch.trk_loop_end)
      return c;
  }
  return -1;
}

int32_t calc_pattern_ticks_to_play() {
  int32_t c = get_leftmost_nonlooping_channel();
  if (c < 0) return ticks_forever;
  const mudo_channel &ch = mixer->channels[c];
  return clamp_i32(int64_t{std::max(ch.trk_speed, 1)} * ch.trk_play_len);
}

void mudo_play_pattern(int32_t pattern) {
  if (pattern < 0) return;
  mudo_music_state &m = mixer->music;
  if (pattern > pattern_last) {  // there is no pattern after 255
    mudo_stop_music();
    return;
  }
  const int64_t rec = mudo_wrap(int64_t{m.base} + mudo_pattern_offset + mudo_pattern_size * pattern);
  const uint8_t channel_mask = mudo_u8(rec + 9);
  bool was_music[music_channels];
  for (int c = 0; c < music_channels; c++) {
    was_music[c] = mixer->channels[c].music_ch;
    mixer->channels[c].music_ch = 0;
  }
  for (int c = 0; c < music_channels; c++) {
    if (!((m.mask >> c) & 1)) continue;
    mudo_channel &ch = mixer->channels[c];
    if ((channel_mask >> c) & 1) {
      mudo_play_track(mudo_u8(rec + c), c, 0, 0, was_music[c], mudo_pan_unchanged, 64, m.base);
      ch.music_ch = 1;
    } else {
      release_and_stop(ch);
    }
  }
  m.pattern_ticks = calc_pattern_ticks_to_play();
  for (int c = 0; c < music_channels; c++)
    if (mixer->channels[c].music_ch) mixer->channels[c].music_ticks_left = m.pattern_ticks;
}

void advance_pattern() {
  mudo_music_state &m = mixer->music;
  if (!m.playing) return;
  const int64_t rec = mudo_wrap(int64_t{m.base} + mudo_pattern_offset + mudo_pattern_size * m.pattern);
  const uint8_t flags = mudo_u8(rec + 8);
  int32_t next;
  if (flags & 4) {
    mudo_stop_music();
    return;
  } else if (flags & 2) {
    next = m.pattern;
    if (!(flags & 1) && m.pattern != 0) {
      next = 0;
      for (int32_t p = m.pattern - 1; p > 0; p--) {
        if (mudo_u8(int64_t{m.base} + mudo_pattern_offset + mudo_pattern_size * p + 8) & 1) {
          next = p;
          break;
        }
      }
    }
  } else if (m.pattern >= pattern_last) {
    mudo_stop_music();
    return;
  } else {
    next = m.pattern + 1;
  }
  m.pattern = next;
  mudo_play_pattern(next);
}

void mudo_play_music(int32_t pattern, int32_t fade_ms, int32_t mask, int32_t base) {
  mudo_music_state &m = mixer->music;
  m.mask = mask;
  m.base = clamp_base(base);
  m.playing = 1;
  m.pattern = pattern;
  mudo_play_pattern(pattern);
  const int64_t ticks = int64_t{fade_ms} * 120 / 1000;
  if (fade_ms <= 0 || ticks <= 0) {  // a fade of no ticks is at its target at once
    m.fade_running = 0;
    m.level = 256;
    return;
  }
  m.fade_start = m.fade_running ? m.level : 0;
  m.fade_target = 256;
  m.fade_ticks = clamp_i32(ticks);
  m.fade_elapsed = 0;
  m.level = m.fade_start;
  m.fade_running = 1;
}

void mudo_fade_out_music(int32_t ms) {
  mudo_music_state &m = mixer->music;
  if (ms <= 0) {
    mudo_stop_music();
    return;
  }
  const int64_t ticks = int64_t{ms} * 120 / 1000;
  m.fade_start = m.fade_running ? m.level : 256;
  m.fade_target = 0;
  if (ticks <= 0) {
    m.fade_running = 0;
    m.level = 0;
    return;
  }
  m.fade_ticks = clamp_i32(ticks);
  m.fade_elapsed = 0;
  m.fade_running = 1;
}

void mudo_update_fade_tick() {
  mudo_music_state &m = mixer->music;
  if (!m.fade_running) return;
  if (m.fade_ticks <= 0) {
    m.level = std::clamp(m.fade_target, 0, 256);
    m.fade_running = 0;
    return;
  }
  int64_t level = m.fade_start + int64_t{m.fade_target - m.fade_start} * m.fade_elapsed / m.fade_ticks;
  m.level = static_cast<int32_t>(std::clamp<int64_t>(level, 0, 256));
  if (++m.fade_elapsed >= m.fade_ticks) {
    m.level = std::clamp(m.fade_target, 0, 256);
    m.fade_running = 0;
  }
}

void mudo_stop_music() {
  for (int c = 0; c < music_channels; c++) {
    mudo_channel &ch = mixer->channels[c];
    if (!ch.music_ch) continue;
    hard_reset_channel(ch);
    ch.music_ch = 0;
  }
  stop_music_state();
}
