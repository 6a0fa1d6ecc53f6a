// The sequencer and the mixer, offline: mudo_mix called directly on a mirror
// filled by the test.
#include <algorithm>

#include "mudo/audio.h"
#include "mudo/mixer.h"
#include "mudo/sequencer.h"
#include "synth_fixture.h"
#include "values/crc32.h"

namespace synth_test {
namespace {

struct row {
  uint8_t pitch, inst, vol, fx, param;
};

void put_track(int t, int speed, int loop_start, int loop_end, std::vector<row> rows, int delay = 0) {
  const int64_t at = base + 0x20000 + 328 * t;
  const int n = int(rows.size());
  uint8_t head[8] = {uint8_t(n), uint8_t(n >> 8), uint8_t(speed), uint8_t(loop_start),
                     uint8_t(loop_end), uint8_t(delay), 0, 0};
  mudo_memcpy(at, head, 8);
  for (int r = 0; r < n; r++) {
    const uint8_t cells[5] = {rows[r].pitch, rows[r].inst, rows[r].vol, rows[r].fx, rows[r].param};
    for (int plane = 0; plane < 5; plane++) mudo_memcpy(at + 8 + plane * n + r, &cells[plane], 1);
  }
}

void put_pattern(int p, std::vector<uint8_t> tracks, uint8_t flags, uint8_t mask) {
  tracks.resize(8);
  tracks.push_back(flags);
  tracks.push_back(mask);
  mudo_memcpy(base + 0x100 + 20 * p, tracks.data(), tracks.size());
}

std::vector<row> notes(int n, uint8_t fx = 0, uint8_t param = 0) {
  return std::vector<row>(size_t(n), row{57, 0, 64, fx, param});
}

class Mixer : public Synth {
 protected:
  void SetUp() override {
    Synth::SetUp();
    put_sine_instrument(0);
    const uint8_t regs[6] = {64, 64, 64, 0, 3, 3};  // volumes 64, base 0x30000
    mudo_memcpy(0x5538, regs, 6);
    mudo_set_volume(256);
    mudo_set_stereo_swap(0);
  }
  std::vector<int16_t> mix(int frames, int chunk = 0) {
    std::vector<int16_t> out(2 * size_t(frames));
    if (chunk <= 0) chunk = frames;
    for (int at = 0; at < frames; at += chunk) mudo_mix(out.data() + 2 * at, std::min(chunk, frames - at));
    return out;
  }
  void play(int channel, int pitch, int pan) {
    mudo_set_note(channel, pitch, 0, 64, 0, 0, true, pan);
    mudo_set_channel_mix_vol(channel, 64);
    mudo_set_channel_base_addr(channel, int32_t(base));
  }
  // The track rows a channel is at, one mixed tick at a time.
  std::vector<int> rows_played(int channel, int ticks) {
    std::vector<int> seen;
    for (int t = 0; t < ticks; t++) {
      mix(mudo_tick_samples);
      const mudo_channel &c = ch(channel);
      seen.push_back(c.trk_playing ? c.trk_row : -1);
    }
    return seen;
  }
  static int peak(const std::vector<int16_t> &s, int side, size_t from) {
    int p = 0;
    for (size_t k = 2 * from + size_t(side); k < s.size(); k += 2) p = std::max(p, std::abs(int(s[k])));
    return p;
  }
};

TEST_F(Mixer, UnityGainPanSwapAndMutes) {
  struct {
    const char *what;
    int pan, master, volume, swap;
    int left, right;  // expected peaks after the first tick
  } cases[] = {
      {"centre", 0, 64, 256, 0, 32000 * 3272 / 4096, 32000 * 3272 / 4096},
      {"hard left", -127, 64, 256, 0, 32000 * 4095 / 4096, 0},
      {"hard left, swapped", -127, 64, 256, 1, 0, 32000 * 4095 / 4096},
      {"master volume 0", 0, 0, 256, 0, 0, 0},
      {"volume 1 is not a gain", 0, 64, 1, 0, 32000 * 3272 / 4096, 32000 * 3272 / 4096},
      {"volume 0 mutes", 0, 64, 0, 0, 0, 0},
  };
  for (auto &c : cases) {
    mudo_clear();
    SetUp();
    mudo_memset(0x5538, c.master, 1);
    mudo_set_volume(c.volume);
    mudo_set_stereo_swap(c.swap);
    play(0, 57, c.pan);
    std::vector<int16_t> out = mix(367 * 20);
    EXPECT_NEAR(peak(out, 0, 367), c.left, 40) << c.what;
    EXPECT_NEAR(peak(out, 1, 367), c.right, 40) << c.what;
  }
}

// A negative mix volume (sfx passes it as given) is a negative gain: the
// channel's output is the unity output inverted, for steady and moving pans.
TEST_F(Mixer, ANegativeMixVolumeInvertsTheChannel) {
  for (int pan : {0, -90}) {
    std::vector<int16_t> out[2];
    for (int k = 0; k < 2; k++) {
      mudo_clear();
      SetUp();
      play(0, 57, pan);
      mudo_set_note(0, 255, 255, 255, 'p', 200, false, mudo_pan_unchanged);  // the pan moves
      mixer->channels[0].mix_vol = k ? -64 : 64;
      out[k] = mix(367 * 4);
    }
    ASSERT_GT(peak(out[0], 0, 0), 1000);
    for (size_t i = 0; i < out[0].size(); i++) ASSERT_EQ(out[1][i], -out[0][i]) << pan << " " << i;
  }
}

TEST_F(Mixer, OutputDoesNotDependOnTheCallbackSize) {
  auto setup = [&] {
    mudo_clear();
    SetUp();
    put_track(0, 3, 0, 8, {{57, 0, 64, 'v', 0x46}, {60, 0, 48, 'p', 40}, {64, 0, 64, 0, 0},
                           {62, 0, 64, 's', 0}, {255, 255, 255, 0, 0}, {59, 0, 64, '+', 0},
                           {57, 0, 64, 'w', 0}, {55, 0, 64, '>', 0x82}});
    put_pattern(0, {0}, 3, 1);
    mudo_play_music(0, 200, 255, int32_t(base));
    mudo_play_track(0, 9, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  };
  setup();
  const std::vector<int16_t> whole = mix(20000);
  for (int chunk : {1, 100, 512, 9000}) {
    setup();
    EXPECT_EQ(mix(20000, chunk), whole) << chunk;
  }
  EXPECT_GT(peak(whole, 0, 0), 1000);
}

TEST_F(Mixer, TracksLoopStopAndObeyCommands) {
  // Loop start 8, loop end 0: rows 0-7, then the track stops.
  put_track(0, 1, 8, 0, notes(32));
  mudo_play_track(0, 0, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  EXPECT_EQ(rows_played(0, 10), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, -1, -1}));

  // Loop 4 to 8: rows 0-7, then 4-7 for ever; -3 lets it run to its end.
  put_track(1, 1, 4, 8, notes(10));
  mudo_play_track(1, 1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  EXPECT_EQ(rows_played(1, 12), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7, 4}));
  mudo_play_track(-3, 1, 0, 0, false, 0, 0, 0);
  EXPECT_EQ(rows_played(1, 8), (std::vector<int>{5, 6, 7, 8, 9, 10, -1, -1}));

