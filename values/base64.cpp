// base64: the URL-safe variant, streaming encoder and decoder.
#include "values/base64.h"

#include <array>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

// Made at compile time rather than on first use: read-only, so both codecs may
// run on any thread.
constexpr std::array<int8_t, 256> make_decode_mapping() {
  std::array<int8_t, 256> m{};
  for (auto &v : m) v = -1;
  for (int i = 0; i < 64; i++) m[uint8_t(alphabet[i])] = int8_t(i);
  return m;
}

constexpr std::array<int8_t, 256> decode_mapping = make_decode_mapping();

} // namespace

char base64_encode_value(int v) { return v >= 0 && v <= 63 ? alphabet[v] : '='; }

int base64_decode_value(int c) { return c >= 0 && c <= 255 ? decode_mapping[c] : -1; }

int64_t base64_encode_block_bound(int64_t length) {
  // 2 carried bytes plus the new ones, 4 characters for every 3
  return length <= 0 ? 0 : (length + 2) / 3 * 4;
}

int64_t base64_decode_block_bound(int64_t length) {
  // 3 carried characters plus the new ones, 3 bytes for every 4
  return length <= 0 ? 0 : (length + 3) / 4 * 3;
}

void base64_init_encodestate(base64_encodestate *state) {
  state->step = 0;
  state->carry = 0;
}

int64_t base64_encode_block(const uint8_t *data, int64_t length, char *out,
                            base64_encodestate *state) {
  const uint8_t *p = data;
  const uint8_t *end = length > 0 ? data + length : data;
  char *o = out;
  int step = state->step;
  uint8_t carry = state->carry;
  // Finish an open group first, then whole groups, then keep what is left.
  while (p < end && step != 0) {
    uint8_t b = *p++;
    if (step == 1) {
      *o++ = alphabet[carry | b >> 4];
      carry = uint8_t((b & 0x0F) << 2);
      step = 2;
    } else {
      *o++ = alphabet[carry | b >> 6];
      *o++ = alphabet[b & 0x3F];
      carry = 0;
      step = 0;
    }
  }
  while (end - p >= 3) {
    uint32_t g = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    o[0] = alphabet[g >> 18];
    o[1] = alphabet[(g >> 12) & 0x3F];
    o[2] = alphabet[(g >> 6) & 0x3F];
    o[3] = alphabet[g & 0x3F];
    o += 4;
    p += 3;
  }
  while (p < end) {
    uint8_t b = *p++;
    if (step == 0) {
      *o++ = alphabet[b >> 2];
      carry = uint8_t((b & 0x03) << 4);
      step = 1;
    } else {
      *o++ = alphabet[carry | b >> 4];
      carry = uint8_t((b & 0x0F) << 2);
      step = 2;
    }
  }
  state->step = step;
  state->carry = carry;
  return o - out;
}

int64_t base64_encode_blockend(char *out, base64_encodestate *state) {
  char *o = out;
  if (state->step == 1) {
    *o++ = alphabet[state->carry];
    *o++ = '=';
    *o++ = '=';
  } else if (state->step == 2) {
    *o++ = alphabet[state->carry];
    *o++ = '=';
  }
  base64_init_encodestate(state);
  return o - out;
}

void base64_init_decodestate(base64_decodestate *state) {
  state->step = 0;
  state->plainchar = 0;
}

int64_t base64_decode_block(const char *text, int64_t length, uint8_t *out,
                            base64_decodestate *state) {
  const auto *p = reinterpret_cast<const uint8_t *>(text);
  const uint8_t *end = length > 0 ? p + length : p;
  uint8_t *o = out;
  int step = state->step;
  uint8_t partial = state->plainchar;
  for (; p < end; p++) {
    int v = decode_mapping[*p];
    if (v < 0) continue;
    switch (step) {
    case 0:
      partial = uint8_t(v << 2);
      break;
    case 1:
      *o++ = uint8_t(partial | v >> 4);
      partial = uint8_t(v << 4);
      break;
    case 2:
      *o++ = uint8_t(partial | v >> 2);
      partial = uint8_t(v << 6);
      break;
    default:
      *o++ = uint8_t(partial | v);
      break;
    }
    step = (step + 1) & 3;
  }
  state->step = step;
  state->plainchar = partial;
  return o - out;
}

std::string base64_encode(std::string_view bytes) {
  std::string text(size_t(base64_encode_block_bound(int64_t(bytes.size()))) + 4, '\0');
  base64_encodestate state;
  base64_init_encodestate(&state);
  int64_t n = base64_encode_block(reinterpret_cast<const uint8_t *>(bytes.data()),
                                  int64_t(bytes.size()), text.data(), &state);
  n += base64_encode_blockend(text.data() + n, &state);
  text.resize(size_t(n));
  return text;
}

std::string base64_decode(std::string_view text) {
  std::string bytes(size_t(base64_decode_block_bound(int64_t(text.size()))), '\0');
  base64_decodestate state;
  base64_init_decodestate(&state);
  int64_t n = base64_decode_block(text.data(), int64_t(text.size()),
                                  reinterpret_cast<uint8_t *>(bytes.data()), &state);
  bytes.resize(size_t(n));
  return bytes;
}
