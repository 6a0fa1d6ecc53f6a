// Mixer, RAM mirror and audio lock.
#include "mudo/mixer.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "kernel/process.h"
#include "kernel/system.h"
#include "mudo/lanes.h"
#include "mudo/params.h"
#include "mudo/render.h"
#include "mudo/sequencer.h"
#include "platform/audio_device.h"

namespace {

constexpr int64_t no_owner = -2;
constexpr int64_t no_mirror = -3;

void silence(int16_t *stream, int frames) { memset(stream, 0, sizeof(int16_t) * 2 * size_t(frames)); }

void clear_last_output() {
  memset(mixer->last_output, 0, sizeof mixer->last_output);
  mixer->last_output_frames = 0;
}

// One tick: the track's step, the parameters, the render, the track's end of
// tick, and the ramp from the shadow (the channel as the last tick left it).
void next_tick(mudo_channel &ch) {
  update_channel_track_tick(ch);
  evaluate_channel_node_parameters(ch);
  render_channel_tick(ch, mudo_tick_samples);
  advance_channel_track_row(ch);

  mudo_channel &shadow = mixer->channels[(ch.index & 15) + MUDO_CHANNELS];
  mudo_wire_channel_outputs(shadow);
  render_channel_tick(shadow, mudo_ramp_samples);
  // The first 64 samples cross-fade from the shadow's into the new.
  ramp_blend(ch.nodes[0].out, shadow.nodes[0].out, mudo_ramp_samples);
  if (ch.stereo)
    ramp_blend(ch.nodes[STEREO_NODE_INDEX].out, shadow.nodes[STEREO_NODE_INDEX].out, mudo_ramp_samples);
  ch.blk_pos = 0;
  ch.blk_len = mudo_tick_samples;

  memcpy(static_cast<void *>(&shadow), &ch, sizeof shadow);
  shadow.index = (ch.index & 15) + MUDO_CHANNELS;
  mudo_wire_channel_outputs(shadow);
  // The shadow renders one ramp from here: of each echo ring it needs only
  // the cells that ramp reads.
  for (int n = 0; n < MUDO_MAX_CHANNEL_NODES; n++)
    if (ch.nodes[n].kind == node_kind_echo)
      copy_echo_reads(shadow.nodes[n], ch.nodes[n].out, shadow.nodes[n].out, mudo_ramp_samples);
}

// A pan gain gliding across a tick block: from + (to - from) x at / len,
// truncated, for at = first, first + 1, ..., stepped without a division.
struct gain_glide {
  int64_t from, sign, len, whole, rest, step_whole, step_rest;
  gain_glide(int64_t from_, int64_t to, int64_t len_, int64_t first)
      : from(from_), sign(to < from_ ? -1 : 1), len(len_) {
    const int64_t a = std::abs(to - from);  // trunc(d x at / len) = sign x floor(|d| x at / len)
    whole = a * first / len;
    rest = a * first % len;
    step_whole = a / len;
    step_rest = a % len;
  }
  int64_t next() {
    const int64_t gain = from + sign * whole;
    whole += step_whole;
    rest += step_rest;
    if (rest >= len) {
      rest -= len;
      whole++;
    }
    return gain;
  }
};

int16_t scaled(int64_t sample, int64_t gain, int64_t unit) {
  return static_cast<int16_t>(clamp_sample(sample * gain / unit));
}

// The first frames of a piece, eight at a time: left = a x ga / 2^bits and
// right = b x gb / 2^bits, truncated and clamped, as scaled() gives them, for
// gains that fit 16 bits. Returns the frames written (none for other gains).
template <int bits>
int scaled_frames8(int16_t *o, const int16_t *a, const int16_t *b, int64_t ga, int64_t gb, int m) {
  int k = 0;
#if defined(__SSE2__)
  if (ga < 0 || gb < 0 || ga > INT16_MAX || gb > INT16_MAX) return 0;
  const __m128i va = _mm_set1_epi16(static_cast<int16_t>(ga));
  const __m128i vb = _mm_set1_epi16(static_cast<int16_t>(gb));
  for (; k + 8 <= m; k += 8) {
    const __m128i l = lanes_floor(lanes_scale<bits>(lanes_load(a + k), va));
    const __m128i r = lanes_floor(lanes_scale<bits>(lanes_load(b + k), vb));
    lanes_store(o + 2 * k, _mm_unpacklo_epi16(l, r));
    lanes_store(o + 2 * k + 8, _mm_unpackhi_epi16(l, r));
  }
#else
  (void)o, (void)a, (void)b, (void)ga, (void)gb, (void)m;
#endif
  return k;
}

// The same for a mono piece whose pan gains glide: the gains b x glide / 256
// of each frame, for b up to 2047 (so that they fit 16 bits). The glides move
// on by the frames written.
int glided_frames8(int16_t *o, const int16_t *a, int64_t b, gain_glide &gl, gain_glide &gr, int m) {
  int k = 0;
#if defined(__SSE2__)
  if (b < 0 || b > 2047) return 0;
  for (; k + 8 <= m; k += 8) {
    int16_t l[8], r[8];
    for (int j = 0; j < 8; j++) {
      l[j] = static_cast<int16_t>(b * gl.next() / 256);
      r[j] = static_cast<int16_t>(b * gr.next() / 256);
    }
    const __m128i v = lanes_load(a + k);
    const __m128i lg = _mm_set_epi16(l[7], l[6], l[5], l[4], l[3], l[2], l[1], l[0]);
    const __m128i rg = _mm_set_epi16(r[7], r[6], r[5], r[4], r[3], r[2], r[1], r[0]);
    const __m128i lv = lanes_floor(lanes_scale<12>(v, lg)), rv = lanes_floor(lanes_scale<12>(v, rg));
    lanes_store(o + 2 * k, _mm_unpacklo_epi16(lv, rv));
    lanes_store(o + 2 * k + 8, _mm_unpackhi_epi16(lv, rv));
  }
#else
  (void)o, (void)a, (void)b, (void)gl, (void)gr, (void)m;
#endif
  return k;
}

// Mixes up to 8,192 frames; false when the output is silence by the control
// byte (frozen: nothing advanced either).
bool mix_part(int16_t *stream, int n, uint8_t control) {
  if (control & mudo_control_frozen) {
    silence(stream, n);
    return false;
  }
  int left[MUDO_CHANNELS];
  std::fill(left, left + MUDO_CHANNELS, n);
  auto mix_rest = [&](int c) {
    int done = n - left[c];
    left[c] -= mix_channel(mixer->channels[c], left[c], mixer->stereo_block[c] + 2 * done);
  };
  for (int round = 0; round < mudo_pattern_rounds_max; round++) {
    bool short_music = false;
    for (int c = 0; c < MUDO_CHANNELS; c++) {
      if (!mixer->channels[c].music_ch || left[c] == 0) continue;
      mix_rest(c);
      short_music |= left[c] > 0;
    }
    for (int c = 0; c < MUDO_CHANNELS; c++)
      if (!mixer->channels[c].music_ch && left[c] > 0) mix_rest(c);
    if (!short_music) break;
    advance_pattern();
  }
  for (int c = 0; c < MUDO_CHANNELS; c++)  // rounds ran out: the rest is silence
    if (left[c] > 0) silence(mixer->stereo_block[c] + 2 * (n - left[c]), left[c]);

  if (control & mudo_control_silent) {
    silence(stream, n);
    return false;
  }
  int32_t *sum = mixer->sum;
  memset(sum, 0, sizeof(int32_t) * 2 * size_t(n));
  for (int c = 0; c < MUDO_CHANNELS; c++) {
    const int16_t *block = mixer->stereo_block[c];
    for (int k = 0; k < 2 * n; k++) sum[k] += block[k];
  }
  if (mixer->output_volume.load(std::memory_order_relaxed) == 0) {
    silence(stream, n);
    return true;
  }
  const bool swap = mixer->stereo_swap.load(std::memory_order_relaxed);
  int k = 0;
#if defined(__SSE2__)
  for (; k + 4 <= n; k += 4) {  // four frames: clamp, and swap the halves of each
    const auto *at = reinterpret_cast<const __m128i *>(sum + 2 * k);
    __m128i v = lanes_floor(_mm_packs_epi32(_mm_loadu_si128(at), _mm_loadu_si128(at + 1)));
    if (swap) v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
    lanes_store(stream + 2 * k, v);
  }
#endif
  for (; k < n; k++) {
    int16_t l = static_cast<int16_t>(clamp_sample(sum[2 * k]));
    int16_t r = static_cast<int16_t>(clamp_sample(sum[2 * k + 1]));
    stream[2 * k] = swap ? r : l;
    stream[2 * k + 1] = swap ? l : r;
  }
  return true;
}

// Copies page j of the owner's RAM into the mirror: its mapped bytes, then the
// own block (or zeros) for the rest of the page.
void copy_page(process_ram &r, int j) {
  uint8_t *dst = mixer->ram + int64_t{j} * ram_page_size;
  int32_t mapped = r.page_map[j] ? std::clamp(r.mapped_len[j], 0, ram_page_size) : 0;
  if (mapped > 0) memcpy(dst, r.page_map[j], size_t(mapped));
  if (mapped < ram_page_size) {
    if (r.own_page[j])
      memcpy(dst + mapped, r.own_page[j] + mapped, size_t(ram_page_size - mapped));
    else
      memset(dst + mapped, 0, size_t(ram_page_size - mapped));
  }
  ram_page_mirrored(r, j);
}

// Calls visit(page) for every set bit p of the 64-page group w.
template <typename Visit>
void each_page(int w, uint64_t bits, Visit visit) {
  for (; bits; bits &= bits - 1) visit(w * 64 + std::countr_zero(bits));
}

// Zeroes the mirror's pages that hold data and are not in keep (bit p of word
// w); returns how many.
int64_t zero_held_pages(int w, uint64_t keep) {
  int64_t pages = 0;
  each_page(w, mixer->ram_held[w] & ~keep, [&](int p) {
    memset(mixer->ram + int64_t{p} * ram_page_size, 0, ram_page_size);
    pages++;
  });
  mixer->ram_held[w] &= keep;
  return pages;
}

// The mirror becomes P's whole RAM (zeros where P has no RAM): the pages P
// has or has written are copied and the pages the last owner left are
// cleared; every other page is zeros on both sides. Returns the pages written.
int64_t mirror_whole(process *P) {
  int64_t pages = 0;
  for (int w = 0; w < mudo_ram_pages / 64; w++) {
    uint64_t take = 0;
    if (P->ram) {
      process_ram &r = *P->ram;
      take = ram_pages_present(r, w) | r.mirror_pages[w];
      each_page(w, take, [&](int p) { copy_page(r, p); });
    }
    mixer->ram_held[w] |= take;
    pages += std::popcount(take) + zero_held_pages(w, take);
  }
  return pages;
}

// The pages the owner wrote since the mirror last took them.
int64_t mirror_written(process_ram &r) {
  int64_t pages = 0;
  for (int w = 0; w < mudo_ram_pages / 64; w++) {
    const uint64_t take = r.mirror_pages[w];
    if (!take) continue;
    each_page(w, take, [&](int p) { copy_page(r, p); });
    mixer->ram_held[w] |= take;
    pages += std::popcount(take);
  }
  return pages;
}

}  // namespace

