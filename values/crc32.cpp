// crc32: the standard CRC-32: carry-less multiplication folding where the
// host has it (x86-64 with PCLMULQDQ), else slice-by-16 over tables made at
// compile time; the tail of every input goes through the tables.
#include "values/crc32.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#define KESTRUNE_CRC_CLMUL 1
#endif

namespace {

constexpr int slices = 16;
using crc_tables = std::array<std::array<uint32_t, 256>, slices>;

// tables[0] is the byte-at-a-time table; tables[k] advances a byte that sits
// k bytes before the end of a 16-byte block, so a block costs 16 independent
// lookups rather than 16 dependent ones.
constexpr crc_tables make_tables() {
  crc_tables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int b = 0; b < 8; b++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    t[0][i] = c;
  }
  for (int k = 1; k < slices; k++)
    for (uint32_t i = 0; i < 256; i++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr crc_tables tables = make_tables();

inline uint32_t load_le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The four bytes of w, the first of them `last` bytes before the block's end.
inline uint32_t word_step(uint32_t w, int last) {
  return tables[last][w & 0xFF] ^ tables[last - 1][(w >> 8) & 0xFF] ^
         tables[last - 2][(w >> 16) & 0xFF] ^ tables[last - 3][w >> 24];
}

uint32_t table_crc(uint32_t c, const uint8_t *p, const uint8_t *end) {
  while (end - p >= slices) {
    c = word_step(load_le32(p) ^ c, 15) ^ word_step(load_le32(p + 4), 11) ^
        word_step(load_le32(p + 8), 7) ^ word_step(load_le32(p + 12), 3);
    p += slices;
  }
  while (p < end) c = (c >> 8) ^ tables[0][(c ^ *p++) & 0xFF];
  return c;
}

#if KESTRUNE_CRC_CLMUL
#define CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

CLMUL_TARGET inline __m128i load(const uint8_t *q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
}

// One lane carried a stride on, plus the data met there.
CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds n bytes (n >= 64, a multiple of 16) into the CRC register c: four
// 128-bit lanes folded 64 bytes at a time, then into one lane, then reduced
// to 32 bits (Barrett). The constants, bit-reflected in 33 bits, are x^544,
// x^480 (one 64-byte stride), x^160, x^96 (one 16-byte stride) and x^64
// modulo P, then P itself and mu = x^64 / P.
CLMUL_TARGET uint32_t clmul_crc(uint32_t c, const uint8_t *p, int64_t n) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(c)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; n >= 16; p += 16, n -= 16) x1 = fold(x1, k3k4, load(p));

  // 128 bits to 64, then Barrett reduction to 32
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00),
                    _mm_srli_si128(x, 4));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

const bool host_has_clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

} // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t *data, int64_t length) {
  if (length <= 0) return crc;
  uint32_t c = ~crc;
  const uint8_t *p = data;
#if KESTRUNE_CRC_CLMUL
  if (host_has_clmul && length >= 64) {
    int64_t n = length & ~int64_t(15);
    c = clmul_crc(c, p, n);
    p += n;
  }
#endif
  return ~table_crc(c, p, data + length);
}

uint32_t crc32b(const uint8_t *data, int64_t length) { return crc32_update(0, data, length); }
