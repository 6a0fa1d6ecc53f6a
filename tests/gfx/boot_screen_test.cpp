// The boot screen, frame by frame through the boot clock: empty at first, the
// frames drawing themselves and vanishing, the three text lines at their
// times, the boot style's colours, the system error screen and the status
// line's reports; then its font.
#include "gfx/boot_screen.h"

#include <gtest/gtest.h>

#include <string>

#include "gfx/lil_font.h"
#include "gfx/video_output.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/system.h"
#include "tests/kernel/script_api_fixture.h"

namespace {

constexpr int W = boot_screen_width, H = boot_screen_height;
constexpr int line_h = lil_font_height, text_x = 35, text_y = 200;

int64_t host_ms = 0;
int64_t test_clock() { return host_ms; }

int glyph_ink(uint8_t c) {
  int n = 0;
  for (int r = 0; r < 8; r++) n += __builtin_popcount(lil_font_dat()[8 * c + r]);
  return n;
}
int advance(uint8_t c) {
  int n = lil_font_dat()[c >> 1];
  n = c & 1 ? n >> 4 : n & 15;
  return lil_font_width + ((n + 4) & 7) - 4;
}

// What the boot screen shows: the boot process's video memory.
struct picture {
  std::vector<uint8_t> px = std::vector<uint8_t>(size_t{W} * H);
  int at(int x, int y) const { return px[size_t(y) * W + x]; }
  // Pixels of colour c in text line k (0: version, 1: notice, 3: status).
  int count_in_line(int k, int c) const {
    int n = 0;
    for (int y = text_y + k * line_h; y < text_y + (k + 1) * line_h; y++)
      for (int x = 0; x < W; x++) n += at(x, y) == c;
    return n;
  }
  int count(int c) const {
    int n = 0;
    for (uint8_t v : px) n += v == c;
    return n;
  }
};

class BootScreen : public script_api_test::ScriptApi {
 protected:
  int64_t (*saved_clock)() = nullptr;
  void SetUp() override {
    ScriptApi::SetUp();
    saved_clock = boot_host_clock;
    boot_host_clock = test_clock;
    host_ms = 0;
    app.frame_count = 1;
    app.boot_time_base = 1;
  }
  void TearDown() override {
    boot_host_clock = saved_clock;
    ScriptApi::TearDown();
  }

  picture at_frame(int64_t frames) {
    app.frame_count = 1 + frames;
    process *before = cproc;
    process *B = draw_boot();
    EXPECT_NE(B, nullptr);
    EXPECT_EQ(cproc, before) << "the current process is restored";
    picture p;
    read_video_memory(B, p.px.data());
    return p;
  }
};

// Ink and width of a line of text in the boot font.
int ink_of(const std::string &s) {
  int n = 0;
  for (unsigned char c : s) n += c == '\n' ? 0 : glyph_ink(c);
  return n;
}

TEST_F(BootScreen, FramesAndTextLinesAtTheirTimes) {
  std::string status = "booting..";
  int version_ink = ink_of(" Kestrune Workstation OS 0.2.0d");
  for (int b : {0x3f, 0x7f, 0x50, 0x77, 0x05, 0x7f, 0x7e, 0x00}) version_ink += __builtin_popcount(b);  // the inline glyph
  int notice_ink = ink_of("Free to use, share and change. Made to be played with.");
  struct row {
    int64_t frames;  // boot clock = frames x 16.6
    bool frames_drawn, version, notice, status;
  } rows[] = {
      {0, false, false, false, false},  {30, false, false, false, false},  // 498 ms
      {31, true, false, false, false},                                      // 514 ms
      {51, true, false, false, false},  {52, true, true, false, false},    // 846, 863 ms
      {60, true, true, false, false},   {61, true, true, true, false},     // 996, 1012 ms
      {66, true, true, true, false},    {67, true, true, true, true},      // 1095, 1112 ms
      {75, true, true, true, true},     {76, false, true, true, true},     // 1245, 1261 ms
      {500, false, true, true, true},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.frames);
    picture p = at_frame(r.frames);
    int edges = 0;
    for (int x = 0; x < W; x++)
      for (int y : {0, 3, 6, H - 7, H - 4, H - 1}) edges += p.at(x, y) != 0;
    for (int y = 0; y < H; y++)
      for (int x : {0, 3, 6, W - 7, W - 4, W - 1}) edges += p.at(x, y) != 0;
    EXPECT_EQ(edges > 0, r.frames_drawn);
    EXPECT_EQ(p.count_in_line(0, 7), r.version ? version_ink : 0);
    EXPECT_EQ(p.count_in_line(1, 6), r.notice ? notice_ink : 0);
    EXPECT_EQ(p.count_in_line(2, 14) + p.count_in_line(2, 6), 0) << "the notice's own line break";
    EXPECT_EQ(p.count_in_line(3, 14), r.status ? ink_of(status) : 0);
    if (!r.frames_drawn) {
      EXPECT_EQ(p.count(0) + p.count(6) + p.count(7) + p.count(14), W * H);
    }
  }
}

