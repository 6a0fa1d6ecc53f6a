// Parameter evaluation: mvals, envelopes and note steps.
#include "mudo/params.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double mudo_pi = 3.141562;  // the synthesiser's own value, kept for its sound
constexpr double mudo_two_pi = 6.283124;
constexpr int32_t lfo_amplitude = 32640;

// Effect letters that act on the root values.
constexpr int32_t fx_vibrato = 'v', fx_tremolo = 't', fx_wobble = 'w';
constexpr int32_t fx_arp4 = 'a', fx_arp8 = 'b', fx_fade_in = '<', fx_fade_out = '>';

const int32_t vib_mag[16] = {16, 20, 24, 28, 32, 36, 40, 44, 48, 56, 64, 80, 96, 128, 192, 256};
const int32_t trem_mag[16] = {16,  24,  32,  40,  48,  56,  64,  80,
                              96, 112, 128, 144, 160, 192, 224, 256};
const int32_t vib_spd[16] = {0, 1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48, 64};
const int32_t fade_spd[16] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};

// A duration code where 0 stands for the channel's track speed.
int32_t duration_or_speed(int32_t code, const mudo_channel &ch) {
  int32_t d = mudo_duration(code);
  return d > 0 ? d : channel_speed(ch);
}

// Keeps an envelope clock inside its loop while the loop exists: the clock
// wraps from loop end x A back by whole loop lengths.
int32_t wrap_env_tick(int64_t env, int32_t t, const mudo_channel &ch) {
  int32_t loop_start = mudo_u8(env + 3), loop_end = mudo_u8(env + 4);
  if (loop_start >= loop_end) return t;
  if (!(mudo_u8(env + 1) & 16) && mudo_u8(env) != 2) return t;
  int64_t a = duration_or_speed(mudo_u8(env + 2), ch);
  int64_t end = int64_t{loop_end} * a, start = int64_t{loop_start} * a;
  if (t < end) return t;
  return static_cast<int32_t>(start + (t - start) % (end - start));
}

int64_t mval_env_addr(const mudo_channel &ch, int64_t mval_addr) {
  return channel_envelope_addr(ch, mudo_u8(mval_addr + 3) & 15);
}

// Step 2 of an mval: the blend of A and B by the envelope or random value, or A.
int64_t mval_base(mudo_channel &ch, node_state &n, int j, int64_t mval_addr) {
  uint8_t flags = mudo_u8(mval_addr);
  bool is_signed = n.kind < 5 && mval_signed_dat[n.kind][j];
  int64_t a = is_signed ? mudo_i8(mval_addr + 1) : mudo_u8(mval_addr + 1);
  int64_t b = is_signed ? mudo_i8(mval_addr + 2) : mudo_u8(mval_addr + 2);
  int64_t e;
  if (flags & mval_envelope) {
    e = evaluate_envelope(mval_env_addr(ch, mval_addr), n.env_tick[j], ch, n.last_env[j]);
    if (ch.note_on) n.last_env[j] = e;
  } else if (flags & mval_random) {
    e = n.rnd[j];
  } else {
    return a * 65536;
  }
  return (a * e + (mudo_env_max - e) * b) * 256 / 255;
}

}  // namespace

uint64_t mudo_get_dx_for_note(int64_t semitone, int32_t fraction24) {
  int64_t octave = semitone >= 0 ? semitone / 12 : -((-semitone + 11) / 12);
  int m = static_cast<int>(semitone - octave * 12);
  // Note frequency x 2^(octave + 21) / 44100, floored, for both neighbours.
  auto step_of = [&](int note) -> uint64_t {
    uint64_t hz = mudo_note_dx[note];
    if (octave >= 0) return (hz << std::min<int64_t>(octave + 21, 52)) / mudo_sample_rate;
    if (octave < -40) return 0;
    return (hz << 21) / (uint64_t{mudo_sample_rate} << -octave);
  };
  mudo_u128 d0 = step_of(m), d1 = step_of(m + 1);
  uint32_t f = static_cast<uint32_t>(fraction24 & 0xFFFFFF) >> 8;
  return static_cast<uint64_t>((d0 * (65536 - f) + d1 * f) >> 16);
}