int mix_channel(mudo_channel &ch, int frames, int16_t *out) {
  mudo_wire_channel_outputs(ch);
  if (ch.spt == 0) ch.spt = mudo_tick_samples;
  int64_t b = int64_t{mixer->ram[mudo_reg_volume]} * ch.mix_vol >> 4;  // a negative mix volume inverts
  if (ch.music_ch) b = b * mixer->ram[mudo_reg_music_volume] * mixer->music.level / 16384;
  int written = 0;
  while (written < frames) {
    if (ch.blk_pos >= ch.blk_len) {
      if (ch.music_ch) {
        if (ch.music_ticks_left <= 0) return written;
        ch.music_ticks_left--;
      }
      next_tick(ch);
    }
    const int m = std::min(frames - written, ch.blk_len - ch.blk_pos);
    const int16_t *left = ch.nodes[0].out + ch.blk_pos;
    int16_t *o = out + 2 * written;
    if (ch.stereo) {
      const int16_t *right = ch.nodes[STEREO_NODE_INDEX].out + ch.blk_pos;
      for (int k = scaled_frames8<8>(o, left, right, b, b, m); k < m; k++) {
        o[2 * k] = scaled(left[k], b, 256);
        o[2 * k + 1] = scaled(right[k], b, 256);
      }
    } else {
      // The pan gains move from the last block's to this block's across the
      // tick block, so where a device buffer ends changes nothing.
      const int p = std::clamp(ch.nodes[0].val[1] >> 16, -127, 127);
      const int64_t tl = stereo_contrib[p + 128], tr = stereo_contrib[128 - p];
      const int64_t pl = ch.prev_gain_l, pr = ch.prev_gain_r, len = ch.blk_len;
      if (pl == tl && pr == tr) {  // steady pan: the same gains for the whole piece
        const int64_t gl = b * tl / 256, gr = b * tr / 256;
        for (int k = scaled_frames8<12>(o, left, left, gl, gr, m); k < m; k++) {
          o[2 * k] = scaled(left[k], gl, 4096);
          o[2 * k + 1] = scaled(left[k], gr, 4096);
        }
      } else {
        gain_glide glide_l(pl, tl, len, ch.blk_pos), glide_r(pr, tr, len, ch.blk_pos);
        for (int k = glided_frames8(o, left, b, glide_l, glide_r, m); k < m; k++) {
          const int64_t gl = b * glide_l.next() / 256, gr = b * glide_r.next() / 256;
          o[2 * k] = scaled(left[k], gl, 4096);
          o[2 * k + 1] = scaled(left[k], gr, 4096);
        }
      }
      if (ch.blk_pos + m >= ch.blk_len) {
        ch.prev_gain_l = static_cast<int32_t>(tl);
        ch.prev_gain_r = static_cast<int32_t>(tr);
      }
    }
    ch.blk_pos += m;
    written += m;
  }
  return written;
}

