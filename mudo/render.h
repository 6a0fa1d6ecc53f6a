// Node renderer: an instrument's tree of up to 8 nodes rendered block by block
// into per-node buffers of i16 samples.
#pragma once

#include <cstdint>

#include "mudo/mudo.h"

// Loads the channel's instrument into node states 0-7 (record fields, depth,
// wavetables; phases, clocks and effect state are kept), clears node 8 and,
// for a stereo instrument, makes the effects' right-side twins.
void grab_node_tree(mudo_channel &ch);
// Forgets echo history: previous delay and feedback, and every echo ring.
void prepare_nodes_for_new_instrument(mudo_channel &ch);
// Renders n samples (at most the node buffer's length) into the node buffers:
// node 0 (mono or left) and node 8 (right of a stereo instrument).
void render_channel_tick(mudo_channel &ch, int n);

// One oscillator node's own signal for n samples into its buffer.
void render_node_tick_osc(node_state &node, int n);
// An effect node (filter, echo, gain) applied in place to buf.
void apply_fx_node(node_state &node, int16_t *buf, int n);

// Copies from the ring `from` to the ring `to` the cells that the next n
// samples of the echo node `nd` read before writing them: the first n (where
// its children join) and the delayed reads. The rest of `to` is never read.
void copy_echo_reads(const node_state &nd, const int16_t *from, int16_t *to, int n);

// The first m (<= 64) samples of buf cross-fade from old into buf:
// ((64 - k) x old + k x buf) >> 6.
void ramp_blend(int16_t *buf, const int16_t *old, int m);

// Block operations; every result is clamped to -32767..32767. The buffers
// must not overlap; the split gains are pan gains (0..4096).
void add_buffer(int16_t *d, const int16_t *s, int n);
void mul_buffer(int16_t *d, const int16_t *s, int n, int shift);
void xor_buffer(int16_t *d, const int16_t *s, int n);
void or_buffer(int16_t *d, const int16_t *s, int n);
void add_buffer_split(int16_t *left, int16_t *right, const int16_t *s, int32_t gl, int32_t gr,
                      int n);
void mul_buffer_split(int16_t *left, int16_t *right, const int16_t *s, int32_t gl, int32_t gr,
                      int n, int shift);
