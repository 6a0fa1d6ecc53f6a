// Node renderer: node trees, oscillators, effects and the block operations.
#include "mudo/render.h"

#include <algorithm>
#include <cstdlib>

#include "mudo/lanes.h"

namespace {

constexpr int wave_log2_max = 23;  // 2^23 samples of 2 bytes fill the whole RAM
constexpr int64_t filter_state_limit = int64_t{1} << 40;
constexpr int32_t echo_ring_mask = mudo_node_buffer_len - 1;

void clear_buffer(int16_t *buf, int n) { memset(buf, 0, sizeof(int16_t) * size_t(n)); }

int32_t pan_index(int32_t val1) { return std::clamp(val1 >> 16, -127, 127); }

// The oscillator's samples k = from..n-1. `at` is the phase less the phase
// offset q, so that the position in the wave is at & mask; returns it moved
// on by the steps (and the modulation input).
template <bool direct, bool modulated>
uint64_t osc_loop(const node_state &nd, int from, int n, uint64_t at, int64_t wave,
                  const int16_t *samples, uint64_t mask, int64_t h) {
  const uint64_t step = nd.step, last = mask >> 16;
  const int16_t *mod = nd.mod_input;
  const int mod_shift = nd.mod_input_shift < -4 ? 2 : nd.mod_input_shift + 6;
  int16_t *out = nd.out;
  for (int k = from; k < n; k++) {
    const uint64_t c = at & mask, i0 = c >> 16, i1 = (i0 + 1) & last;
    int64_t s0, s1;
    if constexpr (direct) {
      s0 = samples[i0];
      s1 = samples[i1];
    } else {
      s0 = mudo_i16(wave + 2 * int64_t(i0));
      s1 = mudo_i16(wave + 2 * int64_t(i1));
    }
    const int64_t v = h * (s0 + ((int64_t(c & 0xFFFF) * (s1 - s0)) >> 16)) >> 14;
    out[k] = static_cast<int16_t>(clamp_sample(v));
    at += step;
    if constexpr (modulated)
      at += static_cast<uint64_t>(int64_t{mod[k]} * (int64_t{1} << mod_shift));
  }
  return at;
}

#if defined(__SSE2__)
// The same for a wave inside the mirror, eight samples at a time, with the
// same integers. Per sample the two neighbours (s0, s1) are read as one pair
// of 16-bit lanes; with the fraction split into bytes fh and fl,
//   x = s0 + (fraction x (s1 - s0) >> 16) = (256 s0 + fh (s1 - s0) + (fl (s1 - s0) >> 8)) >> 8
// since floor((256a + b) / 256m) = floor((a + floor(b / 256)) / m), and so
// with h = 256 hh + hl, h x >> 14 = (hh x + (hl x >> 8)) >> 6. Every product
// is then one of 16-bit numbers summed in 32 bits (pmaddwd).
// Samples i0 and i0 + 1 (the first after the last) as one pair.
uint32_t wave_pair(const int16_t *samples, uint64_t i0, uint64_t last) {
  uint32_t pair;
  if (i0 != last) [[likely]] {
    memcpy(&pair, samples + i0, sizeof pair);  // s0 in the low half (x86 is little-endian)
    return pair;
  }
  return static_cast<uint16_t>(samples[last]) | uint32_t{static_cast<uint16_t>(samples[0])} << 16;
}

__m128i osc_interpolate8(__m128i pairs_lo, __m128i pairs_hi, __m128i frac, __m128i hh, __m128i hl) {
  const __m128i fh = _mm_srli_epi16(frac, 8), fl = _mm_and_si128(frac, _mm_set1_epi16(0xFF));
  const __m128i c0 = _mm_sub_epi16(_mm_set1_epi16(256), fh);  // s0's weight
  const __m128i nfl = _mm_sub_epi16(_mm_setzero_si128(), fl);
  auto interpolate = [&](__m128i pairs, __m128i a_coef, __m128i b_coef) {
    const __m128i a = _mm_madd_epi16(pairs, a_coef);  // 256 s0 + fh (s1 - s0)
    const __m128i b = _mm_madd_epi16(pairs, b_coef);  // fl (s1 - s0)
    // x in each 32-bit lane; it fits 16 bits, so its low half reads as x itself
    const __m128i x = _mm_srai_epi32(_mm_add_epi32(a, _mm_srai_epi32(b, 8)), 8);
    const __m128i p = _mm_madd_epi16(x, hh), r = _mm_madd_epi16(x, hl);
    return _mm_srai_epi32(_mm_add_epi32(p, _mm_srai_epi32(r, 8)), 6);
  };
  const __m128i lo = interpolate(pairs_lo, _mm_unpacklo_epi16(c0, fh), _mm_unpacklo_epi16(nfl, fl));
  const __m128i hi = interpolate(pairs_hi, _mm_unpackhi_epi16(c0, fh), _mm_unpackhi_epi16(nfl, fl));
  return lanes_floor(_mm_packs_epi32(lo, hi));
}

template <bool modulated>
uint64_t osc_loop8(const node_state &nd, int n, uint64_t at, const int16_t *samples, uint64_t mask,
                   int64_t h) {
  const uint64_t step = nd.step, last = mask >> 16;
  const int16_t *mod = nd.mod_input;
  const int mod_shift = nd.mod_input_shift < -4 ? 2 : nd.mod_input_shift + 6;
  // |h| < 2^23 (an i32 mval shifted down by 8), so hh fits 16 bits; the high
  // half of each 32-bit lane is 0, so pmaddwd takes x's low half alone.
  const __m128i hh = _mm_set1_epi32(static_cast<uint16_t>(h >> 8));
  const __m128i hl = _mm_set1_epi32(static_cast<int32_t>(h & 0xFF));
  for (int k = 0; k + 8 <= n; k += 8) {
    uint32_t pair[8];
    uint16_t frac[8];
    for (int j = 0; j < 8; j++) {
      pair[j] = wave_pair(samples, (at >> 16) & last, last);
      frac[j] = static_cast<uint16_t>(at);
      at += step;
      if constexpr (modulated)
        at += static_cast<uint64_t>(int64_t{mod[k + j]} * (int64_t{1} << mod_shift));
    }
    const __m128i v = osc_interpolate8(
        _mm_set_epi32(int32_t(pair[3]), int32_t(pair[2]), int32_t(pair[1]), int32_t(pair[0])),
        _mm_set_epi32(int32_t(pair[7]), int32_t(pair[6]), int32_t(pair[5]), int32_t(pair[4])),
        _mm_set_epi16(int16_t(frac[7]), int16_t(frac[6]), int16_t(frac[5]), int16_t(frac[4]),
                      int16_t(frac[3]), int16_t(frac[2]), int16_t(frac[1]), int16_t(frac[0])),
        hh, hl);
    lanes_store(nd.out + k, v);
  }
  return at;
}
#endif

// x / 65536 truncated toward zero, for a product x = s x (a factor >= 0): the
// rounding bias is taken from the sign of s, so that it is ready before the
// product is (the filter's feedback loop waits on every step of it).
int64_t div65536_by_sign_of(int64_t x, int64_t s) { return (x + ((s >> 63) & 0xFFFF)) >> 16; }

void apply_filter(node_state &nd, int16_t *buf, int n) {
  int64_t a = int64_t{nd.val[2]} >> 8;
  // A negative cutoff would bring the divisor to 0 or below: it stops at unity.
  int64_t den = std::max<int64_t>((((a + (a * a >> 16)) * 64) & ~int64_t{0x7F}) + 0x10000, 0x10000);
  int64_t K = (int64_t{1} << 32) / den;
  int64_t e = 0x10000 - ((int64_t{nd.val[0]} >> 8) & 0xFFFF), E = e * e >> 16;
  int64_t c = (int64_t{nd.val[1]} >> 8) & 0xFFFF, R = 0x10000 - (c * c >> 16);
  // With K, E and R at most unity the filter is stable, so its state stays
  // near the input's range; it is only held inside a wide bound once a block
  // against the drift of truncation. K, E and R are never negative.
  int64_t f = nd.filt_f, g = nd.filt_g, h = nd.filt_h;
  for (int k = 0; k < n; k++) {
    const int64_t x = buf[k];
    const int64_t dh = (x - h) - f;  // x - f - h, with f (the latest) last
    h += div65536_by_sign_of(dh * K, dh);
    const int64_t l = f + div65536_by_sign_of(E * h, h);
    const int64_t dg = g + (l - f);
    g = div65536_by_sign_of(dg * R, dg);
    buf[k] = static_cast<int16_t>(clamp_sample(g));
    f = l;
  }
  nd.filt_f = std::clamp(f, -filter_state_limit, filter_state_limit);
  nd.filt_g = std::clamp(g, -filter_state_limit, filter_state_limit);
  nd.filt_h = std::clamp(h, -filter_state_limit, filter_state_limit);
}

// An echo's delayed reads: the 16.16 ring position of the first, and how far
// each next one moves back, as the delay glides from the last block's to this one's.
struct echo_sweep {
  int64_t r, t;
};

echo_sweep echo_reads(const node_state &nd, int n) {
  const int64_t D = nd.val[0];
  const int64_t Dp = nd.echo_prev_delay == -1 ? D : nd.echo_prev_delay;
  const int64_t p = nd.echo_pos & echo_ring_mask;
  return {(p * 65536 - Dp * 126) & 0x7FFFFFFE, (D * 126 - Dp * 126) / n};
}

int64_t echo_next_read(int64_t r, int64_t t) { return (r - t + 0x10000) & 0x7FFFFFFF; }

#if defined(__SSE2__)
// Eight samples of a steady echo: cur + fb x s / 2^24, truncated, clamped,
// for a feedback 0 <= fb < 2^24 split as 4096 fh + fl. The read s is taken
// as its magnitude and sign, so that every product is of 16-bit numbers:
// floor(fb |s| / 2^24) = floor((fh |s| + floor(fl |s| / 2^12)) / 2^12).
__m128i echo_feedback8(__m128i cur, __m128i s, __m128i fh, __m128i fl) {
  const __m128i sign = _mm_srai_epi16(s, 15);
  const __m128i a = _mm_sub_epi16(_mm_xor_si128(s, sign), sign);  // |s|, read unsigned
  auto shares = [&](__m128i lo_f, __m128i &lo, __m128i &hi) {
    const __m128i l = _mm_mullo_epi16(a, lo_f), h = _mm_mulhi_epu16(a, lo_f);
    lo = _mm_unpacklo_epi16(l, h);
    hi = _mm_unpackhi_epi16(l, h);
  };
  __m128i h0, h1, l0, l1;
  shares(fh, h0, h1);
  shares(fl, l0, l1);
  const __m128i u0 = _mm_srli_epi32(_mm_add_epi32(h0, _mm_srli_epi32(l0, 12)), 12);
  const __m128i u1 = _mm_srli_epi32(_mm_add_epi32(h1, _mm_srli_epi32(l1, 12)), 12);
  const __m128i u = _mm_packs_epi32(u0, u1);  // below 32768
  return lanes_floor(_mm_adds_epi16(cur, _mm_sub_epi16(_mm_xor_si128(u, sign), sign)));
}
#endif

void apply_echo(node_state &nd, int16_t *buf, int n) {
  int16_t *ring = nd.out;
  int64_t D = nd.val[0];
  int64_t F = nd.val[1] & 0xFFFFFF;
  int64_t Fp = nd.echo_prev_fb == -1 ? F : nd.echo_prev_fb;
  int32_t p = nd.echo_pos & echo_ring_mask;
  for (int k = 0; k < n;) {  // at most two runs (more only for blocks longer than the ring)
    const int at = (p + k) & echo_ring_mask, m = std::min(n - k, mudo_node_buffer_len - at);
    memcpy(ring + at, buf + k, sizeof(int16_t) * size_t(m));
    k += m;
  }
  const echo_sweep sweep = echo_reads(nd, n);
  int64_t r = sweep.r, fcur = Fp;
  const int64_t t = sweep.t, df = (F - Fp) / n;
  auto one = [&](int k) {
    int i = (p + k) & echo_ring_mask;
    int16_t v = static_cast<int16_t>(clamp_sample(ring[i] + fcur * ring[r >> 16] / (1 << 24)));
    ring[i] = v;
    buf[k] = v;
    r = echo_next_read(r, t);
    fcur += df;
  };
  int k = 0;
#if defined(__SSE2__)
  // Steady delay and feedback: the reads move one sample a sample, d behind
  // the writes. Eight at a time unless a read would see one of the same
  // eight writes (d of 1 to 7).
  const int d = (p - static_cast<int>(r >> 16)) & echo_ring_mask;
  if (t == 0 && df == 0 && fcur >= 0 && fcur < (1 << 24) && (d == 0 || d >= 8)) {
    const __m128i fh = _mm_set1_epi16(static_cast<int16_t>(fcur >> 12));
    const __m128i fl = _mm_set1_epi16(static_cast<int16_t>(fcur & 0xFFF));
    constexpr int last_run = mudo_node_buffer_len - 8;
    while (k + 8 <= n) {
      const int w = (p + k) & echo_ring_mask, rd = static_cast<int>(r >> 16);
      if (w > last_run || rd > last_run) {  // a run that wraps round the ring
        for (int j = 0; j < 8; j++) one(k++);
        continue;
      }
      const __m128i v = echo_feedback8(lanes_load(ring + w), lanes_load(ring + rd), fh, fl);
      lanes_store(ring + w, v);
      lanes_store(buf + k, v);
      r = (r + 8 * 0x10000) & 0x7FFFFFFF;  // eight steps of echo_next_read
      k += 8;
    }
  }
#endif
  for (; k < n; k++) one(k);
  nd.echo_pos = (p + n) & echo_ring_mask;
  nd.echo_prev_delay = D;
  nd.echo_prev_fb = F;
}

void apply_gain(node_state &nd, int16_t *buf, int n) {
  // Gain 1 to 8; a negative gain value stops at a divisor of 1.
  const int64_t Y = std::max<int64_t>(0x10000 + int64_t{nd.val[0]} * 7 / 255, 1);
  const int64_t X = 0x10000 - int64_t{nd.val[2]} / 255;
  const int64_t T = X * 65536 / Y;
  const int64_t L = nd.val[3] / 64;
  const int64_t S = nd.val[1];
  mudo_i128 G = 0;
  if (T != 0x10000) {
    mudo_i128 v = 0x10000 - T, w = (S / 255) * 2;
    mudo_i128 over = ((mudo_i128{1} << 32) - mudo_i128{X} * 65536) / v;
    if (S > 0x7F7FFF)
      G = (0x20000 - w) * over >> 16;
    else
      G = ((mudo_i128{Y - X} * 65536 / v) * (0x10000 - w) + w * over) >> 16;
  }
  const int64_t g = static_cast<int64_t>(std::clamp<mudo_i128>(G, -(int64_t{1} << 40), int64_t{1} << 40));
  if (S > 0xFEFFFF) {  // fold through the triangle table
    const uint64_t fold = static_cast<uint64_t>(S / 255 + 0x7FFF0000);
    for (int k = 0; k < n; k++) {
      int64_t x = buf[k], a = std::abs(x) * 2;
      int64_t u = a * Y;
      if (a >= T) {
        uint64_t idx = ((static_cast<uint64_t>((u >> 16) - X) * fold) >> 16) & 0x7FFE;
        u = int64_t{gain_tri[idx >> 1]} * X * 2;
      }
      int64_t b = std::min<int64_t>(u >> 16, 0xFFFF) >> 1;  // below 0 when X is
      int64_t y = L * (x < 0 ? -1 : x > 0 ? 1 : 0) * b;
      buf[k] = static_cast<int16_t>(y >= 0x7FFF0000 ? 0x7FFF : clamp_sample(y >> 16));
    }
    return;
  }
  for (int k = 0; k < n; k++) {  // soft knee
    int64_t x = buf[k], a = std::abs(x) * 2;
    int64_t u = a < T ? a * Y >> 16 : ((a - T) * g >> 16) + X;
    u = std::min<int64_t>(u, 0xFFFF);
    int64_t y = L * (x < 0 ? -1 : x > 0 ? 1 : 0) * (u / 2);
    buf[k] = static_cast<int16_t>(clamp_sample(y >> 16));
  }
}

// The block operations: eight samples at a time where SSE2 has the
// operation, then the plain loop, in 32 bits on buffers that never overlap
// (each node has its own). A right shift of 31 or more leaves the sign of a
// 31-bit product, as any wider shift of it would.

int16_t to_sample(int32_t v) {
  return static_cast<int16_t>(std::clamp(v, -mudo_sample_max, mudo_sample_max));
}

// Pan gains are 0..4096, so each product with a sample fits 32 bits and each
// share of a sample fits 16.
int16_t pan_gain(int32_t g) { return static_cast<int16_t>(std::clamp(g, 0, 4096)); }

}  // namespace