TEST_F(BootScreen, TheFramesRunAlongTheEdgesAndVanish) {
  // 747 ms: the heads are on the way, the tails not started: the top and left
  // edges from the corner, nothing yet on the right or bottom.
  picture p = at_frame(45);
  for (int i : {0, 3, 6}) {
    EXPECT_NE(p.at(i, i), 0);
    EXPECT_NE(p.at(100, i), 0);
    EXPECT_NE(p.at(i, 100), 0);
    EXPECT_EQ(p.at(W - 1 - i, 200), 0);
  }
  for (int v : p.px) EXPECT_TRUE(v == 0 || (v >= 8 && v <= 19)) << v;
  // 1012 ms: the heads have arrived, the tails are past the corners: the
  // first segments are gone, the right and bottom edges shown from near their start.
  p = at_frame(61);
  EXPECT_EQ(p.at(100, 0), 0);
  EXPECT_EQ(p.at(0, 100), 0);
  EXPECT_EQ(p.at(W - 1, 10), 0);
  EXPECT_NE(p.at(W - 1, 200), 0);
  EXPECT_NE(p.at(300, H - 1), 0);
  EXPECT_EQ(p.at(W - 1, H - 1), 0) << "a path's end point is not drawn";

  // The boot style cycles through 28, 29 and 30 only.
  app.boot_style = 1;
  p = at_frame(45);
  int lit = 0;
  for (int v : p.px) {
    EXPECT_TRUE(v == 0 || (v >= 28 && v <= 30)) << v;
    lit += v != 0;
  }
  EXPECT_GT(lit, 500);
}

TEST(BootPath, SegmentsBetweenTailAndHead) {
  struct row {
    double tail, head;
    int lit;  // pixels written on a path of 100 across then 50 down
  } rows[] = {
      {0, 0, 0}, {0, 0.25, 50}, {0, 0.5, 100}, {0.5, 1, 50}, {0, 1, 150}, {0.25, 0.75, 50 + 25}, {1, 1, 0},
  };
  for (const row &r : rows) {
    std::vector<uint8_t> px(200 * 100);
    draw_path(px.data(), 200, 100, {10, 10}, {110, 10}, {110, 60}, r.tail, r.head, 0, false);
    int lit = 0;
    for (uint8_t v : px) lit += v != 0;
    EXPECT_EQ(lit, r.lit) << r.tail << " " << r.head;
  }
  // Colours: ((x / 32) + (y / 32) + phase + k mod 3) mod 12 + 8.
  std::vector<uint8_t> px(200 * 100);
  draw_path(px.data(), 200, 100, {0, 0}, {100, 0}, {100, 50}, 0, 0.5, 5, false);
  for (int k = 0; k < 100; k++) EXPECT_EQ(px[size_t(k)], (k / 32 + 5 + k % 3) % 12 + 8) << k;
  EXPECT_DOUBLE_EQ(nll(0.25), 0.125);
  EXPECT_DOUBLE_EQ(nll(0.5), 0.5);
  EXPECT_DOUBLE_EQ(nll(0.75), 0.875);
}

