// The node renderer: one 8-node instrument with filter and echo, rendered a
// tick at a time, on one channel and on all 16, beside a bare wavetable
// lookup over the same number of samples; and the whole mixer with 16 such
// channels, one 512-frame device callback at a time. Each with steady
// parameters and with moving ones (an LFO on every amplitude and the pan).
// realtime_x = samples rendered per second / 44100 (target: the mixer at 50x
// or more); callback_s = the cost of one 512-frame callback, whose period is
// 11.6 ms.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mudo/mixer.h"
#include "mudo/mudo.h"
#include "mudo/params.h"
#include "mudo/sequencer.h"
#include "mudo/render.h"

namespace {

constexpr int64_t wave_addr = 0x80000;
constexpr int32_t base = 0x30000;

void put_node(int i, uint8_t parent_op, uint8_t kind, std::vector<uint8_t> mvals) {
  uint8_t rec[32] = {parent_op, kind, 0, 0};
  memcpy(rec + 4, mvals.data(), std::min<size_t>(mvals.size(), 28));
  mudo_memcpy(base + 0x10000 + 32 * i, rec, 32);
}

// Root; a carrier with an FM modulator; a ring-modulated pair; a third
// oscillator; a filter and an echo on the root. Moving: every oscillator's
// amplitude and the root's pan follow an LFO, so each tick's parameters
// differ from the last, every tick boundary is ramped and the pan glides.
void put_instrument(bool moving) {
  for (int k = 0; k < 1024; k++) {
    int16_t s = int16_t(std::lround(30000 * std::sin(2 * M_PI * k / 1024)));
    mudo_memcpy(wave_addr + 2 * k, &s, 2);
  }
  const std::vector<uint8_t> follow = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
  auto osc = [&](uint8_t amp, uint8_t ratio) {
    std::vector<uint8_t> m = {0, amp, 0, 0, 1, 0, 0, 0, 2, ratio, 0, 0, 1, 0, 0, 0};
    if (moving) m[0] = 4, m[2] = uint8_t(amp / 2);  // blend amp..amp/2 by envelope 0
    return m;
  };
  std::vector<uint8_t> root = follow;
  if (moving) root[4] = 5, root[5] = 40, root[6] = uint8_t(-40);  // pan: parent's + LFO
  put_node(0, 0x00, 0x01, root);
  put_node(1, 0x00, 0x02, osc(20, 0x00));
  put_node(2, 0x11, 0x02, osc(16, 0x01));
  put_node(3, 0x00, 0x02, osc(20, 0x10));
  put_node(4, 0x23, 0x02, osc(64, 0x02));
  put_node(5, 0x00, 0x02, osc(10, 0x21));
  put_node(6, 0x00, 0x08, {0, 96, 0, 0, 0, 40, 0, 0, 0, 10, 0, 0});
  put_node(7, 0x00, 0x09, {0, 40, 0, 0, 0, 100, 0, 0});
  uint8_t desc[4] = {0x00, 0x08, 10, 1};
  mudo_memcpy(base + 0x10000 + 0x1E0, desc, 4);
  const uint8_t lfo[24] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40};
  mudo_memcpy(base + 0x10000 + 0x100, lfo, 24);
}

void start_channel(mudo_channel &ch, int pitch) {
  ch.base = base;
  ch.instrument = 0;
  ch.pitch = pitch;
  ch.cur_pitch = pitch << 16;
  ch.volume = 64;
  ch.cur_vol = 64 << 16;
  ch.note_on = 1;
  grab_node_tree(ch);
  prepare_nodes_for_new_instrument(ch);
  start_channel_note(ch);
}

void tick(mudo_channel &ch) {
  grab_node_tree(ch);
  evaluate_channel_node_parameters(ch);
  render_channel_tick(ch, mudo_tick_samples);
}

void setup(int channels, bool moving) {
  mudo_init();
  mudo_clear();
  put_instrument(moving);
  for (int c = 0; c < channels; c++) start_channel(mixer->channels[c], 40 + c);
}

void bm_render_instrument(benchmark::State &state) {
  const int channels = int(state.range(0));
  setup(channels, state.range(1));
  for (auto _ : state) {
    for (int c = 0; c < channels; c++) tick(mixer->channels[c]);
    benchmark::DoNotOptimize(mixer->channels[0].nodes[0].out[100]);
  }
  // Real time: one tick of every channel is 367 samples of output.
  state.counters["realtime_x"] = benchmark::Counter(
      double(state.iterations()) * mudo_tick_samples / mudo_sample_rate, benchmark::Counter::kIsRate);
}
BENCHMARK(bm_render_instrument)->ArgNames({"channels", "moving"})->Args({1, 0})->Args({16, 0})->Args({16, 1});

// The floor: one interpolated wavetable read per sample, nothing else.
void bm_bare_wavetable_lookup(benchmark::State &state) {
  setup(0, false);
  const auto *wave = reinterpret_cast<const int16_t *>(mixer->ram + wave_addr);
  int16_t out[mudo_tick_samples];
  uint64_t phase = 0;
  const uint64_t step = mudo_get_dx_for_note(57, 0), mask = (uint64_t{1} << 26) - 1;
  for (auto _ : state) {
    for (int k = 0; k < mudo_tick_samples; k++) {
      uint64_t c = phase & mask;
      int32_t s0 = wave[c >> 16], s1 = wave[((c + 0x10000) & mask) >> 16];
      out[k] = int16_t(s0 + ((int64_t(c & 0xFFFF) * (s1 - s0)) >> 16));
      phase += step;
    }
    benchmark::DoNotOptimize(out);
  }
  state.counters["realtime_x"] = benchmark::Counter(
      double(state.iterations()) * mudo_tick_samples / mudo_sample_rate, benchmark::Counter::kIsRate);
}
BENCHMARK(bm_bare_wavetable_lookup);

void bm_mix_16_channels(benchmark::State &state) {
  setup(0, state.range(0));
  const uint8_t regs[6] = {64, 64, 64, 0, 3, 3};
  mudo_memcpy(0x5538, regs, 6);
  mudo_set_volume(256);
  for (int c = 0; c < MUDO_CHANNELS; c++) {
    mudo_set_note(c, 40 + c, 0, 64, 0, 0, true, (c * 16) - 120);
    mudo_set_channel_mix_vol(c, 64);
    mudo_set_channel_base_addr(c, base);
  }
  int16_t stream[2 * 512];
  for (auto _ : state) {
    mudo_mix(stream, 512);
    benchmark::DoNotOptimize(stream);
  }
  state.counters["realtime_x"] = benchmark::Counter(double(state.iterations()) * 512 / mudo_sample_rate,
                                                    benchmark::Counter::kIsRate);
  state.counters["callback_s"] = benchmark::Counter(double(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["period_ms"] = 512.0 * 1000 / mudo_sample_rate;
}
BENCHMARK(bm_mix_16_channels)->ArgName("moving")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