void ramp_blend(int16_t *__restrict buf, const int16_t *__restrict old, int m) {
  m = std::min(m, mudo_ramp_samples);
  int k = 0;
#if defined(__SSE2__)
  // pmaddwd on (old, new) pairs with the weights (64 - k, k)
  __m128i w_lo = _mm_set_epi16(3, 61, 2, 62, 1, 63, 0, 64);
  __m128i w_hi = _mm_set_epi16(7, 57, 6, 58, 5, 59, 4, 60);
  const __m128i advance = _mm_set_epi16(8, -8, 8, -8, 8, -8, 8, -8);
  for (; k + 8 <= m; k += 8) {
    const __m128i o = lanes_load(old + k), b = lanes_load(buf + k);
    const __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(o, b), w_lo), 6);
    const __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(o, b), w_hi), 6);
    lanes_store(buf + k, _mm_packs_epi32(lo, hi));
    w_lo = _mm_add_epi16(w_lo, advance);
    w_hi = _mm_add_epi16(w_hi, advance);
  }
#endif
  for (; k < m; k++)
    buf[k] = static_cast<int16_t>(((mudo_ramp_samples - k) * old[k] + k * buf[k]) >> 6);
}

void add_buffer(int16_t *__restrict d, const int16_t *__restrict s, int n) {
  int k = 0;
#if defined(__SSE2__)
  for (; k + 8 <= n; k += 8)
    lanes_store(d + k, lanes_floor(_mm_adds_epi16(lanes_load(d + k), lanes_load(s + k))));
#endif
  for (; k < n; k++) d[k] = to_sample(d[k] + s[k]);
}