int32_t evaluate_envelope_adsr(int64_t env, int32_t t, const mudo_channel &ch, int64_t last) {
  if (!ch.note_on) {
    int64_t r = mudo_duration(mudo_u8(env + 11));
    if (r == 0) return 0;
    int64_t left = std::max<int64_t>(r - ch.ticks_rel, 0);
    return static_cast<int32_t>(std::clamp<int64_t>(last, 0, mudo_env_max) * left / (r + 1));
  }
  int64_t a = mudo_duration(mudo_u8(env + 8)), d = mudo_duration(mudo_u8(env + 9));
  int64_t s = int64_t{mudo_u8(env + 10)} * 256;
  int64_t tt = std::max(t, 0);
  if (tt < a) return static_cast<int32_t>(mudo_env_max * (tt + 1) / (a + 1));
  if (tt - a > d) return static_cast<int32_t>(s);
  return static_cast<int32_t>(s + (d + a - tt + 1) * (mudo_env_max - s) / (d + 1));
}

int32_t evaluate_envelope_lfo(int64_t env, int32_t t, const mudo_channel &ch) {
  double c = duration_or_speed(mudo_u8(env + 12), ch);
  double x = sin(double(t) * 2 * mudo_pi / c + mudo_u8(env + 14) / 256.0 * mudo_two_pi) * lfo_amplitude;
  int64_t v = std::clamp<int64_t>(static_cast<int64_t>(x), -lfo_amplitude, lfo_amplitude);
  return static_cast<int32_t>(v + lfo_amplitude);
}

int32_t evaluate_envelope_data(int64_t env, int32_t t, const mudo_channel &ch) {
  int64_t c = duration_or_speed(mudo_u8(env + 2), ch);
  int64_t tt = std::max(t, 0);
  int64_t i = tt / c;
  auto value = [&](int64_t k) -> int64_t { return k > 15 ? 0 : mudo_u8(env + 8 + k); };
  int64_t v = value(i);
  if (!(mudo_u8(env + 1) & 1)) return static_cast<int32_t>(v * 256);
  int32_t loop_start = mudo_u8(env + 3), loop_end = mudo_u8(env + 4);
  int64_t w = (i + 1 == loop_end && loop_start < loop_end) ? value(loop_start) : value(i + 1);
  return static_cast<int32_t>(v * 256 + ((tt % c) * 256 / c) * (w - v));
}

int32_t evaluate_envelope(int64_t env, int32_t t, const mudo_channel &ch, int64_t last) {
  switch (mudo_u8(env)) {
    case 0: return evaluate_envelope_adsr(env, t, ch, last);
    case 1: return evaluate_envelope_lfo(env, t, ch);
    case 2: return evaluate_envelope_data(env, t, ch);
    default: return 0;
  }
}

int32_t eval_mval(mudo_channel &ch, int node, int j, int64_t mval_addr, int32_t P) {
  node_state &n = ch.nodes[node];
  uint8_t flags = mudo_u8(mval_addr);
  uint8_t b3 = mudo_u8(mval_addr + 3);
  int64_t v = mval_base(ch, n, j, mval_addr);
  if (b3 >= 64) {
    int s = (b3 >> 6) * 2;
    if (b3 & 32) s = -s;
    if (j == 0 && n.kind == node_kind_osc && (n.op == node_op_fm || n.op == node_op_mul))
      n.mod_shift = s;
    else
      v = s >= 0 ? v * (int64_t{1} << s) : v >> -s;  // floor, as an unsigned shift of 32 bits gives
  }
  if ((flags & 3) != 3) {
    if (flags & mval_add_parent) v += P;
    if (flags & mval_mul_parent) v = (v >> 11) * (int64_t{P} >> 11);
  }
  int32_t r = clamp_i32(v);
  if (flags & mval_whole) r = static_cast<int32_t>(static_cast<uint32_t>(r) & 0xFFFF0000u);
  return r;
}

