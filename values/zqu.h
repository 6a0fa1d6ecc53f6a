// zqu: the compact binary form of one userdata inside a tuk text: a header and
// the element bytes, raw or run-length coded through a move-to-front table.
#pragma once

#include <cstdint>
#include <span>

#include "kernel/buffer.h"
#include "values/userdata.h"

struct lua_State;

// Mode byte: the element form, and whether the sizes are u32 (else one byte each).
constexpr uint8_t zqu_mode_raw = 0x10;
constexpr uint8_t zqu_mode_coded = 0x20;
constexpr uint8_t zqu_mode_wide_sizes = 0x08;
// Coding widths a reader accepts; the tuk writer always codes with 4.
constexpr int zqu_width_min = 1;
constexpr int zqu_width_max = 6;
constexpr int zqu_tuk_width = 4;

// What an item's header says. Sizes are as stated (64 bits, not yet checked).
struct zqu_header {
  uint8_t utype;  // the code as written (bits 0-5)
  int dims;
  int64_t width, height, depth;
  uint8_t mode;       // 0 for the legacy layout
  size_t header_bytes;  // from "zqu" NUL to the first element byte
};

// Reads the header of the item at the start of `item` (which begins with "zqu"
// NUL). False when the item is shorter than its header.
bool read_zqu_header(std::span<const uint8_t> item, zqu_header *h);

// Appends the coded form of n bytes with coding width W (1..6): W, then the
// tokens. Returns the bytes written.
int64_t zqu_encode_coded(const uint8_t *data, int64_t n, int W, buffer *out);
// Decodes a coded form (starting with its W byte) into exactly n bytes. Returns
// the bytes of `in` it used, or -1: W outside 1..6, or the input ends first.
int64_t zqu_decode_coded(std::span<const uint8_t> in, uint8_t *out, int64_t n);

// Appends the item for the userdata at the buffer's position: the raw form
// when W is 0, else the coded form with width W. Covers the block's first
// width x height x depth bytes. Returns the bytes written. No charge.
int64_t write_binary_zqu(const userdata *ud, buffer *buf, int W);

// Makes the userdata an item at `item` describes (through create_userdata),
// fills it and pushes it; returns the position after the item. Null, with
// nothing pushed, when the shape is refused or the item is malformed or runs
// past `end`. No charge.
const uint8_t *get_binary_zqu(lua_State *L, const uint8_t *item, const uint8_t *end);