void mul_buffer(int16_t *__restrict d, const int16_t *__restrict s, int n, int shift) {
  const int sh = std::clamp(15 - shift, 0, 31);
  int k = 0;
#if defined(__SSE2__)
  const __m128i count = _mm_cvtsi32_si128(sh);
  for (; k + 8 <= n; k += 8)
    lanes_store(d + k, lanes_mul_shift(lanes_load(d + k), lanes_load(s + k), count));
#endif
  for (; k < n; k++) d[k] = to_sample((s[k] * d[k]) >> sh);
}

void xor_buffer(int16_t *__restrict d, const int16_t *__restrict s, int n) {
  int k = 0;
#if defined(__SSE2__)
  for (; k + 8 <= n; k += 8)
    lanes_store(d + k, lanes_floor(_mm_xor_si128(lanes_load(d + k), lanes_load(s + k))));
#endif
  for (; k < n; k++) d[k] = to_sample(static_cast<int16_t>(d[k] ^ s[k]));
}

void or_buffer(int16_t *__restrict d, const int16_t *__restrict s, int n) {
  int k = 0;
#if defined(__SSE2__)
  for (; k + 8 <= n; k += 8)
    lanes_store(d + k, lanes_floor(_mm_or_si128(lanes_load(d + k), lanes_load(s + k))));
#endif
  for (; k < n; k++) d[k] = to_sample(static_cast<int16_t>(d[k] | s[k]));
}