void mudo_mix(int16_t *stream, int frames) {
  if (frames <= 0) return;
  const uint8_t control = mixer->ram[mudo_reg_control];
  mudo_music_state &m = mixer->music;
  bool sounded = true;
  // Parts end where the fade clock ticks (every 367 samples), so the music's
  // gain changes at the same samples whatever size of buffer the host asks for.
  for (int at = 0; at < frames;) {
    const int n = std::min({frames - at, mudo_max_mix_frames, mudo_tick_samples - m.sample_acc});
    sounded &= mix_part(stream + 2 * at, n, control);
    at += n;
    if (control & mudo_control_frozen) continue;
    m.sample_acc += n;
    if (m.sample_acc >= mudo_tick_samples) {
      m.sample_acc -= mudo_tick_samples;
      mudo_update_fade_tick();
    }
  }
  if (!sounded) {
    clear_last_output();
    return;
  }
  const int n = std::min(frames, mudo_max_mix_frames);
  memcpy(mixer->last_output, stream + 2 * (frames - n), sizeof(int16_t) * 2 * size_t(n));
  mixer->last_output_frames = n;
}

int64_t audio_op_start(int64_t pid, int refresh) {
  mudo_init();  // a no-op once the start-up has made the mixer
  os_lock_audio();
  if (pid > 0)
    app.audio_pid = pid;
  else
    pid = app.audio_pid;
  // The sound calls and stat name the caller: no walk of the process table.
  process *P = pid <= 0 ? nullptr : cproc && cproc->id == pid ? cproc : find_process(pid);
  if (!P) {
    int64_t pages = 0;
    if (pid != no_owner)
      for (int w = 0; w < mudo_ram_pages / 64; w++) pages += zero_held_pages(w, 0);
    app.audio_pid = no_owner;
    app.audio_mirror_pid = no_mirror;  // whoever plays next is copied whole
    mudo_kill_all_audio();
    return pages * mirror_page_cycles;
  }
  int64_t cycles = 0;
  if (pid != app.audio_mirror_pid) {
    cycles = mirror_whole(P) * mirror_page_cycles + all_channels_cycles;
    mudo_kill_all_audio();
  } else if (refresh && P->ram) {
    cycles = mirror_written(*P->ram) * mirror_page_cycles;
  }
  app.audio_mirror_pid = pid;
  return cycles;
}

void audio_op_end() { os_unlock_audio(); }

void mudo_set_volume(int32_t v) {
  mudo_init();
  mixer->output_volume.store(std::clamp(v, 0, 256), std::memory_order_relaxed);
}

void mudo_set_stereo_swap(int32_t flag) {
  mudo_init();
  mixer->stereo_swap.store(flag != 0, std::memory_order_relaxed);
}

void mudo_kill_all_audio() { mudo_set_note(-1, 255, 255, 255, 255, 0, false, mudo_pan_unchanged); }

void mudo_kill_all_audio_locked() {
  mudo_init();
  os_lock_audio();
  mudo_kill_all_audio();
  os_unlock_audio();
}
