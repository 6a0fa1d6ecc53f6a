// Sound data, parameter evaluation and the node renderer, without a device.
#include "synth_fixture.h"

namespace synth_test {
namespace {

TEST(SynthTables, NoteStepsDurationsPansAndFolds) {
  mudo_init();
  struct { int pitch; uint64_t step; } steps[] = {{0, 24870}, {48, 397935}, {57, 669566}, {60, 795871}};
  for (auto &s : steps) EXPECT_EQ(mudo_get_dx_for_note(s.pitch, 0), s.step) << s.pitch;
  // An octave doubles the step up to truncation; half a semitone lies half-way.
  EXPECT_NEAR(double(mudo_get_dx_for_note(12, 0)), 2.0 * mudo_get_dx_for_note(0, 0), 2);
  EXPECT_EQ(mudo_get_dx_for_note(0, 0x800000),
            (mudo_get_dx_for_note(0, 0) + mudo_get_dx_for_note(1, 0)) / 2);
  // Extreme pitches are defined: far below is 0, far above stays the highest step.
  EXPECT_EQ(mudo_get_dx_for_note(-32768, 0), 0u);
  EXPECT_EQ(mudo_get_dx_for_note(32767, 0), mudo_get_dx_for_note(32767 - 1200, 0));

  struct { int code, ticks; } durations[] = {{0, 0},    {15, 15},   {16, 16},   {31, 46},  {32, 48},
                                             {64, 176}, {127, 680}, {128, 688}, {255, 2720}};
  for (auto &d : durations) EXPECT_EQ(mudo_duration(d.code), d.ticks) << d.code;

  struct { int index, gain; } pans[] = {{0, 4096}, {1, 4095}, {128, 3272}, {149, 2888}, {254, 31}, {255, 0}};
  for (auto &p : pans) EXPECT_EQ(stereo_contrib[p.index], p.gain) << p.index;
  for (int k = 1; k < 256; k++) ASSERT_LE(stereo_contrib[k], stereo_contrib[k - 1]);

  struct { int index, value; } folds[] = {{0, 32767}, {1, 32763}, {8191, 3}, {8192, 0}, {16383, 32764}};
  for (auto &f : folds) EXPECT_EQ(gain_tri[f.index], f.value) << f.index;
}

TEST_F(Synth, EnvelopeValuesByKind) {
  mudo_channel &c = ch();
  c.inst_addr = int32_t(instrument_addr(0));
  c.note_on = 1;
  const int64_t env = instrument_addr(0) + 0x100;
  struct row {
    const char *what;
    std::vector<uint8_t> bytes;
    int note_on, tick, ticks_rel;
    int64_t last;
    int32_t value;
  };
  const row rows[] = {
      {"adsr attack 0 starts full", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 0}, 1, 0, 0, 0, 65280},
      {"adsr attack 4, tick 0", {0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 128, 0}, 1, 0, 0, 0, 13056},
      {"adsr decay half-way", {0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 128, 0}, 1, 5, 0, 0, 32768 + 2 * 32512 / 3},
      {"adsr sustain", {0, 0, 0, 0, 0, 0, 0, 0, 4, 2, 128, 0}, 1, 8, 0, 0, 32768},
      {"adsr release 0 drops at once", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 0}, 0, 9, 0, 32768, 0},
      {"adsr release 4 after 1 tick", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128, 4}, 0, 9, 1, 32768, 32768 * 3 / 5},
      {"lfo at phase 0", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 1, 0, 0, 0, 32640},
      {"lfo a quarter turn on", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 1, 4, 0, 0, 65279},
      {"lfo phase byte (the value of pi is short)", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 128}, 1, 0, 0, 0, 32641},
      {"lfo at the clock's last tick", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 1, INT32_MAX, 0, 0, 61301},
      {"data holds a step", {2, 0, 4, 0, 0, 0, 0, 0, 10, 20, 30}, 1, 7, 0, 0, 20 * 256},
      {"data interpolates", {2, 1, 4, 0, 0, 0, 0, 0, 10, 20, 30}, 1, 6, 0, 0, 20 * 256 + 128 * 10},
      {"data past 16 values", {2, 0, 1, 0, 0, 0, 0, 0, 10, 20, 30}, 1, 16, 0, 0, 0},
      {"data step 0 is the speed", {2, 0, 0, 0, 0, 0, 0, 0, 10, 20}, 1, 16, 0, 0, 20 * 256},
      {"kind 3 is 0", {3, 0, 0, 0, 0, 0, 0, 0, 10, 20}, 1, 1, 0, 0, 0},
  };
  for (const row &r : rows) {
    put_envelope(0, 0, r.bytes);
    c.note_on = r.note_on;
    c.ticks_rel = r.ticks_rel;
    EXPECT_EQ(evaluate_envelope(env, r.tick, c, r.last), r.value) << r.what;
  }
}