void add_buffer_split(int16_t *__restrict left, int16_t *__restrict right,
                      const int16_t *__restrict s, int32_t gl, int32_t gr, int n) {
  const int16_t l16 = pan_gain(gl), r16 = pan_gain(gr);
  int k = 0;
#if defined(__SSE2__)
  const __m128i vl = _mm_set1_epi16(l16), vr = _mm_set1_epi16(r16);
  for (; k + 8 <= n; k += 8) {
    const __m128i v = lanes_load(s + k);
    lanes_store(left + k, lanes_floor(_mm_adds_epi16(lanes_load(left + k), lanes_scale<12>(v, vl))));
    lanes_store(right + k, lanes_floor(_mm_adds_epi16(lanes_load(right + k), lanes_scale<12>(v, vr))));
  }
#endif
  for (; k < n; k++) {
    left[k] = to_sample(left[k] + s[k] * l16 / 4096);
    right[k] = to_sample(right[k] + s[k] * r16 / 4096);
  }
}

void mul_buffer_split(int16_t *__restrict left, int16_t *__restrict right,
                      const int16_t *__restrict s, int32_t gl, int32_t gr, int n, int shift) {
  const int sh = std::clamp(15 - shift, 0, 31);
  const int16_t l16 = pan_gain(gl), r16 = pan_gain(gr);
  int k = 0;
#if defined(__SSE2__)
  const __m128i vl = _mm_set1_epi16(l16), vr = _mm_set1_epi16(r16), count = _mm_cvtsi32_si128(sh);
  for (; k + 8 <= n; k += 8) {
    const __m128i v = lanes_load(s + k);
    lanes_store(left + k, lanes_mul_shift(lanes_load(left + k), lanes_scale<12>(v, vl), count));
    lanes_store(right + k, lanes_mul_shift(lanes_load(right + k), lanes_scale<12>(v, vr), count));
  }
#endif
  for (; k < n; k++) {
    const auto sl = static_cast<int16_t>(s[k] * l16 / 4096);
    const auto sr = static_cast<int16_t>(s[k] * r16 / 4096);
    left[k] = to_sample((left[k] * sl) >> sh);
    right[k] = to_sample((right[k] * sr) >> sh);
  }
}

