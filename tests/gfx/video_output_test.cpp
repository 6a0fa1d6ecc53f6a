// The video output: palettes, remap and line selectors, modes 3 and 4 scaled in
// place, the no-new-frame bit, video memory through the page map, the choice of
// the shown process, and a per-pixel reference over random RAM.
#include "gfx/video_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "platform/host_log.h"
#include "../kernel/script_api_fixture.h"

namespace {

constexpr int W = video_out_width, H = video_out_height;

struct ram_record {
  process P;
  ram_record() { EXPECT_TRUE(ram_init(&P)); }
};

void set_colour(process *P, int palette, int entry, uint32_t word) {
  int addr = video_palette_address + 4 * (palette * 64 + entry);
  for (int i = 0; i < 4; i++) poke_proc(P, addr + i, static_cast<int>(word >> (8 * i)));
}

// Line y shows palette p.
void set_selector(process *P, int y, int p) {
  int addr = video_selector_address + (y >> 2), shift = 2 * (y & 3);
  poke_proc(P, addr, (peek_proc(P, addr) & ~(3 << shift)) | (p << shift));
}

// Every colour c of palette p as a word that names both.
void number_palettes(process *P) {
  for (int p = 0; p < 4; p++)
    for (int c = 0; c < 64; c++) set_colour(P, p, c, 0xFF000000u | uint32_t(p) << 16 | uint32_t(c));
  for (int c = 0; c < 64; c++) poke_proc(P, video_remap_address + c, c);
}

uint32_t named(int p, int c) { return 0xFF000000u | uint32_t(p) << 16 | uint32_t(c); }

void poke_pixel(process *P, int x, int y, int b) { poke_proc(P, video_memory_address + W * y + x, b); }

uint32_t selector(int y) { return display_pal[display_pal_colours + y]; }

// What the text says output pixel (x, y) is, worked out on its own: the shown
// source pixel, its line's palette, the remap and the palette word.
uint32_t reference_pixel(process *P, int x, int y) {
  int k = 1;
  int mode = peek_proc(P, video_mode_address);
  if (mode == 3) k = 2;
  if (mode == 4) k = 3;
  int sx = x / k, sy = y / k;
  int sel = (peek_proc(P, video_selector_address + sy / 4) >> (2 * (sy % 4))) & 3;
  int addr = video_memory_address + W * sy + sx;
  if (addr % 4096 >= ram_mapped_len(P, addr)) return 0;
  int b = peek_proc(P, addr) % 64;
  int entry = peek_proc(P, video_remap_address + b) % 64;
  return static_cast<uint32_t>(peek4_proc(P, video_palette_address + 4 * (sel * 64 + entry)));
}

/* ---------------------------------------------------------------------- */
/* making a frame                                                         */
/* ---------------------------------------------------------------------- */

TEST(VideoFrame, PaletteRemapAndLineSelectors) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  poke_proc(P, video_remap_address + 5, 12);
  set_selector(P, 10, 2);
  poke_pixel(P, 7, 10, 5);
  poke_pixel(P, 8, 10, 0x47);
  poke_pixel(P, 9, 10, 0xC5);
  set_colour(P, 0, 1, 0x00123456);
  poke_proc(P, video_remap_address + 3, 64 + 1);  // a remapped colour of 64 or more
  poke_pixel(P, 0, 0, 3);

  const uint32_t *f = make_video_frame(P);
  ASSERT_EQ(f, back_page);
  EXPECT_EQ(f[W * 10 + 7], named(2, 12)) << "palette 2's entry 12";
  EXPECT_EQ(f[W * 10 + 7], static_cast<uint32_t>(peek4_proc(P, 0x5000 + 4 * 140)));
  EXPECT_EQ(f[W * 10 + 8], named(2, 7)) << "bits 6-7 of a video byte are ignored";
  EXPECT_EQ(f[W * 10 + 9], named(2, 12));
  EXPECT_EQ(f[0], 0x00123456u) << "the remap's bits 6-7 are ignored too";
  EXPECT_EQ(f[W * 11], named(0, 0));

  // The remap is one for all four palettes; bits 6-7 of j keep the palette.
  for (int p = 0; p < 4; p++) EXPECT_EQ(display_pal[p * 64 + 5], named(p, 12));
  // Each line reads its two bits of the selector bytes.
  poke_proc(P, video_selector_address + 67, 0b11100100);
  make_video_frame(P);
  for (int y = 264; y < 268; y++) EXPECT_EQ(selector(y), 0u);
  for (int y = 268; y < 270; y++) EXPECT_EQ(selector(y), uint32_t(y - 268)) << y;
  poke_proc(P, video_selector_address + 66, 0b11100100);
  make_video_frame(P);
  for (int y = 264; y < 268; y++) EXPECT_EQ(selector(y), uint32_t(y - 264)) << y;
  EXPECT_EQ(selector(10), 2u);
}

