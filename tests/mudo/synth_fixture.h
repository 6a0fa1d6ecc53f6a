// Shared harness of the synthesiser tests: a cleared mixer, instruments and
// waves written straight into its RAM mirror, and a channel driven tick by tick.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "mudo/mudo.h"
#include "mudo/params.h"
#include "mudo/render.h"

namespace synth_test {

constexpr int64_t sine_addr = 0x80000;  // a 1,024-sample sine, amplitude 32000
constexpr int64_t base = 0x30000;       // instrument 0 at 0x40000

struct mval {
  uint8_t flags, a, b, b3;
};
constexpr mval parent_v{1, 0, 0, 0};  // the parent's value as it is
inline mval fixed(int a) { return {0, uint8_t(a), 0, 0}; }

inline int64_t instrument_addr(int inst) { return base + 0x10000 + 512 * inst; }

inline void put_node(int inst, int i, uint8_t parent_op, uint8_t kind_wt, uint8_t flags,
                     std::vector<mval> mvals) {
  uint8_t rec[32] = {parent_op, kind_wt, flags, 0};
  for (size_t j = 0; j < mvals.size() && j < 7; j++) {
    rec[4 + 4 * j] = mvals[j].flags;
    rec[5 + 4 * j] = mvals[j].a;
    rec[6 + 4 * j] = mvals[j].b;
    rec[7 + 4 * j] = mvals[j].b3;
  }
  mudo_memcpy(instrument_addr(inst) + 32 * i, rec, 32);
}

inline void put_wavetable(int inst, int index, int64_t addr, uint8_t log2, uint8_t count) {
  uint8_t d[4] = {uint8_t(addr >> 8), uint8_t(addr >> 16), log2, count};
  mudo_memcpy(instrument_addr(inst) + 0x1E0 + 4 * index, d, 4);
}

inline void put_envelope(int inst, int e, std::vector<uint8_t> bytes) {
  bytes.resize(24);
  mudo_memcpy(instrument_addr(inst) + 0x100 + 24 * e, bytes.data(), 24);
}

inline void put_sine() {
  for (int k = 0; k < 1024; k++) {
    int16_t s = int16_t(std::lround(32000 * std::sin(2 * M_PI * k / 1024)));
    mudo_memcpy(sine_addr + 2 * k, &s, 2);
  }
}

// Node 0 a root passing the channel's values on; node 1 a unity sine oscillator.
inline void put_sine_instrument(int inst) {
  put_node(inst, 0, 0x00, 0x01, 0, {parent_v, parent_v, parent_v, parent_v});
  put_node(inst, 1, 0x00, 0x02, 0, {fixed(64), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_wavetable(inst, 0, sine_addr, 10, 1);
}

class Synth : public testing::Test {
 protected:
  void SetUp() override {
    mudo_init();
    mudo_clear();
    put_sine();
  }
  mudo_channel &ch(int c = 0) { return mixer->channels[c]; }

  // Starts a note the way the sequencer will: instrument loaded, echo reset,
  // phases, clocks and random values restarted.
  void start(mudo_channel &c, int inst, int pitch, int volume = 64) {
    c.base = int32_t(base);
    c.instrument = inst;
    c.pitch = pitch;
    c.cur_pitch = pitch << 16;
    c.volume = volume;
    c.cur_vol = volume << 16;
    c.note_on = 1;
    grab_node_tree(c);
    prepare_nodes_for_new_instrument(c);
    start_channel_note(c);
  }
  // Runs ticks; returns node 0's samples (and node 8's in `right`).
  std::vector<int16_t> run(mudo_channel &c, int ticks, std::vector<int16_t> *right = nullptr) {
    std::vector<int16_t> out;
    for (int t = 0; t < ticks; t++) {
      grab_node_tree(c);
      evaluate_channel_node_parameters(c);
      render_channel_tick(c, mudo_tick_samples);
      out.insert(out.end(), c.nodes[0].out, c.nodes[0].out + mudo_tick_samples);
      if (right) right->insert(right->end(), c.nodes[8].out, c.nodes[8].out + mudo_tick_samples);
    }
    return out;
  }
};

// Frequency from upward zero crossings, interpolated between samples.
inline double zero_crossing_hz(const std::vector<int16_t> &s, int rate = 44100) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t k = 1; k < s.size(); k++) {
    if (s[k - 1] < 0 && s[k] >= 0) {
      double at = double(k - 1) + double(-s[k - 1]) / double(s[k] - s[k - 1]);
      if (first < 0) first = at;
      last = at;
      crossings++;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * double(rate) / (last - first);
}

}  // namespace synth_test