void render_node_tick_osc(node_state &nd, int n) {
  const int L = std::clamp(nd.wt_log2, 0, wave_log2_max);
  const int64_t len = int64_t{1} << L;
  const uint64_t mask = (uint64_t{1} << (L + 16)) - 1;
  const int64_t count = nd.wt_count > 0 ? std::min(nd.wt_count, 256) : 256;
  const int64_t w = ((static_cast<uint32_t>(nd.val[4]) >> 16) & 0xFF) * count >> 8;
  const int64_t wave = mudo_wrap(int64_t{nd.wt_addr} + w * len * 2);
  const uint64_t q = static_cast<uint64_t>((int64_t{nd.val[5] >> 16} + 128) * (int64_t{1} << (L + 8)));
  const int64_t h = int64_t{nd.val[0]} >> 8;  // 64.0 = unity
  // Waves that lie whole inside the mirror are read directly (the address is even).
  const bool direct = wave + 2 * len <= mudo_ram_size;
  const auto *samples = reinterpret_cast<const int16_t *>(mixer->ram + wave);
  const bool modulated = nd.mod_input != nullptr;
  uint64_t at = nd.phase - q;
  int done = 0;
#if defined(__SSE2__)
  if (direct) {
    done = n / 8 * 8;
    at = modulated ? osc_loop8<true>(nd, done, at, samples, mask, h)
                   : osc_loop8<false>(nd, done, at, samples, mask, h);
  }
#endif
  if (direct)
    at = modulated ? osc_loop<true, true>(nd, done, n, at, wave, samples, mask, h)
                   : osc_loop<true, false>(nd, done, n, at, wave, samples, mask, h);
  else
    at = modulated ? osc_loop<false, true>(nd, done, n, at, wave, samples, mask, h)
                   : osc_loop<false, false>(nd, done, n, at, wave, samples, mask, h);
  nd.phase = at + q;
}

