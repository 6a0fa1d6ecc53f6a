// murmur3: MurmurHash3 x64 128 (the published algorithm, seed given).
#include "pdisk/murmur3.h"

#include <cstring>

namespace {

constexpr uint64_t c1 = 0x87c37b91114253d5ULL;
constexpr uint64_t c2 = 0x4cf5ad432745937fULL;

uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t fmix(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

uint64_t load64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8); // the hash reads blocks little-endian, as this host stores them
  return v;
}

} // namespace

std::array<uint8_t, 16> murmur3_x64_128(const void *data, size_t length, uint32_t seed) {
  const auto *p = static_cast<const uint8_t *>(data);
  size_t blocks = length / 16;
  uint64_t h1 = seed, h2 = seed;
  for (size_t i = 0; i < blocks; i++) {
    uint64_t k1 = load64(p + 16 * i), k2 = load64(p + 16 * i + 8);
    k1 *= c1;
    k1 = rotl(k1, 31);
    k1 *= c2;
    h1 ^= k1;
    h1 = rotl(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52dce729;
    k2 *= c2;
    k2 = rotl(k2, 33);
    k2 *= c1;
    h2 ^= k2;
    h2 = rotl(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495ab5;
  }
  const uint8_t *tail = p + 16 * blocks;
  uint64_t k1 = 0, k2 = 0;
  size_t rest = length & 15;
  for (size_t i = rest; i > 8; i--) k2 ^= uint64_t(tail[i - 1]) << (8 * (i - 9));
  if (rest > 8) {
    k2 *= c2;
    k2 = rotl(k2, 33);
    k2 *= c1;
    h2 ^= k2;
  }
  for (size_t i = rest < 8 ? rest : 8; i > 0; i--) k1 ^= uint64_t(tail[i - 1]) << (8 * (i - 1));
  if (rest > 0) {
    k1 *= c1;
    k1 = rotl(k1, 31);
    k1 *= c2;
    h1 ^= k1;
  }
  h1 ^= length;
  h2 ^= length;
  h1 += h2;
  h2 += h1;
  h1 = fmix(h1);
  h2 = fmix(h2);
  h1 += h2;
  h2 += h1;
  std::array<uint8_t, 16> out;
  for (int i = 0; i < 8; i++) {
    out[size_t(i)] = uint8_t(h1 >> (8 * i));
    out[size_t(8 + i)] = uint8_t(h2 >> (8 * i));
  }
  return out;
}

std::string murmur3_hex(const void *data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (uint8_t b : murmur3_x64_128(data, length, 0)) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}