int32_t retrigger_mval_env_tick(const mudo_channel &ch, int node, int j) {
  int64_t mval_addr = int64_t{ch.nodes[node].addr} + 4 + 4 * j;
  int64_t env = mval_env_addr(ch, mval_addr);
  uint8_t env_flags = mudo_u8(env + 1);
  if (!(env_flags & 16) && mudo_u8(env) != 2) return 0;
  int64_t start = int64_t{duration_or_speed(mudo_u8(env + 2), ch)} * mudo_u8(env + 5);
  if (env_flags & 8) start = start > 0 ? mudo_rand() % start : 0;  // random start below it
  return wrap_env_tick(env, static_cast<int32_t>(start), ch);
}

void start_channel_note(mudo_channel &ch) {
  for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) {
    node_state &n = ch.nodes[i];
    if (!(n.flags & node_flag_keep_phase)) n.phase = 0;
    for (int j = 0; j < MUDO_MVALS; j++) {
      uint8_t flags = mudo_u8(int64_t{n.addr} + 4 + 4 * j);
      if ((flags & mval_envelope) && !(flags & mval_keep_envelope))
        n.env_tick[j] = retrigger_mval_env_tick(ch, i, j);
      n.rnd[j] = static_cast<int32_t>(mudo_rand() % mudo_env_max);
    }
  }
}

namespace {

// The channel's root values with the track's per-tick effects applied.
void channel_root_values(mudo_channel &ch, int32_t root[MUDO_MVALS]) {
  int64_t r[MUDO_MVALS] = {ch.cur_vol,
                           int64_t{ch.pan} * 65536,
                           ch.cur_pitch & ~0xFFFF,
                           int64_t{ch.cur_pitch & 0xFFFF} * 256,
                           0, 0, 0};
  const int32_t fx = ch.effect, p = ch.param;
  const int32_t speed = channel_speed(ch);
  if (fx == fx_vibrato || fx == fx_tremolo || fx == fx_wobble) {
    double x = sin(double(ch.vib_phase) * 2 * mudo_pi / 65536);
    int64_t sx = static_cast<int64_t>(x * 65536);
    int d = p == 0 ? 6 : p & 15;
    if (fx != fx_tremolo) r[3] = int64_t{ch.cur_pitch & 0xFFFF} * 256 + sx * vib_mag[d] * 2;
    if (fx != fx_vibrato) r[0] = ch.cur_vol + (sx >> 8) * (ch.cur_vol >> 8) * trem_mag[d] / 256;
    int s = p == 0 ? 10 : (p >> 4) & 15;
    int32_t advance = s == 0 ? 65536 / speed : vib_spd[s] << 8;
    // The phase runs on without being reduced to a turn: with this value of pi
    // a whole turn is not quite a period. It wraps in 32 bits.
    ch.vib_phase = static_cast<int32_t>(static_cast<uint32_t>(ch.vib_phase) + static_cast<uint32_t>(advance));
  } else if (fx == fx_arp4 || fx == fx_arp8) {
    if (ch.trk_playing) {
      int32_t g = fx == fx_arp4 ? 4 : 8;
      if (speed < 9) g /= 2;
      if (p != 0) {
        int32_t offset = ch.arp_step == 1 ? (p >> 4) & 15 : ch.arp_step == 2 ? p & 15 : 0;
        r[2] = (int64_t{ch.pitch} + offset) * 65536;
        r[3] = 0;
        if (++ch.arp_count >= g) {
          ch.arp_count = 0;
          ch.arp_step = (ch.arp_step + 1) % 3;
        }
      } else {
        int64_t row = (ch.trk_row & ~3) + (ch.trk_ticks / g) % 4;
        int32_t pitch = mudo_u8(int64_t{ch.trk_addr} + 8 + row);
        if (pitch == 255) {
          r[2] = 0;
          r[0] = 0;
        } else {
          r[2] = int64_t{pitch} * 65536;
        }
        r[3] = 0;
      }
    }
  } else {
    ch.arp_step = ch.arp_count = 0;
    if ((fx == fx_fade_in || fx == fx_fade_out) && ch.trk_playing) {
      int64_t full = int64_t{ch.volume} * 65536;
      int64_t h = ((p >> 4) & 15) * full >> 4;
      int64_t m = (p & 15) ? int64_t{ch.volume} * fade_spd[p & 15] * 256 : (full - h) / speed;
      int64_t u = ch.trk_tick;
      r[0] = fx == fx_fade_in ? std::min(full, h + m * u) : std::max(h, full - m * u);
      if (u == speed - 1) {
        ch.volume = clamp_i32(r[0] >> 16);
        ch.cur_vol = clamp_i32(r[0]);
      }
    }
  }
  for (int j = 0; j < MUDO_MVALS; j++) root[j] = clamp_i32(r[j]);
}

// The node's pitch ratio from mval 2's blended byte: (b & 15) + 1 over
// (b >> 4) + 1, times the shift byte's factor.
void apply_ratio_mval(mudo_channel &ch, node_state &n, int64_t mval_addr, int64_t &num,
                      int64_t &den) {
  int64_t b = std::clamp<int64_t>(mval_base(ch, n, 2, mval_addr) >> 16, 0, 255);
  num *= (b & 15) + 1;
  den *= (b >> 4) + 1;
  uint8_t b3 = mudo_u8(mval_addr + 3);
  if (b3 >= 64) {
    int64_t w = (b3 & 0xC0) == 0xC0 ? 64 : (b3 & 0x80) ? 16 : 4;
    (b3 & 32 ? den : num) *= w;
  }
  // The product of a deep tree of ratios must not wrap (nor reach 0) in 32 bits.
  while (num > INT32_MAX || den > INT32_MAX) {
    num = std::max<int64_t>(num >> 1, 1);
    den = std::max<int64_t>(den >> 1, 1);
  }
}

}  // namespace