  // -4 sets the mix volume (clamped), -1 releases, -2 hard-resets.
  mudo_play_track(1, 2, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  mix(367);
  mudo_play_track(-4, 2, 300, 0, false, 0, 0, 0);
  EXPECT_EQ(ch(2).mix_vol, 255);
  mudo_play_track(-1, 2, 0, 0, false, 0, 0, 0);
  EXPECT_EQ(ch(2).note_on, 0);
  EXPECT_EQ(ch(2).trk_playing, 0);
  EXPECT_EQ(ch(2).instrument, 0);
  mudo_play_track(-2, 2, 0, 0, false, 0, 0, 0);
  EXPECT_EQ(ch(2).instrument, 255);

  // A start row and a row count: rows 2 and 3, then it stops.
  mudo_play_track(1, 3, 2, 2, false, mudo_pan_unchanged, 64, int32_t(base));
  EXPECT_EQ(rows_played(3, 3), (std::vector<int>{3, -1, -1}));
}

TEST_F(Mixer, ChannelChoiceReusesFreesAndSteals) {
  put_track(0, 1, 0, 4, notes(4));
  put_track(1, 1, 0, 4, notes(4));
  int first = mudo_play_track(0, -1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  EXPECT_GE(first, 8);  // a free channel among 8-15
  EXPECT_EQ(mudo_play_track(0, -1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base)), first);
  int second = mudo_play_track(1, -1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  EXPECT_GE(second, 8);
  EXPECT_NE(second, first);
  // With every channel masked by the music, nothing plays.
  mixer->music.mask = 0xFFFF;
  EXPECT_EQ(mudo_play_track(1, -1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base)), second);
  EXPECT_EQ(mudo_play_track(5, -1, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base)), -1);
  // Channels outside 0..15 do nothing (other than the -1 forms).
  EXPECT_EQ(mudo_play_track(0, 16, 0, 0, false, 0, 64, 0), -1);
  EXPECT_EQ(mudo_play_track(0, -7, 0, 0, false, 0, 64, 0), -1);
  mudo_set_note(16, 60, 0, 64, 0, 0, true, 0);
  mudo_set_note(-5, 60, 0, 64, 0, 0, true, 0);
}

TEST_F(Mixer, NoteAndTrackEffects) {
  // Cut at tick 0, pan, delay, slide up, digits as letters.
  struct {
    const char *what;
    row r;
    int ticks;
    int instrument, pan, note_on;
    int32_t cur_pitch;
  } cases[] = {
      {"c 0 cuts at once", {57, 0, 64, 'c', 0}, 1, 255, 0, 1, 57 << 16},
      {"p sets the pan", {57, 0, 64, 'p', 200}, 1, 0, 72, 1, 57 << 16},
      {"d 2 holds the note two ticks", {57, 0, 64, 'd', 2}, 2, 255, 0, 0, 48 << 16},
      {"d 2 then plays", {57, 0, 64, 'd', 2}, 3, 0, 0, 1, 57 << 16},
      {"+ slides up 16/512 a tick", {57, 0, 64, '+', 0}, 3, 0, 0, 1, (57 << 16) + 3 * 2048},
      {"- stops at 0", {1, 0, 64, '-', 255}, 3, 0, 0, 1, 0},
  };
  for (auto &c : cases) {
    mudo_set_note(-1, 255, 255, 255, 255, 0, false, mudo_pan_unchanged);
    put_track(0, 16, 0, 0, {c.r});
    mudo_play_track(0, 0, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
    for (int t = 0; t < c.ticks; t++) mix(367);
    EXPECT_EQ(ch(0).instrument, c.instrument) << c.what;
    EXPECT_EQ(ch(0).pan, c.pan) << c.what;
    EXPECT_EQ(ch(0).note_on, c.note_on) << c.what;
    EXPECT_EQ(ch(0).cur_pitch, c.cur_pitch) << c.what;
  }
  mudo_set_note(0, 60, 0, 64, '1', 0, false, 0);
  EXPECT_EQ(ch(0).effect, 's');
  // Release keeps instrument and volume.
  mudo_set_note(2, 60, 0, 50, 0, 0, true, 0);
  mudo_set_note(2, 255, 255, 255, 255, 0, true, mudo_pan_unchanged);
  EXPECT_EQ(ch(2).note_on, 0);
  EXPECT_EQ(ch(2).instrument, 0);
  EXPECT_EQ(ch(2).volume, 50);
}

TEST_F(Mixer, PatternsLoopStopAndFade) {
  put_track(0, 1, 0, 0, notes(2));   // 2 ticks a pattern at speed 1
  put_track(1, 0, 0, 0, notes(1));   // speed 0 reads as 16
  put_pattern(0, {0}, 1, 1);         // loop start
  put_pattern(1, {0}, 0, 1);
  put_pattern(2, {0}, 2, 1);         // loop back to pattern 0
  put_pattern(5, {1}, 4, 1);         // stop after this one
  mudo_play_music(0, 0, 255, int32_t(base));
  EXPECT_EQ(mixer->music.level, 256);
  EXPECT_EQ(mixer->music.pattern_ticks, 2);
  std::vector<int> patterns;
  for (int t = 0; t < 12; t++) {
    mix(367);
    patterns.push_back(mudo_get_music_state(0));
  }
  EXPECT_EQ(patterns, (std::vector<int>{0, 0, 1, 1, 2, 2, 0, 0, 1, 1, 2, 2}));

  mudo_play_music(5, 0, 255, int32_t(base));
  EXPECT_EQ(mixer->music.pattern_ticks, 16);
  mix(367 * 17);
  EXPECT_EQ(mudo_get_music_state(0), -1);
  EXPECT_EQ(ch(0).music_ch, 0);

  // A fade in of no whole tick is at full level at once; a fade out over 1 s
  // takes 120 ticks and leaves the music playing at level 0.
  mudo_play_music(0, 5, 255, int32_t(base));
  EXPECT_EQ(mixer->music.level, 256);
  mudo_fade_out_music(1000);
  EXPECT_EQ(mixer->music.fade_ticks, 120);
  mix(367 * 60);
  EXPECT_NEAR(mixer->music.level, 128, 3);
  mix(367 * 61);
  EXPECT_EQ(mixer->music.level, 0);
  EXPECT_EQ(mudo_get_music_state(0) >= 0, true);
  EXPECT_EQ(peak(mix(367 * 4), 0, 0), 0);
  mudo_fade_out_music(0);
  EXPECT_EQ(mudo_get_music_state(0), -1);
}

TEST_F(Mixer, ControlByteSilencesOrFreezes) {
  put_track(0, 1, 0, 0, notes(30));
  mudo_play_track(0, 0, 0, 0, false, mudo_pan_unchanged, 64, int32_t(base));
  mudo_memset(0x547F, 8, 1);  // silent, time runs
  EXPECT_EQ(peak(mix(367 * 3), 0, 0), 0);
  EXPECT_EQ(ch(0).trk_row, 3);
  mudo_memset(0x547F, 4, 1);  // frozen
  mix(367 * 3);
  EXPECT_EQ(ch(0).trk_row, 3);
  EXPECT_EQ(mudo_get_channel_state(-1, -1, nullptr), 0);
  mudo_memset(0x547F, 0, 1);
  EXPECT_GT(peak(mix(367 * 3), 0, 0), 1000);
  EXPECT_EQ(mudo_get_channel_state(-1, -1, nullptr), 367 * 3);
}

// A new mixer is silent until the settings hand it a volume. Meaningful only
// as the first use of the mixer in the process (each test runs on its own).
TEST(MixerStart, IsSilentUntilTheSettingsGiveAVolume) {
  if (mixer) GTEST_SKIP() << "the mixer was made before this test";
  mudo_init();
  put_sine();
  put_sine_instrument(0);
  const uint8_t regs[6] = {64, 64, 64, 0, 3, 3};
  mudo_memcpy(0x5538, regs, 6);
  mudo_set_note(0, 57, 0, 64, 0, 0, true, 0);
  mudo_set_channel_mix_vol(0, 64);
  mudo_set_channel_base_addr(0, int32_t(base));
  std::vector<int16_t> out(2 * 367 * 4);
  mudo_mix(out.data(), 367 * 4);
  for (int16_t v : out) ASSERT_EQ(v, 0);
  mudo_set_volume(192);
  mudo_mix(out.data(), 367 * 4);
  EXPECT_GT(*std::max_element(out.begin(), out.end()), 1000);
}

TEST(DefaultWavetables, MatchTheFormulasAndAnIndependentCrc) {
  const int16_t *w = default_wavetable_block();
  const int16_t *waves = w + 16384;
  EXPECT_EQ(waves[256], -32766);
  for (int k = 0; k < 1024; k++) ASSERT_EQ(waves[255 * 1024 + k], k <= 1016 ? -32767 : 32767) << k;
  // CRC-32 of the whole little-endian block, computed apart from this code.
  EXPECT_EQ(crc32b(reinterpret_cast<const uint8_t *>(w), 2 * int64_t{default_wavetable_samples}),
            0x214017ccu);
}

}  // namespace
}  // namespace synth_test