TEST(VideoFrame, Mode3DoublesTheTopLeftQuarter) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) poke_pixel(P, x, y, (x * 7 + y * 13) & 63);
  set_selector(P, 134, 3);
  set_selector(P, 1, 1);
  poke_proc(P, video_mode_address, 3);
  const uint32_t *f = make_video_frame(P);
  ASSERT_NE(f, nullptr);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      int sx = x / 2, sy = y / 2, p = sy == 134 ? 3 : sy == 1 ? 1 : 0;
      ASSERT_EQ(f[W * y + x], named(p, (sx * 7 + sy * 13) & 63)) << x << "," << y;
    }
  EXPECT_EQ(f[0], f[1]);
  EXPECT_EQ(f[0], f[W]);
  EXPECT_EQ(f[0], f[W + 1]);
  EXPECT_EQ(selector(269), 3u) << "row 269 uses line 134's selector";
  EXPECT_EQ(selector(268), 3u);
  EXPECT_EQ(selector(2), 1u);
  EXPECT_EQ(selector(3), 1u);
  EXPECT_EQ(selector(1), 0u);
}

TEST(VideoFrame, Mode4TriplesTheTopLeftNinth) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) poke_pixel(P, x, y, (x + y * 3) & 63);
  set_selector(P, 89, 2);
  poke_proc(P, video_mode_address, 4);
  const uint32_t *f = make_video_frame(P);
  ASSERT_NE(f, nullptr);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++)
      ASSERT_EQ(f[W * y + x], named(y / 3 == 89 ? 2 : 0, (x / 3 + (y / 3) * 3) & 63)) << x << "," << y;
  for (int x = 0; x < W; x++) EXPECT_EQ(f[W * 269 + x], named(2, (x / 3 + 89 * 3) & 63));
  EXPECT_EQ(selector(267), 2u);
  EXPECT_EQ(selector(269), 2u);
  EXPECT_EQ(selector(266), 0u);
}

TEST(VideoFrame, OtherModesShowThePlainFrame) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) poke_pixel(P, x, y, (x ^ y) & 63);
  for (int mode : {0, 1, 2, 5, 6, 128, 255}) {
    poke_proc(P, video_mode_address, mode);
    const uint32_t *f = make_video_frame(P);
    ASSERT_NE(f, nullptr);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++) ASSERT_EQ(f[W * y + x], named(0, (x ^ y) & 63)) << mode;
  }
}

TEST(VideoFrame, Bit1Of547FGivesNoFrameAndKeepsTheLastOne) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  poke_pixel(P, 3, 3, 9);
  ASSERT_NE(make_video_frame(P), nullptr);
  std::vector<uint32_t> before(back_page, back_page + W * H);
  std::vector<uint32_t> pal_before(display_pal, display_pal + display_pal_colours + H);

  poke_pixel(P, 3, 3, 10);
  set_colour(P, 0, 0, 0xDEADBEEF);
  poke_proc(P, video_flags_address, 2);
  EXPECT_EQ(make_video_frame(P), nullptr);
  EXPECT_EQ(std::vector<uint32_t>(back_page, back_page + W * H), before);
  EXPECT_EQ(std::vector<uint32_t>(display_pal, display_pal + display_pal_colours + H), pal_before);

  poke_proc(P, video_flags_address, 0xFD);  // every bit but 1
  ASSERT_NE(make_video_frame(P), nullptr);
  EXPECT_EQ(back_page[W * 3 + 3], named(0, 10));
}

/* ---------------------------------------------------------------------- */
/* video memory through the page map                                      */
/* ---------------------------------------------------------------------- */

TEST(VideoMemory, UntouchedPagesGiveWordZeroAndStayUnallocated) {
  ram_record rec;
  process *P = &rec.P;
  set_colour(P, 0, 0, 0xFF111111);  // what a touched zero byte shows
  poke_pixel(P, 0, 20, 0);          // touches page 0x12 only
  int64_t ram_bytes = P->ram_bytes;
  const uint32_t *f = make_video_frame(P);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(P->ram_bytes, ram_bytes) << "reading video memory allocates nothing";
  for (int p = 0x10; p < 0x30; p++) EXPECT_EQ(P->ram->own_page[p] != nullptr, p == 0x12) << p;
  for (int i = 0; i < W * H; i++) {
    int page = (video_memory_address + i) >> 12;
    ASSERT_EQ(f[i], page == 0x12 ? 0xFF111111u : 0u) << i;
  }
}

