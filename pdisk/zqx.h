// zqx: decompressor of the legacy compressed program form (NUL, "zqx", u16
// big-endian uncompressed length, u16 big-endian total length, bit stream).
#pragma once

#include <cstdint>
#include <string>

// What the rom-form reader takes from one zqx program.
constexpr int64_t zqx_max_output = 65536;

// Decompresses input_length bytes of a zqx form (header included; the magic
// is the caller's to check) into output, which holds capacity + 1 bytes:
// at most capacity bytes are written, then a NUL. Returns the bytes produced.
// Malformed or truncated input ends decompression early; what was produced
// stays.
int64_t zqx_decompress(const uint8_t *input, int64_t input_length, uint8_t *output,
                       int64_t capacity);

// The text of a zqx form, at most zqx_max_output bytes.
std::string zqx_decompress_text(const uint8_t *input, int64_t input_length);