void evaluate_channel_node_parameters(mudo_channel &ch) {
  int32_t root[MUDO_MVALS];
  channel_root_values(ch, root);
  for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) {
    node_state &n = ch.nodes[i];
    if (n.kind == node_kind_silent) continue;
    const node_state *parent = n.parent < i ? &ch.nodes[n.parent] : nullptr;
    const int32_t *pv = parent ? parent->val : root;
    const bool pitched = n.kind == node_kind_root || n.kind == node_kind_osc;
    int64_t num = 1, den = 1;
    if (pitched && parent) {
      num = parent->ratio_num ? parent->ratio_num : 1;
      den = parent->ratio_den ? parent->ratio_den : 1;
    }
    for (int j = 0; j < MUDO_MVALS; j++) {
      int64_t mval_addr = mudo_wrap(int64_t{n.addr} + 4 + 4 * j);
      int32_t P = pv[j];
      if (n.kind == node_kind_filter && j == 2) P = n.val[0];
      if (n.kind == node_kind_gain && j == 3) P = ch.nodes[0].val[0];
      if (pitched && j == 2 && (mudo_u8(mval_addr) & mval_mul_parent)) {
        n.val[2] = P;
        apply_ratio_mval(ch, n, mval_addr, num, den);
      } else {
        n.val[j] = eval_mval(ch, i, j, mval_addr, P);
      }
    }
    n.ratio_num = static_cast<int32_t>(num);
    n.ratio_den = static_cast<int32_t>(den);
    if (pitched) {
      // Pitch as 24-bit fractions of a semitone; a fraction that leaves 0..0xFFFFFF carries.
      int64_t pitch24 = int64_t{n.val[2] >> 16} * 0x1000000 + int64_t{n.val[2] & 0xFFFF} * 256 +
                        n.val[3];
      uint64_t dx = mudo_get_dx_for_note(pitch24 >> 24, static_cast<int32_t>(pitch24 & 0xFFFFFF));
      mudo_u128 step = static_cast<mudo_u128>(dx) * static_cast<uint64_t>(num) /
                               static_cast<uint64_t>(den);
      n.step = step > (uint64_t{1} << 62) ? uint64_t{1} << 62 : static_cast<uint64_t>(step);
    }
    for (int j = 0; j < MUDO_MVALS; j++) {
      int32_t t = n.env_tick[j] < INT32_MAX ? n.env_tick[j] + 1 : INT32_MAX;
      if (ch.note_on) t = wrap_env_tick(mval_env_addr(ch, int64_t{n.addr} + 4 + 4 * j), t, ch);
      n.env_tick[j] = t;
    }
  }
}