TEST_F(Synth, MvalsBlendShiftAndJoinTheirParent) {
  mudo_channel &c = ch();
  start(c, 0, 48);
  put_envelope(0, 0, {2, 0, 1, 0, 0, 0, 0, 0, 255, 0});  // data: 65280 at tick 0
  const int64_t m = instrument_addr(0) + 4;
  const int32_t parent = (100 << 16) + 0x7FF;
  struct row {
    const char *what;
    mval v;
    int32_t value;
  };
  const row rows[] = {
      {"fixed 64 ignores the parent", {0, 64, 0, 0}, 64 << 16},
      {"add parent", {1, 3, 0, 0}, (103 << 16) + 0x7FF},
      {"multiply by 64 is the parent less its low 11 bits", {2, 64, 0, 0}, 100 << 16},
      {"both parent bits: neither", {3, 5, 0, 0}, 5 << 16},
      {"envelope at full gives A", {4, 7, 3, 0}, 7 << 16},
      {"shift left by 2", {0, 5, 0, 0x40}, 20 << 16},
      {"shift right by 6", {0, 128, 0, 0xE0}, 2 << 16},
      {"whole number", {1, 0, 0, 0}, (100 << 16) + 0x7FF},
      {"whole number drops the fraction", {33, 0, 0, 0}, 100 << 16},
  };
  for (const row &r : rows) {
    uint8_t bytes[4] = {r.v.flags, r.v.a, r.v.b, r.v.b3};
    mudo_memcpy(m, bytes, 4);
    EXPECT_EQ(eval_mval(c, 0, 0, m, parent), r.value) << r.what;
  }
}

TEST_F(Synth, EnvelopeClocksLoopAndRandomStartsOfZeroStartAtZero) {
  mudo_channel &c = ch();
  // Data envelope, one tick a value, looping over values 2-5 while held.
  put_node(0, 0, 0x00, 0x01, 0, {{4, 255, 0, 0}});
  put_envelope(0, 0, {2, 0, 1, 2, 6, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7});
  start(c, 0, 48);
  std::vector<int> seen;
  for (int t = 0; t < 12; t++) {
    evaluate_channel_node_parameters(c);
    seen.push_back(c.nodes[0].val[0] >> 16);
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 2, 3, 4, 5, 2, 3}));
  // A random start whose range is 0 starts at tick 0 (no division by 0).
  put_envelope(0, 0, {2, 8 | 16, 1, 2, 6, 0, 0, 0, 0, 1, 2, 3});
  start(c, 0, 48);
  EXPECT_EQ(c.nodes[0].env_tick[0], 0);
  // A start step of 3 begins three values in.
  put_envelope(0, 0, {2, 0, 1, 2, 6, 3, 0, 0, 0, 1, 2, 3});
  start(c, 0, 48);
  EXPECT_EQ(c.nodes[0].env_tick[0], 3);
}

TEST_F(Synth, AnOscillatorAtPitch57Sounds440Hz) {
  put_sine_instrument(0);
  mudo_channel &c = ch();
  start(c, 0, 57);
  std::vector<int16_t> s = run(c, 240);  // two seconds
  EXPECT_NEAR(zero_crossing_hz(s), 440.0, 0.1);
  int peak = 0;
  for (int16_t v : s) peak = std::max(peak, std::abs(int(v)));
  EXPECT_NEAR(peak, 32000, 40);
}