TEST(VideoMemory, BytesPastAUserdatasEndGiveWordZero) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  // An own block at page 0x11 with bytes in it, then a 100-byte userdata over
  // its start: the own bytes behind the userdata's end are not shown.
  for (int i = 0; i < 4096; i++) poke_proc(P, 0x11000 + i, 9);
  std::vector<uint8_t> bytes(100, 33);
  std::vector<const void *> released;
  ASSERT_EQ(ram_map(P, {&bytes, bytes.data(), 100}, 0x11000, 0, std::nullopt, released), 100);
  const uint32_t *f = make_video_frame(P);
  ASSERT_NE(f, nullptr);
  int first = 0x11000 - video_memory_address;
  for (int i = first - 2; i < first + 4096 + 2; i++) {
    uint32_t want = i >= first && i < first + 100 ? named(0, 33) : 0u;
    ASSERT_EQ(f[i], want) << i;
  }
  ram_unmap(P, {&bytes, bytes.data(), 100}, -1, 100, released);
}

// Both ways of looking colours up: the sixteen-pixel permutes (where the
// processor has them) and the portable two-pixel table.
class VideoLookups : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (use_wide_video_lookups(GetParam()) != GetParam()) GTEST_SKIP() << "no 512-bit permutes here";
  }
  void TearDown() override { use_wide_video_lookups(true); }
};
INSTANTIATE_TEST_SUITE_P(VideoMemory, VideoLookups, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "Wide" : "Pairs"; });

TEST_P(VideoLookups, MatchesThePerPixelReferenceOnRandomRam) {
  std::mt19937 rng(20250504);
  for (int round = 0; round < 24; round++) {
    ram_record rec;
    process *P = &rec.P;
    for (int a = video_palette_address; a < video_palette_address + 0x500; a++)
      poke_proc(P, a, static_cast<int>(rng() & 0xFF));
    int modes[] = {0, 1, 2, 3, 4, 5, 255};
    poke_proc(P, video_mode_address, modes[rng() % 7]);
    poke_proc(P, video_flags_address, static_cast<int>(rng() & 0xFD));
    std::vector<std::vector<uint8_t>> blocks;
    blocks.reserve(32);
    std::vector<const void *> released;
    for (int page = 0x10; page < 0x30; page++) {
      switch (rng() % 4) {
      case 0:
        break;  // untouched
      case 1:
      case 2:
        for (int i = 0; i < 4096; i++) poke_proc(P, page * 4096 + i, static_cast<int>(rng() & 0xFF));
        break;
      case 3: {
        if (rng() & 1) poke_proc(P, page * 4096 + 4095, 7);  // an own block behind it
        auto &b = blocks.emplace_back(1 + rng() % 4096);
        for (auto &v : b) v = static_cast<uint8_t>(rng());
        ram_map(P, {&b, b.data(), static_cast<int64_t>(b.size())}, page * 4096, 0, std::nullopt,
                released);
        break;
      }
      }
    }
    int64_t ram_bytes = P->ram_bytes;
    const uint32_t *f = make_video_frame(P);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(P->ram_bytes, ram_bytes);
    for (int y = 0; y < H; y++)
      for (int x = 0; x < W; x++)
        ASSERT_EQ(f[W * y + x], reference_pixel(P, x, y))
            << "round " << round << " mode " << peek_proc(P, video_mode_address) << " at " << x << ","
            << y;
    for (auto &b : blocks)
      ram_unmap(P, {&b, b.data(), static_cast<int64_t>(b.size())}, -1, static_cast<int64_t>(b.size()),
                released);
  }
}

// A palette changed between frames shows its new words: nothing looked up
// in the last frame is kept past a change.
TEST_P(VideoLookups, AChangedPaletteShowsInTheNextFrame) {
  ram_record rec;
  process *P = &rec.P;
  number_palettes(P);
  for (int y = 0; y < H; y++) set_selector(P, y, y % 4);
  for (int x = 0; x < W; x++) poke_pixel(P, x, 5, x % 64 + (x & 64 ? 128 : 0));
  ASSERT_NE(make_video_frame(P), nullptr);
  EXPECT_EQ(back_page[W * 5 + 70], named(1, 6));
  set_colour(P, 1, 6, 0xFFABCDEF);
  poke_proc(P, video_remap_address + 7, 6);  // colour 7 now shows entry 6
  const uint32_t *f = make_video_frame(P);
  ASSERT_NE(f, nullptr);
  for (int x = 0; x < W; x++) {
    int c = x % 64;
    uint32_t want = c == 6 || c == 7 ? 0xFFABCDEFu : named(1, c);
    ASSERT_EQ(f[W * 5 + x], want) << x;
  }
}