TEST_F(BootScreen, StatusLineReportsSlowBootsAndFailedProcesses) {
  process *second = create_process_from_code("", "second", "/second.lua");
  process *third = create_process_from_code("", "third", "/third.lua");
  ASSERT_NE(third, nullptr);
  struct row {
    int64_t host;
    int finished, release;
    int failed;  // id of a failed process, 0 none
    std::string status;
  } rows[] = {
      {0, 0, 0, 0, "booting.."},
      {0, 1, 0, 0, "booting..."},
      {0, 1, 1, 0, "booting.."},
      {4001, 0, 0, 0, "booting...."},
      {7001, 1, 0, 0, "booting....."},
      {7001, 0, 0, 2, "[* system error 2:40 **]"},
      {0, 0, 0, 3, "[* system error 3:40 **]"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.status);
    host_ms = r.host;
    app.boot_finished = r.finished;
    app.boot_release = r.release;
    second->state = r.failed == 2 ? process_failed : process_running;
    third->state = r.failed == 3 ? process_finished : process_running;
    second->time = third->time = 40;
    picture p = at_frame(100);
    EXPECT_EQ(p.count_in_line(3, 14), ink_of(r.status));
    // The line's right end: the advances before its last character, then that one's ink.
    int right = -1;
    for (int y = text_y + 3 * line_h; y < text_y + 4 * line_h; y++)
      for (int x = 0; x < W; x++)
        if (p.at(x, y) == 14) right = std::max(right, x);
    int end = text_x;
    for (size_t i = 0; i + 1 < r.status.size(); i++) end += advance(uint8_t(r.status[i]));
    EXPECT_EQ(right, end + advance(uint8_t(r.status.back())) - 2);
  }
}

TEST_F(BootScreen, SystemErrorReplacesTheScreen) {
  poke_proc(root, 0, 3);
  picture p = at_frame(45);
  std::string text = "** system error 3 **";
  EXPECT_EQ(p.count(14), ink_of(text));
  EXPECT_EQ(p.count(1), W * H - ink_of(text));
  EXPECT_EQ(p.count_in_line(0, 14), ink_of(text)) << "at (35, 200)";
  poke_proc(root, 0, 0);
}

TEST_F(BootScreen, ShownThroughTheVideoOutputInTheBootPalette) {
  int w = 0, h = 0;
  app.frame_count = 1 + 45;
  const uint32_t *frame = generate_video_out(&w, &h);
  ASSERT_EQ(frame, back_page) << "the boot screen is a frame";
  EXPECT_EQ(w, W);
  std::vector<uint8_t> px(size_t{W} * H);
  read_video_memory(draw_boot(), px.data());
  for (int i : {0, W * 3 + 3, W * 100, W * 150 + 40})
    EXPECT_EQ(frame[i], boot_palette[px[size_t(i)]]) << i;
  EXPECT_NE(frame[0], 0u);
}

TEST(LilFont, PrintableAsciiHasInkAndFitsItsAdvance) {
  const uint8_t *f = lil_font_dat();
  EXPECT_EQ(f[0], 5);
  EXPECT_EQ(f[1], 10);
  EXPECT_EQ(f[2], 11);
  EXPECT_EQ(f[5], 3);
  for (int c = 33; c < 127; c++) {
    uint8_t ink = 0;
    for (int r = 0; r < 8; r++) ink |= f[8 * c + r];
    int width = 0;
    while (ink >> width) width++;
    EXPECT_GT(width, 0) << char(c);
    EXPECT_EQ(advance(uint8_t(c)), width + 1) << char(c) << ": one blank column after the ink";
  }
  EXPECT_EQ(advance(' '), 4);
  // No two printable characters look the same.
  for (int a = 33; a < 127; a++)
    for (int b = a + 1; b < 127; b++)
      EXPECT_NE(memcmp(f + 8 * a, f + 8 * b, 8), 0) << char(a) << " " << char(b);
}

}  // namespace