TEST_F(Synth, UnityOscillatorReproducesTheWaveAndPhaseModulationBends) {
  put_sine_instrument(0);
  mudo_channel &c = ch();
  start(c, 0, 57);
  node_state &n = c.nodes[1];
  n.val[0] = 64 << 16;
  n.val[5] = -128 << 16;  // no phase offset
  n.step = 3 << 16;       // three samples a step
  n.phase = 0;
  render_node_tick_osc(n, 300);
  for (int k = 0; k < 300; k++) ASSERT_EQ(n.out[k], mudo_i16(sine_addr + 2 * ((3 * k) % 1024))) << k;

  int16_t mod[300];
  for (int16_t &m : mod) m = 1000;
  n.phase = 0;
  n.mod_input = mod;
  n.mod_input_shift = 0;  // the sample << 6 joins the step
  render_node_tick_osc(n, 300);
  EXPECT_EQ(n.phase, 300 * ((3u << 16) + (1000u << 6)));
}

// The oscillator as the render rule states it, one sample at a time in 64
// bits, reading every sample through the wrapping reader.
std::vector<int16_t> reference_osc(node_state nd, int n, uint64_t *phase_after) {
  const int L = std::clamp(nd.wt_log2, 0, 23);
  const int64_t count = nd.wt_count > 0 ? std::min(nd.wt_count, 256) : 256;
  const int64_t w = ((uint32_t(nd.val[4]) >> 16) & 0xFF) * count >> 8;
  const int64_t wave = nd.wt_addr + w * (int64_t{1} << L) * 2;
  const uint64_t M = (uint64_t{1} << (L + 16)) - 1;
  const uint64_t q = uint64_t((int64_t{nd.val[5] >> 16} + 128) * (int64_t{1} << (L + 8)));
  const int64_t h = int64_t{nd.val[0]} * 256 >> 16;
  const int shift = nd.mod_input_shift < -4 ? 2 : nd.mod_input_shift + 6;
  std::vector<int16_t> out;
  uint64_t phase = nd.phase;
  for (int k = 0; k < n; k++) {
    const uint64_t c = (phase - q) & M;
    const int64_t s0 = mudo_i16(wave + 2 * int64_t(c >> 16));
    const int64_t s1 = mudo_i16(wave + 2 * int64_t(((c + 0x10000) & M) >> 16));
    const int64_t v = h * (s0 + (int64_t(c & 0xFFFF) * (s1 - s0) >> 16)) >> 14;
    out.push_back(int16_t(std::clamp<int64_t>(v, -32767, 32767)));
    phase += nd.step;
    if (nd.mod_input) phase += uint64_t(int64_t{nd.mod_input[k]} * (int64_t{1} << shift));
  }
  *phase_after = phase;
  return out;
}

