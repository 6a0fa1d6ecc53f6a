// delta: the binary delta format that rebuilds a new byte string from an old
// one (create_delta / apply_delta, and the file history's small versions).
//
// Inner stream: u32 destination length, u32 CRC-32 of the source, u32 CRC-32
// of the destination, then records: a literal (length, bytes) and, unless the
// stream ends there, a copy (length, u32 source offset). Lengths are one byte
// 0..254, or 255 and a u32; every integer is little-endian. Outer form: "dst",
// NUL, u32 inner length, the inner stream as one LZ4 block.
#pragma once

#include <cstdint>

struct buffer;

// Buffer group of the buffers made here.
constexpr int delta_buffer_group = 112;

// The outer form of the delta that turns src into dst, as a new buffer
// (position 0); null when the form cannot describe it (either length past
// 4 GiB, or an inner stream LZ4 cannot take) or memory runs out.
buffer *generate_diff(const uint8_t *src, int64_t src_length, const uint8_t *dst,
                      int64_t dst_length);

// Rebuilds the destination from src and a delta in either form (anything not
// starting "dst" NUL is a bare inner stream), as a new buffer (position 0).
// Null when the delta was made from another source (logged), or is damaged:
// a block that does not decompress, a header or records cut short, a copy
// outside the source, a result not of the stated length or CRC.
buffer *apply_diff(const uint8_t *src, int64_t src_length, const uint8_t *delta,
                   int64_t delta_length);