TEST(VideoMemory, AProcessWithoutRamShowsWordZero) {
  process bare;
  const uint32_t *f = make_video_frame(&bare);
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < W * H; i++) ASSERT_EQ(f[i], 0u);
}

/* ---------------------------------------------------------------------- */
/* choosing the shown process                                             */
/* ---------------------------------------------------------------------- */

class VideoOut : public script_api_test::ScriptApi {
 protected:
  std::string log_path;
  void SetUp() override {
    ScriptApi::SetUp();
    log_path = testing::TempDir() + "kestrune_video_log_" + std::to_string(getpid()) + ".txt";
    hovi_set_log_path(log_path);
    app.frame_count = 1;
  }
  void TearDown() override {
    hovi_set_log_path(testing::TempDir() + "kestrune-tests-" + std::to_string(getpid()) +
                      "/log.txt");
    unlink(log_path.c_str());
    ScriptApi::TearDown();
  }
  // ids 2 and 3 after the root's 1
  process *make_display() {
    EXPECT_NE(create_process_from_code("", "second", "/second.lua"), nullptr);
    process *d = create_process_from_code("", "display", "/display.lua");
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(d->id, 3);
    number_palettes(d);
    poke_pixel(d, 1, 1, 17);
    return d;
  }
  int finished_lines() {
    std::ifstream in(log_path);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    int n = 0;
    for (size_t at = 0; (at = text.find("@@ finished_boot_sequence", at)) != std::string::npos; at++) n++;
    return n;
  }
};

// The boot screen's frame: its palette entry 8 or more on the frames' edges
// at 747 ms, colour 0 (black) where nothing is drawn.
bool shows_boot_screen(const uint32_t *frame) {
  return frame == back_page && back_page[0] != 0 && back_page[W * 100 + 240] == 0;
}

TEST_F(VideoOut, NoDisplayProcessShowsTheBootScreen) {
  app.boot_release = 1;
  app.boot_time_base = 1;
  app.frame_count = 1 + 45;
  int w = -1, h = -1;
  EXPECT_TRUE(shows_boot_screen(generate_video_out(&w, &h)));
  EXPECT_EQ(w, W);
  EXPECT_EQ(h, H);
  EXPECT_EQ(app.boot_finished, 0);
}

TEST_F(VideoOut, TheDisplayProcessIsShownAfter2200MsAndTheRelease) {
  process *d = make_display();
  int w = -1, h = -1;
  generate_video_out(&w, &h);  // the boot clock starts here
  EXPECT_EQ(app.boot_time_base, 1);
  app.frame_count = 1 + 45;
  EXPECT_TRUE(shows_boot_screen(generate_video_out(&w, &h)));
  app.frame_count = 1 + 132;  // 2191 ms
  generate_video_out(&w, &h);
  EXPECT_NE(back_page[W + 1], named(0, 17));
  EXPECT_EQ(app.boot_finished, 0);

  app.frame_count = 1 + 133;  // 2207 ms, not yet released
  generate_video_out(&w, &h);
  EXPECT_NE(back_page[W + 1], named(0, 17));
  EXPECT_EQ(app.boot_finished, 1) << "finished whether or not the screen is released";
  EXPECT_EQ(finished_lines(), 1);

  app.boot_release = 1;
  EXPECT_EQ(generate_video_out(&w, &h), back_page);
  EXPECT_EQ(w, W);
  EXPECT_EQ(h, H);
  EXPECT_EQ(back_page[W + 1], named(0, 17));
  EXPECT_EQ(video_out_picture(), back_page);
  EXPECT_EQ(finished_lines(), 1) << "logged at the transition only";

  // Released before the clock is up still waits for the clock.
  app.boot_finished = 0;
  app.boot_time_base = app.frame_count - 45;
  EXPECT_TRUE(shows_boot_screen(generate_video_out(&w, &h)));
  EXPECT_EQ(app.boot_finished, 0);

  // A display process that asks for no frame gets none; a failed one is still shown.
  app.frame_count += 200;
  poke_proc(d, video_flags_address, 2);
  w = h = -1;
  EXPECT_EQ(generate_video_out(&w, &h), nullptr);
  EXPECT_EQ(w, -1);
  EXPECT_EQ(app.boot_finished, 1);
  poke_proc(d, video_flags_address, 0);
  d->state = process_failed;
  EXPECT_EQ(generate_video_out(&w, &h), back_page);
  EXPECT_EQ(back_page[W + 1], named(0, 17));
}

}  // namespace