TEST_F(Synth, OscillatorMatchesItsRuleAtEveryExtreme) {
  // A wave of extremes and noise: neighbours at -32768 and 32767, and every
  // fraction between them.
  uint32_t x = 12345;
  for (int k = 0; k < 4096; k++) {
    x = x * 1103515245u + 12345u;
    int16_t v = k % 7 == 0 ? int16_t(-32768) : k % 7 == 1 ? int16_t(32767) : int16_t(x >> 16);
    mudo_memcpy(0x90000 + 2 * k, &v, 2);
    mudo_memcpy(0xFFF000 + 2 * (k % 2048), &v, 2);  // the top of RAM, read wrapping
  }
  static int16_t mod[367];
  for (int k = 0; k < 367; k++) mod[k] = int16_t(k % 3 == 0 ? -32768 : k % 3 == 1 ? 32767 : k * 91);
  struct {
    const char *what;
    int32_t addr, log2, count, amp, wave_sel, offset;
    uint64_t phase, step;
    bool modulated;
    int shift, n;
  } cases[] = {
      {"unity sine", int32_t(sine_addr), 10, 1, 64 << 16, 0, 0, 0, 669566, false, 0, 367},
      {"loudest amplitude clamps", 0x90000, 10, 4, INT32_MAX, 2 << 16, 5 << 16, 123, 70001, false, 0, 367},
      {"most negative amplitude", 0x90000, 10, 4, INT32_MIN, 3 << 16, -9 << 16, 1 << 20, 91234, false, 0, 367},
      {"negative unity", 0x90000, 11, 1, -64 << 16, 0, 127 << 16, 5, 0x8000, false, 0, 367},
      {"fractional amplitude", 0x90000, 10, 1, 0x2A5F3B, 0, 0, 0, 300001, false, 0, 367},
      {"negative fractional amplitude", 0x90000, 10, 1, -0x31ABCD, 0, 0, 0, 300001, true, -2, 367},
      {"one-sample wave", 0x90000, 0, 1, 64 << 16, 0, 0, 77, 0x12345, false, 0, 367},
      {"two-sample wave, half steps", 0x90000, 1, 1, 100 << 16, 0, 0, 0, 0x8000, false, 0, 367},
      {"huge step", 0x90000, 12, 1, 255 << 16, 0, -128 << 16, 99, uint64_t{1} << 40, false, 0, 367},
      {"modulated, shift -6", 0x90000, 10, 8, 40 << 16, 255 << 16, 0, 0, 669566, true, -6, 367},
      {"modulated, shift 6", 0x90000, 10, 8, 90 << 16, 7 << 16, 0, 0, 12345, true, 6, 367},
      {"wave at the top of RAM", 0xFFF000, 10, 2, 70 << 16, 1 << 16, 3 << 16, 4, 345678, false, 0, 367},
      {"top of RAM, modulated", 0xFFF000, 11, 1, 70 << 16, 0, 0, 4, 345678, true, 2, 367},
      {"short runs", 0x90000, 10, 1, 64 << 16, 0, 0, 9, 500000, true, 0, 1},
      {"seven", 0x90000, 10, 1, 64 << 16, 0, 0, 9, 500000, false, 0, 7},
      {"nine", 0x90000, 10, 1, 64 << 16, 0, 0, 9, 500000, true, 4, 9},
  };
  static int16_t out[367];
  for (auto &c : cases) {
    node_state nd{};
    nd.kind = node_kind_osc;
    nd.wt_addr = c.addr;
    nd.wt_log2 = c.log2;
    nd.wt_count = c.count;
    nd.val[0] = c.amp;
    nd.val[4] = c.wave_sel;
    nd.val[5] = c.offset;
    nd.phase = c.phase;
    nd.step = c.step;
    nd.mod_input = c.modulated ? mod : nullptr;
    nd.mod_input_shift = c.shift;
    nd.out = out;
    uint64_t phase;
    const std::vector<int16_t> want = reference_osc(nd, c.n, &phase);
    render_node_tick_osc(nd, c.n);
    EXPECT_EQ(std::vector<int16_t>(out, out + c.n), want) << c.what;
    EXPECT_EQ(nd.phase, phase) << c.what;
  }
}

// The echo and the filter as their rules state them, in 64 bits.
void reference_echo(node_state &nd, int16_t *ring, int16_t *buf, int n) {
  const int64_t D = nd.val[0], F = nd.val[1] & 0xFFFFFF;
  const int64_t Dp = nd.echo_prev_delay == -1 ? D : nd.echo_prev_delay;
  const int64_t Fp = nd.echo_prev_fb == -1 ? F : nd.echo_prev_fb;
  const int p = nd.echo_pos & 32767;
  for (int k = 0; k < n; k++) ring[(p + k) & 32767] = buf[k];
  int64_t r = (int64_t{p} * 65536 - Dp * 126) & 0x7FFFFFFE, t = (D * 126 - Dp * 126) / n;
  int64_t f = Fp;
  for (int k = 0; k < n; k++) {
    const int i = (p + k) & 32767;
    ring[i] = int16_t(std::clamp<int64_t>(ring[i] + f * ring[r >> 16] / (1 << 24), -32767, 32767));
    buf[k] = ring[i];
    r = (r - t + 0x10000) & 0x7FFFFFFF;
    f += (F - Fp) / n;
  }
  nd.echo_pos = (p + n) & 32767;
  nd.echo_prev_delay = D;
  nd.echo_prev_fb = F;
}

void reference_filter(node_state &nd, int16_t *buf, int n) {
  const int64_t a = int64_t{nd.val[2]} >> 8;
  const int64_t K = (int64_t{1} << 32) / std::max<int64_t>((((a + (a * a >> 16)) << 6) & ~int64_t{0x7F}) + 0x10000, 0x10000);
  const int64_t e = 0x10000 - ((int64_t{nd.val[0]} >> 8) & 0xFFFF), E = e * e >> 16;
  const int64_t c = (int64_t{nd.val[1]} >> 8) & 0xFFFF, R = 0x10000 - (c * c >> 16);
  int64_t f = nd.filt_f, g = nd.filt_g, h = nd.filt_h;
  for (int k = 0; k < n; k++) {
    h += (buf[k] - f - h) * K / 65536;
    const int64_t l = f + E * h / 65536;
    g = (g + l - f) * R / 65536;
    buf[k] = int16_t(std::clamp<int64_t>(g, -32767, 32767));
    f = l;
  }
  const int64_t limit = int64_t{1} << 40;
  nd.filt_f = std::clamp(f, -limit, limit), nd.filt_g = std::clamp(g, -limit, limit), nd.filt_h = std::clamp(h, -limit, limit);
}