void copy_echo_reads(const node_state &nd, const int16_t *from, int16_t *to, int n) {
  n = std::min(n, mudo_node_buffer_len);
  if (n <= 0) return;
  memcpy(to, from, sizeof(int16_t) * size_t(n));
  echo_sweep s = echo_reads(nd, n);
  for (int k = 0; k < n; k++) {
    to[s.r >> 16] = from[s.r >> 16];
    s.r = echo_next_read(s.r, s.t);
  }
}

void apply_fx_node(node_state &node, int16_t *buf, int n) {
  switch (node.kind) {
    case node_kind_filter: apply_filter(node, buf, n); break;
    case node_kind_echo: apply_echo(node, buf, n); break;
    case node_kind_gain: apply_gain(node, buf, n); break;
    default: break;
  }
}

void grab_node_tree(mudo_channel &ch) {
  node_state &right = ch.nodes[STEREO_NODE_INDEX];
  int16_t *right_out = right.out;
  memset(static_cast<void *>(&right), 0, sizeof right);
  right.twin = -1;
  right.echo_prev_delay = right.echo_prev_fb = -1;
  right.out = right_out;
  if (ch.instrument < 0 || ch.instrument >= mudo_no_instrument) {
    for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) ch.nodes[i].kind = node_kind_silent;
    ch.inst_flags = 0;
    ch.stereo = 0;
    ch.max_depth = 0;
    return;
  }
  const int64_t inst = mudo_wrap(int64_t{ch.base} + mudo_instrument_offset +
                                 mudo_instrument_size * ch.instrument);
  ch.inst_addr = static_cast<int32_t>(inst);
  ch.inst_flags = mudo_u8(inst + mudo_instrument_flags_offset);
  ch.stereo = (ch.inst_flags & instrument_flag_stereo) ? 1 : 0;
  ch.max_depth = 0;
  int twin_source[MUDO_INSTRUMENT_NODES];
  for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) {
    node_state &nd = ch.nodes[i];
    twin_source[i] = nd.twin_mark - 1;
    const int64_t rec = mudo_wrap(inst + mudo_node_size * i);
    const uint8_t b0 = mudo_u8(rec), b1 = mudo_u8(rec + 1);
    nd.addr = static_cast<int32_t>(rec);
    nd.parent = b0 & 15;
    nd.op = b0 >> 4;
    nd.kind = b1 & 15;
    nd.wt_index = b1 >> 4;
    nd.flags = mudo_u8(rec + 2);
    nd.spare = mudo_u8(rec + 3);
    nd.twin_mark = 0;
    nd.twin = -1;
    nd.depth = nd.parent < i ? ch.nodes[nd.parent].depth + 1 : 0;
    ch.max_depth = std::max(ch.max_depth, nd.depth);
    if (nd.kind == node_kind_osc) {
      const int64_t desc = inst + mudo_wavetable_offset + 4 * (nd.wt_index & 3);
      nd.wt_addr = int32_t{mudo_u16(desc)} << 8;
      nd.wt_log2 = std::min<int32_t>(mudo_u8(desc + 2), wave_log2_max);
      nd.wt_len = 1 << nd.wt_log2;
      nd.wt_count = mudo_u8(desc + 3) ? mudo_u8(desc + 3) : 256;
    }
  }
  if (!ch.stereo) return;
  // Each top effect gets a right-side twin in the first free (silent) node after it.
  for (int i = 0; i < MUDO_INSTRUMENT_NODES - 1; i++) {
    node_state &src = ch.nodes[i];
    if (src.depth != 1 || src.kind < node_kind_filter || src.twin_mark) continue;
    for (int j = i + 1; j < MUDO_INSTRUMENT_NODES; j++) {
      node_state &twin = ch.nodes[j];
      if (twin.kind != node_kind_silent) continue;
      // A twin that was this node's twin before keeps its own effect history
      // (its filter state and its own echo ring).
      const node_state kept = twin;
      twin = src;
      twin.out = kept.out;
      if (twin_source[j] == i) {
        twin.filt_f = kept.filt_f;
        twin.filt_g = kept.filt_g;
        twin.filt_h = kept.filt_h;
        twin.echo_pos = kept.echo_pos;
        twin.echo_prev_delay = kept.echo_prev_delay;
        twin.echo_prev_fb = kept.echo_prev_fb;
      }
      twin.twin_mark = i + 1;
      twin.parent = STEREO_NODE_INDEX;
      twin.twin = -1;
      src.twin = j;
      break;
    }
  }
}

