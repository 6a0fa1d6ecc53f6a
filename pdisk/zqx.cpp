// zqx: decompressor of the legacy compressed program form.
#include "pdisk/zqx.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

constexpr int64_t zqx_header_size = 8;
constexpr int max_length_groups = 33333;

// Bits least significant first, never past the bytes given: a read beyond
// them gives 0 and marks the stream as ended.
struct zqx_bits {
  const uint8_t *p;
  int64_t size;
  int64_t bit;
  bool ended;
};

uint32_t take_bits(zqx_bits &r, int k) {
  uint32_t v = 0;
  for (int i = 0; i < k; i++) {
    int64_t byte = r.bit >> 3;
    if (byte >= r.size) {
      r.ended = true;
      return 0;
    }
    v |= uint32_t((r.p[byte] >> (r.bit & 7)) & 1) << i;
    r.bit++;
  }
  return v;
}

// A literal's index into the move-to-front table: k ones and a zero, then
// 4 + k bits. -1 when the index passes the table (k > 4 always does).
int take_literal_index(zqx_bits &r) {
  int k = 0;
  while (k < 16 && take_bits(r, 1)) k++;
  if (r.ended || k > 4) return -1;
  uint32_t index = 16 * ((1u << k) - 1) + take_bits(r, 4 + k);
  return r.ended || index > 255 ? -1 : int(index);
}

// A copy's length: 3 plus 3-bit groups, read while each is 7. -1 when cut off.
int64_t take_copy_length(zqx_bits &r) {
  int64_t n = 3;
  for (int groups = 0; groups < max_length_groups; groups++) {
    uint32_t g = take_bits(r, 3);
    if (r.ended) return -1;
    n += g;
    if (g < 7) break;
  }
  return n;
}

// A raw block: bytes up to a 0 byte. False when decompression ends inside it
// (the output is full, or the bits run out).
bool take_raw_block(zqx_bits &r, uint8_t *output, int64_t *len, int64_t limit) {
  for (;;) {
    if (*len >= limit) return false;
    uint32_t c = take_bits(r, 8);
    if (r.ended) return false;
    if (c == 0) return true;
    output[(*len)++] = uint8_t(c);
  }
}

} // namespace

int64_t zqx_decompress(const uint8_t *input, int64_t input_length, uint8_t *output,
                       int64_t capacity) {
  if (!output || capacity < 0) return 0;
  output[0] = 0;
  if (!input || input_length < zqx_header_size || capacity == 0) return 0;
  int64_t want = int64_t(input[4]) << 8 | input[5];
  int64_t total = int64_t(input[6]) << 8 | input[7];
  if (total <= zqx_header_size || want == 0) return 0;
  int64_t limit = std::min(want, capacity);

  uint8_t table[256];
  std::iota(table, table + 256, 0);
  zqx_bits r{input, input_length, zqx_header_size * 8, false};
  int64_t len = 0;
  while ((r.bit >> 3) < total && len < limit) {
    uint32_t literal = take_bits(r, 1);
    if (r.ended) break;
    if (literal) {
      int index = take_literal_index(r);
      if (index < 0) break;
      uint8_t v = table[index];
      std::memmove(table + 1, table, size_t(index));
      table[0] = v;
      output[len++] = v;
      continue;
    }
    int offset_bits = !take_bits(r, 1) ? 15 : take_bits(r, 1) ? 5 : 10;
    uint32_t u = take_bits(r, offset_bits);
    if (r.ended) break;
    if (offset_bits == 10 && u == 0) {
      if (!take_raw_block(r, output, &len, limit)) break;
      continue;
    }
    int64_t distance = int64_t(u) + 1;
    int64_t count = take_copy_length(r);
    if (count < 0 || distance > len) break;
    // Byte by byte, so an overlapping copy repeats its pattern. A copy runs
    // to the output's capacity, past the stated length; only a raw block
    // stops there.
    for (int64_t end = std::min(capacity, len + count); len < end; len++)
      output[len] = output[len - distance];
  }
  output[len] = 0;
  return len;
}

std::string zqx_decompress_text(const uint8_t *input, int64_t input_length) {
  std::string text(size_t(zqx_max_output) + 1, '\0');
  int64_t n = zqx_decompress(input, input_length, reinterpret_cast<uint8_t *>(text.data()),
                             zqx_max_output);
  text.resize(size_t(n));
  return text;
}