TEST(SynthEffects, EchoAndFilterFollowTheirRulesBlockAfterBlock) {
  // Loud noise with full-scale spikes, run through several blocks so that the
  // rings wrap and the state carries over.
  std::vector<int16_t> input(6000);
  uint32_t x = 777;
  for (size_t k = 0; k < input.size(); k++) {
    x = x * 1103515245u + 12345u;
    input[k] = k % 97 == 0 ? int16_t(-32768) : k % 89 == 0 ? int16_t(32767) : int16_t(x >> 16);
  }
  struct {
    const char *what;
    int32_t delay, feedback, delay2, feedback2;  // the second block's values glide from the first's
    int pos;
    std::vector<int> blocks;
  } echoes[] = {
      {"steady, long delay", 40 << 16, 100 << 16, 40 << 16, 100 << 16, 0, {367, 367, 367, 64, 367}},
      {"delay 0 reads what it writes", 0, 200 << 16, 0, 200 << 16, 32760, {367, 9, 367}},
      {"a delay of 1 sample", 520, 250 << 16, 520, 250 << 16, 5, {367, 367, 367}},
      {"a delay of 3 samples", 3 * 520, 250 << 16, 3 * 520, 250 << 16, 32765, {367, 367, 367}},
      {"a delay of 7 samples", 7 * 520, 0xFFFFFF, 7 * 520, 0xFFFFFF, 5, {367, 367}},
      {"8 and 9 samples", 8 * 520, 255 << 16, 9 * 520, 255 << 16, 100, {367, 367, 367}},
      {"full feedback", 2 << 16, 0xFFFFFF, 2 << 16, 0xFFFFFF, 32700, {367, 367, 367}},
      {"reads ahead of the writes", 260 << 16, 77 << 16, 260 << 16, 77 << 16, 12, {367, 367}},
      {"gliding delay and feedback", 10 << 16, 30 << 16, 90 << 16, 250 << 16, 0, {367, 367, 100}},
      {"hostile values", INT32_MIN, -1, INT32_MAX, 0x7F000000, 3, {367, 1, 8, 2000}},
  };
  static int16_t ring[32768], want_ring[32768];
  for (auto &c : echoes) {
    node_state nd{}, want{};
    nd.kind = node_kind_echo;
    nd.out = ring;
    nd.echo_pos = want.echo_pos = c.pos;
    nd.echo_prev_delay = nd.echo_prev_fb = want.echo_prev_delay = want.echo_prev_fb = -1;
    for (int k = 0; k < 32768; k++) ring[k] = want_ring[k] = int16_t(k * 31);
    size_t at = 0;
    for (size_t b = 0; b < c.blocks.size(); b++) {
      nd.val[0] = want.val[0] = b ? c.delay2 : c.delay;
      nd.val[1] = want.val[1] = b ? c.feedback2 : c.feedback;
      const int n = c.blocks[b];
      std::vector<int16_t> got(input.begin() + long(at), input.begin() + long(at) + n), expect = got;
      apply_fx_node(nd, got.data(), n);
      reference_echo(want, want_ring, expect.data(), n);
      ASSERT_EQ(got, expect) << c.what << " block " << b;
      at += size_t(n);
    }
    ASSERT_TRUE(std::equal(ring, ring + 32768, want_ring)) << c.what;
    EXPECT_EQ(nd.echo_pos, want.echo_pos) << c.what;
  }

  struct {
    const char *what;
    int32_t cutoff, resonance, drive;
  } filters[] = {
      {"open", 0, 0, 0},
      {"swept", 200 << 16, 30 << 16, 10 << 16},
      {"resonant", 96 << 16, 250 << 16, 255 << 16},
      {"negative cutoff", -(40 << 16), 10 << 16, 0},
      {"hostile values", INT32_MIN, INT32_MAX, INT32_MIN},
      {"cutoff past the divisor", INT32_MAX, 0, INT32_MAX},
  };
  for (auto &c : filters) {
    node_state nd{}, want{};
    nd.kind = node_kind_filter;
    nd.val[0] = want.val[0] = c.cutoff;
    nd.val[1] = want.val[1] = c.resonance;
    nd.val[2] = want.val[2] = c.drive;
    for (size_t at = 0; at + 367 <= input.size(); at += 367) {
      std::vector<int16_t> got(input.begin() + long(at), input.begin() + long(at) + 367), expect = got;
      apply_fx_node(nd, got.data(), 367);
      reference_filter(want, expect.data(), 367);
      ASSERT_EQ(got, expect) << c.what << " at " << at;
    }
  }
}

