// CRC-32: check value, vectors made with Python's zlib.crc32, and random
// inputs against a bit-at-a-time reference.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "values/crc32.h"

namespace {

// Byte k of the n-byte test input (the vectors below were made from it).
std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v;
  for (size_t k = 0; k < n; k++) v.push_back(uint8_t((k * 131 + n * 7 + (k >> 3)) & 255));
  return v;
}

uint32_t crc_of(const std::string &s) {
  return crc32b(reinterpret_cast<const uint8_t *>(s.data()), int64_t(s.size()));
}

// The definition, one bit at a time.
uint32_t reference_crc(const uint8_t *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int b = 0; b < 8; b++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

} // namespace

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc_of("abc"), 0x352441C2u);
  EXPECT_EQ(crc_of("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  EXPECT_EQ(crc_of(std::string(64, '\xff')), 0x0F6187BAu);
  EXPECT_EQ(crc_of(std::string(64, '\0')), 0x758D6336u);
  const std::pair<size_t, uint32_t> vectors[] = {
      {1, 0x4c667a2e},  {2, 0x58529ca3},  {3, 0xd6517177},   {4, 0xcccad9b1},
      {5, 0xb6bc57c3},  {6, 0x93d0fe61},  {7, 0x7b715b34},   {8, 0x94a87d60},
      {9, 0x90a1f0d7},  {10, 0xdc3cf4c4}, {31, 0xbd1c4513},  {32, 0x2b2be037},
      {33, 0x2e94a592}, {57, 0x2b30e935}, {100, 0x066976fb}, {255, 0x744570d0},
      {1000, 0x76c5477a},
  };
  for (auto [n, crc] : vectors) {
    std::vector<uint8_t> v = pattern(n);
    EXPECT_EQ(crc32b(v.data(), int64_t(n)), crc) << n;
  }
}

TEST(Crc32, EmptyAndNegativeLengthsGiveZero) {
  uint8_t byte = 0x41;
  EXPECT_EQ(crc32b(&byte, 0), 0u);
  EXPECT_EQ(crc32b(&byte, -1), 0u);
  EXPECT_EQ(crc32b(nullptr, 0), 0u);
  EXPECT_EQ(crc32_update(0x12345678u, &byte, 0), 0x12345678u);
}

TEST(Crc32, RandomInputsMatchTheReference) {
  std::mt19937 rng(3);
  std::vector<uint8_t> data(4096 + 16);
  for (auto &b : data) b = uint8_t(rng());
  // every length up to 300 from every alignment within a word
  for (size_t start = 0; start < 8; start++)
    for (size_t n = 0; n <= 300; n++)
      ASSERT_EQ(crc32b(data.data() + start, int64_t(n)), reference_crc(data.data() + start, n))
          << start << " " << n;
  for (int round = 0; round < 50; round++) {
    size_t start = rng() % 16, n = rng() % 4096;
    EXPECT_EQ(crc32b(data.data() + start, int64_t(n)), reference_crc(data.data() + start, n));
  }
}

TEST(Crc32, UpdateContinuesAcrossPieces) {
  std::mt19937 rng(5);
  std::vector<uint8_t> data(2000);
  for (auto &b : data) b = uint8_t(rng());
  uint32_t whole = crc32b(data.data(), int64_t(data.size()));
  for (int round = 0; round < 20; round++) {
    uint32_t c = 0;
    size_t at = 0;
    while (at < data.size()) {
      size_t k = std::min<size_t>(rng() % 100, data.size() - at);
      c = crc32_update(c, data.data() + at, int64_t(k));
      at += k;
    }
    EXPECT_EQ(c, whole);
  }
}

TEST(Crc32, LongInputsAtEveryBlockEdge) {
  // the folding path takes whole 16-byte blocks from 64 bytes on; the tables
  // take the rest
  std::mt19937 rng(6);
  std::vector<uint8_t> data(70000);
  for (auto &b : data) b = uint8_t(rng());
  for (size_t n : {63, 64, 65, 79, 80, 127, 128, 129, 191, 192, 1023, 1024, 1040, 65536, 69999})
    for (size_t start = 0; start < 2; start++)
      EXPECT_EQ(crc32b(data.data() + start, int64_t(n)), reference_crc(data.data() + start, n))
          << n;
  std::vector<uint8_t> ones(4096, 0xFF), zeros(4096, 0);
  EXPECT_EQ(crc32b(ones.data(), 4096), reference_crc(ones.data(), 4096));
  EXPECT_EQ(crc32b(zeros.data(), 4096), reference_crc(zeros.data(), 4096));
}
