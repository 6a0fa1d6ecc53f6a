// Parameter evaluation: mvals, envelopes and note steps, once per tick
// before a channel renders.
#pragma once

#include <cstdint>

#include "mudo/mudo.h"

// Phase step (16.16 samples per output sample) of a pitch: `semitone` whole
// semitones and a 24-bit fraction, a linear blend between two semitones'
// steps. Defined for every pitch: octaves past what 64 bits hold give the
// highest step, octaves far below give 0.
uint64_t mudo_get_dx_for_note(int64_t semitone, int32_t fraction24);

// The value of one envelope at tick t for the channel (0..65280); `last` is the
// value the mval stored while the note was on (for the release).
int32_t evaluate_envelope(int64_t env_addr, int32_t t, const mudo_channel &ch, int64_t last);
int32_t evaluate_envelope_adsr(int64_t env_addr, int32_t t, const mudo_channel &ch, int64_t last);
int32_t evaluate_envelope_lfo(int64_t env_addr, int32_t t, const mudo_channel &ch);
int32_t evaluate_envelope_data(int64_t env_addr, int32_t t, const mudo_channel &ch);

// One mval (4 bytes at mval_addr) of node `node` of the channel, index j, with
// parent value P. Stores the modulation shift and the last envelope value on
// the node state as it goes.
int32_t eval_mval(mudo_channel &ch, int node, int j, int64_t mval_addr, int32_t P);

// The start tick of mval j's envelope at a note start (its counter restarts).
int32_t retrigger_mval_env_tick(const mudo_channel &ch, int node, int j);

// Root values, the per-tick effects of the track (vibrato, tremolo, arpeggio,
// fades), then every node's mvals, envelope clocks and step.
void evaluate_channel_node_parameters(mudo_channel &ch);

// A note starts: node phases reset (unless a node keeps its phase), envelope
// clocks restart (unless an mval keeps its envelope), new random values.
void start_channel_note(mudo_channel &ch);

// Address of envelope `index` (0-15) of the channel's instrument.
inline int64_t channel_envelope_addr(const mudo_channel &ch, int index) {
  return mudo_wrap(int64_t{ch.inst_addr} + mudo_envelope_offset + mudo_envelope_size * index);
}