TEST(SynthBlocks, BlockOperationsFollowTheirFormulas) {
  const int16_t in[] = {-32768, -32767, -20000, -1, 0, 1, 255, 20000, 32767, -12345, 4321};
  const int n = int(std::size(in));
  auto clamp = [](int64_t v) { return int16_t(std::clamp<int64_t>(v, -32767, 32767)); };
  for (int shift : {-40, -6, 0, 6, 15, 16, 40}) {
    for (int32_t gl : {0, 31, 2888, 4096}) {
      int16_t d[n], l[n], r[n], s[n];
      for (int k = 0; k < n; k++) s[k] = in[(k + 3) % n];
      auto reset = [&] { std::copy(in, in + n, d), std::copy(in, in + n, l), std::copy(in, in + n, r); };
      const int sh = std::clamp(15 - shift, 0, 62);
      reset();
      mul_buffer(d, s, n, shift);
      for (int k = 0; k < n; k++) ASSERT_EQ(d[k], clamp((int64_t{s[k]} * in[k]) >> sh)) << shift << " " << k;
      reset();
      mul_buffer_split(l, r, s, gl, 4096 - gl, n, shift);
      for (int k = 0; k < n; k++) {
        ASSERT_EQ(l[k], clamp((in[k] * (int64_t{gl} * s[k] / 4096)) >> sh)) << shift << " " << gl << " " << k;
        ASSERT_EQ(r[k], clamp((in[k] * (int64_t{4096 - gl} * s[k] / 4096)) >> sh)) << shift << " " << gl;
      }
      reset();
      add_buffer_split(l, r, s, gl, 4096 - gl, n);
      for (int k = 0; k < n; k++) {
        ASSERT_EQ(l[k], clamp(in[k] + int64_t{s[k]} * gl / 4096)) << gl << " " << k;
        ASSERT_EQ(r[k], clamp(in[k] + int64_t{s[k]} * (4096 - gl) / 4096)) << gl << " " << k;
      }
    }
  }
  int16_t d[n], s[n];
  for (int k = 0; k < n; k++) s[k] = in[(k + 5) % n];
  std::copy(in, in + n, d);
  add_buffer(d, s, n);
  for (int k = 0; k < n; k++) ASSERT_EQ(d[k], clamp(int64_t{in[k]} + s[k])) << k;
  std::copy(in, in + n, d);
  xor_buffer(d, s, n);
  for (int k = 0; k < n; k++) ASSERT_EQ(d[k], clamp(int16_t(in[k] ^ s[k]))) << k;
  std::copy(in, in + n, d);
  or_buffer(d, s, n);
  for (int k = 0; k < n; k++) ASSERT_EQ(d[k], clamp(int16_t(in[k] | s[k]))) << k;
  std::copy(in, in + n, d);
  ramp_blend(d, s, n);
  for (int k = 0; k < n; k++) ASSERT_EQ(d[k], int16_t(((64 - k) * s[k] + k * in[k]) >> 6)) << k;
}

