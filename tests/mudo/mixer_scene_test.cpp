// A rich scene pinned sample for sample: 16 channels of instruments that use
// every node kind, op, envelope kind and track effect, music with fades, and
// notes changed while it plays. The CRCs were taken from the renderer and the
// mixer as first built (the scene's again when the vibrato phase stopped being
// reduced to a whole turn); a faster renderer must reproduce them exactly.
#include <algorithm>
#include <functional>

#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "mudo/sequencer.h"
#include "synth_fixture.h"
#include "values/crc32.h"

namespace synth_test {
namespace {

constexpr mval parent_x{2, 64, 0, 0};  // the parent's value times one
mval env(int e, int a, int b, uint8_t flags = 0) {
  return {uint8_t(mval_envelope | flags), uint8_t(a), uint8_t(b), uint8_t(e)};
}
mval shifted(int a, uint8_t b3, uint8_t flags = 0) { return {flags, uint8_t(a), 0, b3}; }

// Instrument 0: an FM pair, a ring-modulated pair and a wave that wraps past
// the top of RAM, through a swept filter and an echo whose delay moves.
void put_fm_echo_instrument() {
  put_node(0, 0, 0x00, 0x01, 0, {env(0, 64, 0, mval_mul_parent), parent_v, parent_v, parent_v, parent_v, parent_v});
  put_node(0, 1, 0x00, 0x12, 0, {fixed(20), parent_v, parent_v, parent_v, {mval_random, 255, 0, 0}, env(1, 40, 216)});
  put_node(0, 2, 0x11, 0x02, 0, {shifted(16, 0x40), parent_v, {2, 0x01, 0, 0}, parent_v, fixed(0), fixed(0)});
  put_node(0, 3, 0x00, 0x02, 0, {fixed(20), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_node(0, 4, 0x23, 0x02, 0, {shifted(64, 0x60), parent_v, {2, 0x12, 0, 0x40}, parent_v, fixed(0), fixed(0)});
  put_node(0, 5, 0x00, 0x22, 0, {fixed(10), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_node(0, 6, 0x00, 0x08, 0, {env(1, 200, 30), fixed(40), fixed(10)});
  put_node(0, 7, 0x00, 0x09, 0, {env(2, 60, 5), env(0, 140, 60)});
  put_envelope(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 4, 8, 160, 12});
  put_envelope(0, 1, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 64});
  put_envelope(0, 2, {2, 1 | 16, 3, 2, 6, 1, 0, 0, 0, 40, 255, 90, 10, 200, 30, 70});
  put_wavetable(0, 0, sine_addr, 10, 1);
  put_wavetable(0, 1, 0xF80000, 10, 0);
  put_wavetable(0, 2, 0xFFFF00, 10, 1);
}

// Instrument 1, stereo: children of node 0 panned by an LFO, a multiplied
// pair, noise, and a filter and an echo that get right-side twins.
void put_stereo_instrument() {
  put_node(1, 0, 0x00, 0x01, 0, {parent_v, parent_v, parent_v, parent_v, parent_v, parent_v});
  put_node(1, 1, 0x00, 0x02, node_flag_keep_phase, {fixed(24), env(0, 100, 156), parent_v, parent_v, fixed(0), fixed(0)});
  put_node(1, 2, 0x20, 0x02, 0, {shifted(64, 0x40), fixed(30), {2, 0x21, 0, 0}, parent_v, fixed(0), fixed(0)});
  put_node(1, 3, 0x00, 0x12, 0, {env(1, 8, 0), fixed(196), parent_v, parent_v, fixed(0), fixed(0)});
  put_node(1, 4, 0x00, 0x08, 0, {fixed(90), env(0, 80, 0), parent_v});
  put_node(1, 5, 0x00, 0x00, 0, {});
  put_node(1, 6, 0x00, 0x09, 0, {fixed(3), fixed(150)});
  put_node(1, 7, 0x00, 0x00, 0, {});
  put_envelope(1, 0, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 70, 0, 0});
  put_envelope(1, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 100, 30});
  mudo_memset(instrument_addr(1) + 0x1DF, instrument_flag_stereo | instrument_flag_retrigger, 1);
  put_wavetable(1, 0, 0xF80000, 10, 0);
  put_wavetable(1, 1, 0xF78000, 13, 1);
}

// Instrument 2: xor and or joins, a muted oscillator, a fold through the gain
// table, and a sub-root at node 6 whose child accumulates into it.
void put_bitwise_fold_instrument() {
  put_node(2, 0, 0x00, 0x01, 0, {parent_v, parent_v, parent_v, parent_v, parent_v, parent_v});
  put_node(2, 1, 0x00, 0x02, 0, {fixed(30), parent_v, parent_v, parent_v, fixed(140), fixed(0)});
  put_node(2, 2, 0x31, 0x02, 0, {fixed(12), parent_v, {2, 0x02, 0, 0}, parent_v, fixed(30), fixed(20)});
  put_node(2, 3, 0x41, 0x02, 0, {fixed(8), parent_v, {2, 0x30, 0, 0x80}, parent_v, fixed(200), fixed(0)});
  put_node(2, 4, 0x01, 0x02, node_flag_mute, {fixed(40), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_node(2, 5, 0x00, 0x0A, 0, {env(0, 200, 40), fixed(255), fixed(60), fixed(64)});
  put_node(2, 6, 0x00, 0x01, 0, {parent_v, parent_v, parent_v, parent_v});
  put_node(2, 7, 0x06, 0x02, 0, {fixed(20), parent_v, parent_v, parent_v, fixed(0), fixed(0)});
  put_envelope(2, 0, {2, 0, 2, 0, 4, 0, 0, 0, 10, 200, 60, 255, 0, 128});
  put_wavetable(2, 0, 0xF80000, 10, 0);
}

// Instrument 3: a soft-knee gain, an echo shorter than the ramp, whole-number
// and shifted values, and waves chosen by a release envelope.
void put_knee_instrument() {
  put_node(3, 0, 0x00, 0x01, 0, {parent_x, parent_v, parent_v, parent_v, parent_v, parent_v});
  put_node(3, 1, 0x00, 0x02, 0, {fixed(16), parent_v, parent_v, {1 | mval_whole, 0, 0, 0x80}, env(0, 250, 10), fixed(0)});
  put_node(3, 2, 0x01, 0x02, 0, {fixed(12), parent_v, {2, 0x10, 0, 0xE0}, parent_v, fixed(77), fixed(60)});
  put_node(3, 3, 0x00, 0x0A, 0, {fixed(30), fixed(100), fixed(50), shifted(10, 0x40)});
  put_node(3, 4, 0x00, 0x09, 0, {shifted(1, 0xE0), fixed(90)});
  put_envelope(3, 0, {0, 0, 0, 0, 0, 0, 0, 0, 2, 30, 90, 40});
  put_wavetable(3, 0, 0xF80000, 10, 0);
}

struct row {
  uint8_t pitch, inst, vol, fx, param;
};

void put_track(int t, int speed, int loop_start, int loop_end, const std::vector<row> &rows) {
  const int64_t at = base + 0x20000 + 328 * t;
  const int n = int(rows.size());
  uint8_t head[8] = {uint8_t(n), uint8_t(n >> 8), uint8_t(speed), uint8_t(loop_start), uint8_t(loop_end), 0, 0, 0};
  mudo_memcpy(at, head, 8);
  for (int r = 0; r < n; r++) {
    const uint8_t cells[5] = {rows[r].pitch, rows[r].inst, rows[r].vol, rows[r].fx, rows[r].param};
    for (int plane = 0; plane < 5; plane++) mudo_memcpy(at + 8 + plane * n + r, &cells[plane], 1);
  }
}

void put_tracks_and_patterns() {
  put_track(0, 6, 0, 8,
            {{45, 0, 64, 'v', 0x46}, {48, 255, 255, 0, 0}, {52, 1, 50, 's', 0}, {255, 255, 255, 0, 0},
             {50, 2, 64, 'a', 0x47}, {53, 255, 40, 'f', 3}, {57, 3, 64, 't', 0x35}, {55, 0, 64, '<', 0x42}});
  put_track(1, 4, 0, 0,
            {{60, 1, 64, 'w', 0}, {62, 255, 255, '+', 0}, {64, 2, 60, 'r', 2}, {65, 0, 64, 'd', 2},
             {67, 3, 64, 'b', 0}, {69, 255, 255, '-', 40}, {60, 1, 64, '>', 0x81}, {255, 255, 255, 'c', 3}});
  put_track(2, 8, 2, 6,
            {{36, 2, 64, 'p', 60}, {38, 0, 64, 'a', 0}, {40, 1, 64, '1', 10}, {41, 3, 64, '2', 0x24},
             {43, 2, 64, '5', 0x13}, {255, 255, 255, 0, 0}});
  put_track(3, 3, 0, 4, {{72, 3, 64, 0, 0}, {74, 1, 64, 'v', 0}, {76, 0, 64, 'f', 0}, {71, 2, 30, 's', 5}});
  // A pattern never brings a channel into the music that the one before left
  // out: such a channel has already been mixed to the end of the callback
  // when the pattern changes, so its start would depend on the callback size.
  const uint8_t patterns[4][10] = {{0, 1, 2, 3, 0, 0, 0, 0, 1, 0x0F},
                                   {1, 0, 3, 2, 0, 0, 0, 0, 0, 0x0F},
                                   {3, 2, 1, 0, 0, 0, 0, 0, 3, 0x0B},
                                   {2, 3, 0, 1, 0, 0, 0, 0, 4, 0x03}};
  for (int p = 0; p < 4; p++) mudo_memcpy(base + 0x100 + 20 * p, patterns[p], 10);
}

void put_scene_data() {
  mudo_memcpy(0xF78000, default_wavetable_block(), 2 * int64_t{default_wavetable_samples});
  put_sine();
  put_fm_echo_instrument();
  put_stereo_instrument();
  put_bitwise_fold_instrument();
  put_knee_instrument();
  put_tracks_and_patterns();
  const uint8_t regs[6] = {64, 16, 64, 0, 3, 3};
  mudo_memcpy(0x5538, regs, 6);
}

void note_on(int c, int pitch, int inst, int pan, int mix = 10) {
  mudo_set_note(c, pitch, inst, 64, 0, 0, true, pan);
  mudo_set_channel_mix_vol(c, mix);
  mudo_set_channel_base_addr(c, int32_t(base));
}

void sfx(int track, int c, int pan, int mix) {
  mudo_play_track(track, c, 0, 0, false, pan, mix, int32_t(base));
}

// What the scene's script does, at fixed output frames.
struct event {
  int frame;
  std::function<void()> act;
};

std::vector<event> scene_events() {
  return {
      {0,
       [] {
         mudo_play_music(0, 300, 0x0F, int32_t(base));
         for (int c = 4; c < 8; c++) note_on(c, 40 + 3 * c, c - 4, 30 * c - 150);
         for (int c = 8; c < 12; c++) sfx(c - 8, c, 20 * c - 200, c - 2);
         note_on(12, 33, 0, -127, 70);  // a gain above unity, clamped
         note_on(13, 81, 1, 127);
         note_on(14, 59, 2, 0);
         note_on(15, 64, 3, 90, 30);
       }},
      {30000,
       [] {
         mudo_set_note(4, 52, 255, 255, 's', 4, false, mudo_pan_unchanged);
         mudo_set_note(5, 255, 255, 255, 255, 0, false, mudo_pan_unchanged);  // release
         mudo_set_note(6, 50, 0, 64, 0, 0, true, -90);                          // new instrument
         mudo_set_note(7, 70, 3, 40, 'v', 0x2A, false, 100);
       }},
      {61111,
       [] {
         mudo_fade_out_music(800);
         mudo_play_track(-3, 10, 0, 0, false, 0, 0, 0);
         sfx(3, -1, -30, 20);
         mudo_set_note(12, 255, 255, 255, 255, 0, false, mudo_pan_unchanged);
       }},
      {90000,
       [] {
         mudo_play_music(3, 0, 0x0F, int32_t(base));
         mudo_set_note(5, 47, 1, 64, 'r', 0, false, 10);
         mudo_set_stereo_swap(1);
       }},
      {110000, [] { mudo_memset(0x547F, mudo_control_silent, 1); }},
      {114000, [] { mudo_memset(0x547F, mudo_control_frozen, 1); }},
      {118000, [] { mudo_memset(0x547F, 0, 1); }},
      {125000,
       [] {
         mudo_play_track(-2, 9, 0, 0, false, 0, 0, 0);
         mudo_set_note(13, 255, 200, 255, 255, 0, false, mudo_pan_unchanged);  // hard reset
         mudo_set_note(14, 62, 1, 64, 0, 0, true, -40);
         mudo_set_stereo_swap(0);
         mudo_memset(0x5538, 50, 1);
       }},
      {150000, [] { mudo_set_note(15, 255, 255, 255, 255, 0, false, mudo_pan_unchanged); }},
  };
}

constexpr int scene_frames = 176400;  // four seconds

// The scene mixed with callbacks of the given sizes (cycled); events land on
// their frames whatever the sizes. CRC-32 of the little-endian stream.
uint32_t mix_scene(const std::vector<int> &sizes) {
  mudo_clear();
  mudo_set_volume(256);
  mudo_set_stereo_swap(0);
  put_scene_data();
  const std::vector<event> events = scene_events();
  size_t next = 0;
  uint32_t crc = 0;
  std::vector<int16_t> stream;
  std::vector<uint8_t> bytes;
  for (int at = 0, call = 0; at < scene_frames; call++) {
    while (next < events.size() && events[next].frame <= at) events[next++].act();
    int n = std::min(sizes[size_t(call) % sizes.size()], scene_frames - at);
    if (next < events.size()) n = std::min(n, events[next].frame - at);
    stream.resize(2 * size_t(n));
    mudo_mix(stream.data(), n);
    bytes.resize(4 * size_t(n));
    for (size_t k = 0; k < stream.size(); k++) {
      bytes[2 * k] = uint8_t(stream[k]);
      bytes[2 * k + 1] = uint8_t(uint16_t(stream[k]) >> 8);
    }
    crc = crc32_update(crc, bytes.data(), int64_t(bytes.size()));
    at += n;
  }
  return crc;
}

class MixerScene : public Synth {};

TEST_F(MixerScene, SixteenChannelsMixExactlyAsFirstBuilt) {
  EXPECT_EQ(mix_scene({512}), 1333731721u);
  EXPECT_EQ(mix_scene({1, 367, 700, 96, 4100, 2}), 1333731721u);
}

// Each instrument through the renderer alone: node 0 and node 8, tick by tick,
// with a release half-way.
TEST_F(MixerScene, EachInstrumentRendersExactlyAsFirstBuilt) {
  const uint32_t want[4] = {3646943089u, 2983388812u, 122130792u, 839638233u};
  for (int inst = 0; inst < 4; inst++) {
    mudo_clear();
    put_scene_data();
    mudo_channel &c = ch(3);
    start(c, inst, 50 + inst);
    std::vector<int16_t> right;
    std::vector<int16_t> left = run(c, 150, &right);
    c.note_on = 0;
    c.ticks_rel = 0;
    std::vector<int16_t> released = run(c, 150, &right);
    left.insert(left.end(), released.begin(), released.end());
    uint32_t crc = crc32b(reinterpret_cast<const uint8_t *>(left.data()), 2 * int64_t(left.size()));
    crc = crc32_update(crc, reinterpret_cast<const uint8_t *>(right.data()), 2 * int64_t(right.size()));
    EXPECT_EQ(crc, want[inst]) << "instrument " << inst;
  }
}

}  // namespace
}  // namespace synth_test
