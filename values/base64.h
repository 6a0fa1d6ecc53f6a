// base64: the URL-safe variant ('_' for 62, '-' for 63, "=" padding, no line
// breaks) used by tuk wrappers and text cartridges. Streaming, so a body split
// over many lines decodes with one state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct base64_encodestate {
  int step;      // bytes of the current 3-byte group seen: 0, 1 or 2
  uint8_t carry; // bits of the group not yet written, as a 6-bit value
};

struct base64_decodestate {
  int step;          // characters of the current 4-character group seen: 0..3
  uint8_t plainchar; // the byte being assembled
};

void base64_init_encodestate(base64_encodestate *state);
// Writes the characters decided by the bytes: at most
// base64_encode_block_bound(length) of them. An incomplete last group keeps
// its remaining bits in the state.
int64_t base64_encode_block(const uint8_t *data, int64_t length, char *out,
                            base64_encodestate *state);
// Finishes a group left open: at most 4 characters ("==" or "=" padding). No
// NUL is written.
int64_t base64_encode_blockend(char *out, base64_encodestate *state);
// The alphabet character of v; '=' for v > 63.
char base64_encode_value(int v);

void base64_init_decodestate(base64_decodestate *state);
// Writes the bytes of completed groups, at most base64_decode_block_bound
// (length) of them; characters outside the alphabet ('=', '+', '/', blanks,
// line breaks) are skipped. A group still open at the end stays in the state.
int64_t base64_decode_block(const char *text, int64_t length, uint8_t *out,
                            base64_decodestate *state);
// The value of an alphabet character, else -1.
int base64_decode_value(int c);

// Output room needed, whatever the state; 0 for a length <= 0.
int64_t base64_encode_block_bound(int64_t length);
int64_t base64_decode_block_bound(int64_t length);

// Whole-input forms: the padded text of the bytes, and the bytes of a text.
std::string base64_encode(std::string_view bytes);
std::string base64_decode(std::string_view text);