TEST_F(Synth, TreesJoinMuteAndSilence) {
  put_sine_instrument(0);
  mudo_channel &c = ch();
  start(c, 0, 57);
  std::vector<int16_t> plain = run(c, 2);

  // A second, identical oscillator added: twice the signal (clamped).
  put_node(0, 2, 0x00, 0x02, 0, {fixed(32), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_node(0, 1, 0x00, 0x02, 0, {fixed(32), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  start(c, 0, 57);
  std::vector<int16_t> halves = run(c, 2);
  for (size_t k = 0; k < plain.size(); k++) ASSERT_NEAR(halves[k], plain[k], 2) << k;

  // A muted child adds nothing; its own child still renders into it.
  put_node(0, 2, 0x00, 0x02, node_flag_mute, {fixed(32), parent_v, parent_v, parent_v});
  put_node(0, 3, 0x02, 0x02, 0, {fixed(64), parent_v, parent_v, parent_v});
  start(c, 0, 57);
  std::vector<int16_t> one = run(c, 1);
  for (int k = 0; k < 367; k++) ASSERT_NEAR(one[k], plain[k] / 2, 1) << k;
  EXPECT_NE(c.nodes[3].out[5], 0);
  EXPECT_EQ(c.nodes[2].out[5], c.nodes[3].out[5]);

  // Instrument 255 renders silence.
  c.instrument = 255;
  std::vector<int16_t> none = run(c, 1);
  for (int16_t v : none) ASSERT_EQ(v, 0);
}

TEST_F(Synth, StereoChildrenSplitByPanAndEffectsGetTwinsWithTheirOwnRings) {
  put_sine_instrument(0);
  mudo_channel &c = ch();
  start(c, 0, 57);
  std::vector<int16_t> mono = run(c, 1);

  mudo_memset(instrument_addr(0) + 0x1DF, instrument_flag_stereo, 1);
  start(c, 0, 57);
  std::vector<int16_t> right;
  std::vector<int16_t> left = run(c, 1, &right);
  for (int k = 0; k < 367; k++) {
    ASSERT_EQ(left[k], mono[k] * 3272 / 4096) << k;
    ASSERT_EQ(right[k], left[k]) << k;
  }

  // An echo under node 0 gets a twin in the first silent node after it.
  put_node(0, 2, 0x00, 0x09, 0, {fixed(1), fixed(128)});
  start(c, 0, 57);
  run(c, 4, &right);
  ASSERT_EQ(c.nodes[2].twin, 3);
  EXPECT_EQ(c.nodes[3].parent, STEREO_NODE_INDEX);
  EXPECT_NE(c.nodes[3].out, c.nodes[2].out);
}

TEST_F(Synth, FilterEchoAndGainOnAKnownInput) {
  node_state n{};
  int16_t ring[mudo_node_buffer_len] = {};
  int16_t buf[367];
  auto impulse = [&] {
    for (int16_t &v : buf) v = 0;
    buf[0] = 10000;
  };
  // Echo: delay A = 1 is 126 samples, feedback A = 128 is one half.
  n.kind = node_kind_echo;
  n.out = ring;
  n.echo_prev_delay = n.echo_prev_fb = -1;
  n.val[0] = 1 << 16;
  n.val[1] = 128 << 16;
  impulse();
  apply_fx_node(n, buf, 367);
  for (int k = 0; k < 367; k++) {
    int want = k == 0 ? 10000 : k == 126 ? 5000 : k == 252 ? 2500 : 0;
    ASSERT_EQ(buf[k], want) << k;
  }
  EXPECT_EQ(n.echo_pos, 367);
  // Delay 0 and feedback 0 leave the signal unchanged.
  n.val[0] = n.val[1] = 0;
  n.echo_prev_delay = n.echo_prev_fb = -1;
  impulse();
  apply_fx_node(n, buf, 367);
  EXPECT_EQ(buf[0], 10000);

  // Filter: a step of 1000 through cutoff A = 128 rises 250, 437 ... to 1000.
  n = node_state{};
  n.kind = node_kind_filter;
  n.val[0] = 128 << 16;
  for (int16_t &v : buf) v = 1000;
  apply_fx_node(n, buf, 367);
  EXPECT_EQ(buf[0], 250);
  EXPECT_EQ(buf[1], 437);
  EXPECT_NEAR(buf[366], 1000, 4);  // truncation settles a few units short
  // A negative cutoff value stays finite (its divisor never reaches 0).
  n.val[2] = -0x7FFFFFFF;
  apply_fx_node(n, buf, 367);

  // Gain: level 64 and no drive pass the signal; drive 255 multiplies by 8 to
  // the knee. Shape 255 folds: with a knee value past 255 (X below 0) the
  // fold's level turns negative and the signal comes out inverted.
  n = node_state{};
  n.kind = node_kind_gain;
  struct { int32_t drive, shape, knee, level; int16_t in, out; } gains[] = {
      {0, 0, 0, 64 << 16, 1000, 1000},
      {0, 0, 0, 64 << 16, -1234, -1234},
      {255 << 16, 0, 0, 64 << 16, 1000, 8000},
      {255 << 16, 0, 0, 64 << 16, 10000, 32767},
      {255 << 16, 0, 0, 64 << 16, -10000, -32767},
      {-0x7FFFFFFF, 0, 0, 64 << 16, 1000, 0},
      {0, 255 << 16, 510 << 16, 64 << 16, 1000, -32767},
      {0, 255 << 16, 510 << 16, 1 << 16, 1000, -512},
      {0, 255 << 16, 510 << 16, 1 << 16, -1000, 511},
  };
  for (auto &g : gains) {
    n.val[0] = g.drive;
    n.val[1] = g.shape;
    n.val[2] = g.knee;
    n.val[3] = g.level;
    buf[0] = g.in;
    apply_fx_node(n, buf, 1);
    EXPECT_EQ(buf[0], g.out) << g.drive << " " << g.shape << " " << g.knee << " " << g.in;
  }
}

// Vibrato and tremolo follow a phase that runs on from tick to tick: with the
// synthesiser's value of pi a whole turn is not quite a period, so the phase
// is never reduced to a turn (it wraps only in 32 bits).
TEST_F(Synth, VibratoPhaseRunsOnPastWholeTurns) {
  put_sine_instrument(0);
  mudo_channel &c = ch();
  struct row {
    const char *what;
    int32_t effect, phase;
    int ticks;
    int32_t phase_after;
  };
  const row rows[] = {
      {"v over five ticks", 'v', 0, 5, 5 * 16384},
      {"t past one turn", 't', 65536 - 16384, 2, 65536 + 16384},
      {"w wraps in 32 bits", 'w', INT32_MAX - 100, 1, INT32_MIN + 16283},
  };
  for (const row &r : rows) {
    start(c, 0, 48);
    c.cur_pitch = (48 << 16) + 0x1234;
    c.effect = r.effect;
    c.param = 0xF6;  // speed 15: 64 << 8 a tick; depth 6
    c.vib_phase = r.phase;
    for (int t = 0; t < r.ticks - 1; t++) evaluate_channel_node_parameters(c);
    const int32_t at = c.vib_phase;
    evaluate_channel_node_parameters(c);
    const int64_t sx = int64_t(std::sin(double(at) * 2 * 3.141562 / 65536) * 65536);
    const int32_t fine = (c.cur_pitch & 0xFFFF) * 256, vol = c.cur_vol;
    EXPECT_EQ(c.nodes[0].val[3], r.effect == 't' ? fine : fine + int32_t(sx) * 40 * 2) << r.what;
    EXPECT_EQ(c.nodes[0].val[0], r.effect == 'v' ? vol : vol + int32_t((sx >> 8) * (vol >> 8) * 64 / 256))
        << r.what;
    EXPECT_EQ(c.vib_phase, r.phase_after) << r.what;
  }
}

TEST_F(Synth, HostileNumbersStayDefined) {
  // Wave exponent 255, a wavetable at the top of RAM, pitch ratios that
  // multiply past 32 bits, huge parameters: all rendered without a fault.
  for (int i = 0; i < 8; i++)
    put_node(0, i, uint8_t(i ? (i - 1) | 0x10 : 0), 0x02, 0,
             {{0, 255, 0, 0xC0}, {1, 0, 0, 0}, {2, 255, 0, 0xC0}, {0, 255, 255, 0xC0}, fixed(255), fixed(127)});
  put_wavetable(0, 0, 0xFFFF00, 255, 0);
  mudo_channel &c = ch();
  start(c, 0, 57);
  c.cur_pitch = INT32_MAX;
  c.cur_vol = INT32_MAX;
  run(c, 3);
  for (int i = 0; i < 8; i++) {
    EXPECT_GT(c.nodes[i].ratio_num, 0);
    EXPECT_GT(c.nodes[i].ratio_den, 0);
  }
  EXPECT_EQ(c.nodes[0].wt_log2, 23);
}

}  // namespace
}  // namespace synth_test