void prepare_nodes_for_new_instrument(mudo_channel &ch) {
  for (node_state &nd : ch.nodes) {
    nd.echo_prev_delay = nd.echo_prev_fb = -1;
    if (nd.kind == node_kind_echo) {
      if (nd.out) clear_buffer(nd.out, mudo_node_buffer_len);
      nd.echo_pos = 0;
    }
  }
}

namespace {

// Whether two oscillator states render the same samples (with the same
// modulation input): every field render_node_tick_osc reads.
bool same_osc_signal(const node_state &a, const node_state &b) {
  return a.phase == b.phase && a.step == b.step && a.val[0] == b.val[0] && a.val[4] == b.val[4] &&
         a.val[5] == b.val[5] && a.wt_addr == b.wt_addr && a.wt_log2 == b.wt_log2 &&
         a.wt_count == b.wt_count;
}

}  // namespace

void render_channel_tick(mudo_channel &ch, int n) {
  n = std::min(n, mudo_node_buffer_len);
  if (n <= 0) return;
  node_state *nodes = ch.nodes;
  for (node_state &nd : ch.nodes) nd.mod_input = nullptr;
  clear_buffer(nodes[0].out, n);
  clear_buffer(nodes[STEREO_NODE_INDEX].out, n);
  bool has_echo = false;
  for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) has_echo |= nodes[i].kind == node_kind_echo;

  for (int depth = MUDO_INSTRUMENT_NODES - 1; depth >= 0; depth--) {
    for (int i = 0; i < MUDO_INSTRUMENT_NODES; i++) {
      node_state &nd = nodes[i];
      if (nd.depth != depth) continue;
      const bool muted = nd.flags & node_flag_mute;
      // With an echo in the tree, the previous block's oscillator state runs on
      // for a short ramp so that a tick boundary does not click. Where that
      // state would play the very samples the new one plays, the ramp changes
      // nothing and is skipped.
      const bool ramp = has_echo && nd.kind == node_kind_osc && !muted &&
                        ch.saved[i].addr == nd.addr && !same_osc_signal(ch.saved[i], nd);
      if (muted || nd.kind == node_kind_silent)
        clear_buffer(nd.out, n);
      else if (nd.kind == node_kind_osc)
        render_node_tick_osc(nd, n);

      if (ramp) {
        int16_t scratch[mudo_ramp_samples];
        node_state old = ch.saved[i];
        old.out = scratch;
        old.mod_input = nd.mod_input;
        old.mod_input_shift = nd.mod_input_shift;
        int m = std::min(n, mudo_ramp_samples);
        render_node_tick_osc(old, m);
        ramp_blend(nd.out, scratch, m);
      }

      if (nd.kind == node_kind_osc && !muted && nd.op == node_op_fm && nd.parent < i) {
        nodes[nd.parent].mod_input = nd.out;
        nodes[nd.parent].mod_input_shift = nd.mod_shift;
      }

      for (int j = i + 1; j < MUDO_INSTRUMENT_NODES; j++) {
        node_state &c = nodes[j];
        if (c.parent != i || (c.flags & node_flag_mute)) continue;
        if (c.kind == node_kind_osc) {
          if (ch.stereo && i == 0) {
            int p = pan_index(c.val[1]);
            int32_t gl = stereo_contrib[p + 128], gr = stereo_contrib[128 - p];
            if (c.op == node_op_add)
              add_buffer_split(nd.out, nodes[STEREO_NODE_INDEX].out, c.out, gl, gr, n);
            else if (c.op == node_op_mul)
              mul_buffer_split(nd.out, nodes[STEREO_NODE_INDEX].out, c.out, gl, gr, n, c.mod_shift);
            continue;
          }
          switch (c.op) {
            case node_op_add: add_buffer(nd.out, c.out, n); break;
            case node_op_mul: mul_buffer(nd.out, c.out, n, c.mod_shift); break;
            case node_op_xor: xor_buffer(nd.out, c.out, n); break;
            case node_op_or: or_buffer(nd.out, c.out, n); break;
            default: break;
          }
        } else if (c.kind == node_kind_filter || c.kind == node_kind_echo ||
                   c.kind == node_kind_gain) {
          apply_fx_node(c, nd.out, n);
          if (c.twin >= 0) apply_fx_node(nodes[c.twin], nodes[STEREO_NODE_INDEX].out, n);
        }
      }
    }
  }
  if (ch.note_on)
    ch.ticks_on = ch.ticks_on < INT32_MAX ? ch.ticks_on + 1 : INT32_MAX;
  else
    ch.ticks_rel = ch.ticks_rel < INT32_MAX ? ch.ticks_rel + 1 : INT32_MAX;
  memcpy(static_cast<void *>(ch.saved), ch.nodes, sizeof ch.saved);
}
