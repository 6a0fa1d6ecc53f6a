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
#include <functional>

struct buffer;

// Told the bytes of work done as it goes, so the caller can charge them; it may
// end the work by raising an error (a Lua error unwinds it).
using delta_progress = std::function<void(int64_t bytes)>;

// Buffer group of the buffers made here.
constexpr int delta_buffer_group = 112;

// The outer form of the delta that turns src into dst, as a new buffer
// (position 0); null when the form cannot describe it (either length past
// 4 GiB, or an inner stream LZ4 cannot take) or memory runs out. Everything it
// allocates is held for the current process (kernel/held_memory.h), the
// result until it is destroyed, and stays within what that process may still
// hold: null when it would not.
buffer *generate_diff(const uint8_t *src, int64_t src_length, const uint8_t *dst,
                      int64_t dst_length, const delta_progress &progress = {});

// Rebuilds the destination from src and a delta in either form (anything not
// starting "dst" NUL is a bare inner stream), as a new buffer (position 0).
// Null when the delta was made from another source (logged), or is damaged:
// a block that does not decompress, a header or records cut short, a copy
// outside the source, a result not of the stated length or CRC; and when the
// block or the result would take more than the current process may still
// hold (nothing that large is allocated). Held like generate_diff's.
buffer *apply_diff(const uint8_t *src, int64_t src_length, const uint8_t *delta,
                   int64_t delta_length, const delta_progress &progress = {});
