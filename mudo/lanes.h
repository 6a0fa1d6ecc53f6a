// lanes: eight i16 samples at a time (SSE2), the few operations that the
// renderer and the mixer share. Each gives exactly the integers of its plain
// loop; callers keep that loop for the tail and for machines without SSE2.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstdint>

#include "mudo/mudo.h"

inline __m128i lanes_load(const int16_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}
inline void lanes_store(int16_t *p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// Samples stop at -32767; saturating packs and adds stop at -32768 (and 32767).
inline __m128i lanes_floor(__m128i v) { return _mm_max_epi16(v, _mm_set1_epi16(-mudo_sample_max)); }

// The 32-bit products a x b of the lanes: lanes 0-3 in lo, 4-7 in hi.
inline void lanes_products(__m128i a, __m128i b, __m128i &lo, __m128i &hi) {
  const __m128i l = _mm_mullo_epi16(a, b), h = _mm_mulhi_epi16(a, b);
  lo = _mm_unpacklo_epi16(l, h);
  hi = _mm_unpackhi_epi16(l, h);
}

// x / 2^bits of 32-bit lanes, truncated toward zero.
template <int bits>
__m128i lanes_div_pow2(__m128i x) {
  const __m128i bias = _mm_and_si128(_mm_srai_epi32(x, 31), _mm_set1_epi32((1 << bits) - 1));
  return _mm_srai_epi32(_mm_add_epi32(x, bias), bits);
}

// a x g / 2^bits, truncated, saturated to 16 bits.
template <int bits>
__m128i lanes_scale(__m128i a, __m128i g) {
  __m128i lo, hi;
  lanes_products(a, g, lo, hi);
  return _mm_packs_epi32(lanes_div_pow2<bits>(lo), lanes_div_pow2<bits>(hi));
}

// (a x b) >> shift (0..31), clamped to samples.
inline __m128i lanes_mul_shift(__m128i a, __m128i b, __m128i shift) {
  __m128i lo, hi;
  lanes_products(a, b, lo, hi);
  return lanes_floor(_mm_packs_epi32(_mm_sra_epi32(lo, shift), _mm_sra_epi32(hi, shift)));
}
#endif
