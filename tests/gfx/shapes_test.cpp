// Shape primitives: the vectors of each binding, properties on random shapes
// (nothing outside the clip, fills cover outlines, fast path = general path,
// the camera moves the picture) and hostile arguments.
#include "tests/gfx/gfx_fixture.h"

#include <chrono>
#include <memory>
#include <random>
#include <vector>

namespace {

using gfx_test::Gfx;
using gfx_test::host_canvas;
using script_api_test::R;

TEST_F(Gfx, LineContinuation) {
  run("line() line(10, 10)");
  EXPECT_EQ(count_nonzero(), 0);
  EXPECT_EQ(run("return peek4(0x5520), peek4(0x5524), peek(0x551f)"), (R{"i:10", "i:10", "i:0"}));
  run("line(20, 10, 1)");
  EXPECT_EQ(count_nonzero(), 11);
  for (int x = 10; x <= 20; x++) EXPECT_EQ(px(x, 10), 0xC1) << x;
  EXPECT_EQ(charge_of("line", "3, 3, 3, 3"), 1);
  run("cls() line(0, 0, 9, 3, 2) line(9, 9)");  // continues from (9, 3)
  EXPECT_EQ(px(9, 9), 0xC2);
  EXPECT_EQ(px(9, 5), 0xC2);
  EXPECT_EQ(px(0, 0), 0xC2);
  // Four arguments store the end point and leave a forgotten start forgotten.
  run("cls() line() line(0, 0, 10, 0, 1) line(20, 20)");
  EXPECT_EQ(count_nonzero(), 11);
  EXPECT_EQ(run("return peek4(0x5520), peek4(0x5524), peek(0x551f)"), (R{"i:20", "i:20", "i:0"}));
}

TEST_F(Gfx, RectEdges) {
  run("rect(0, 0, 5, 1, 1)");
  EXPECT_EQ(count_nonzero(), 12);
  run("cls() rect(2, 2, 6, 5, 1)");
  EXPECT_EQ(count_nonzero(), 14);
  EXPECT_EQ(px(4, 3), 0);
  EXPECT_EQ(px(6, 4), 0xC1);
}

TEST_F(Gfx, CircleNegativeRadius) {
  run("circ(10, 10, -1, 1)");
  EXPECT_EQ(count_nonzero(), 0);
  run("clip(4, 4, 10, 10) circfill(10, 10, -1, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 100);
  EXPECT_EQ(root->inverted_fill, 1);
  run("circfill(10, 10, -1, 1)");  // the flag holds for one call only
  EXPECT_EQ(root->inverted_fill, 0);
  run("clip() cls() circfill(20, 15, 3, 1)");
  EXPECT_EQ(px(20, 15), 0xC1);
  EXPECT_EQ(px(20, 12), 0xC1);
  EXPECT_EQ(px(17, 12), 0);
}

TEST_F(Gfx, InvertedRectfill) {
  run("clip(8, 8, 20, 10) rectfill(0, 0, 47, 31, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 0);
  run("rectfill(30, 20, 40, 25, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 200);
  run("cls() rectfill(10, 10, 11, 11, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 196);
  EXPECT_EQ(px(10, 10), 0);
}

TEST_F(Gfx, InvertedOvalfill) {
  run("clip(20, 12, 8, 8) ovalfill(-100, -100, 150, 150, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 0);
  run("ovalfill(0, 0, 10, 10, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 64);
  // Inverted inside the clip: exactly the complement of the plain fill.
  run("clip() cls() ovalfill(5, 5, 30, 20, 1)");
  int inside = count_nonzero();
  run("cls() ovalfill(5, 5, 30, 20, 1 | 1 << 35)");
  EXPECT_EQ(count_nonzero(), 48 * 32 - inside);
  for (int y = 0; y < 32; y++)
    for (int x = 0; x < 48; x++) {
      bool in = x >= 5 && x <= 30 && y >= 5 && y <= 20;
      if (!in) ASSERT_EQ(px(x, y), 0xC1) << x << "," << y;
    }
}

TEST_F(Gfx, RoundedRectCornerArc) {
  target(480, 270);
  // A 400 x 200 rectangle at (0, 0): clip only its lower right corner.
  run("clip(388, 188, 12, 12) rrect(0, 0, 400, 200, 10, 1)");
  int n = count_nonzero();
  EXPECT_GT(n, 10);
  EXPECT_EQ(px(399, 188), 0xC1);  // the right edge just above the arc
  EXPECT_EQ(px(388, 199), 0xC1);  // the bottom edge just left of it
  EXPECT_EQ(px(399, 199), 0);     // the corner itself is rounded off
  run("clip() cls() rrect(10, 10, 30, 20, 4, 1)");
  EXPECT_EQ(px(20, 10), 0xC1);
  EXPECT_EQ(px(10, 20), 0xC1);
  EXPECT_EQ(px(10, 10), 0);
  run("cls() rrect(10, 10, 0, 20, 4, 1)");
  EXPECT_EQ(count_nonzero(), 0);
  run("cls() rrectfill(10, 10, 30, 20, 4, 1)");
  EXPECT_EQ(px(25, 20), 0xC1);
  EXPECT_EQ(px(10, 10), 0);
  EXPECT_EQ(px(39, 20), 0xC1);
}

TEST_F(Gfx, SpriteFlags) {
  run("fset(3, 2, true)");
  EXPECT_EQ(run("return fget(3, 2), fget(3), fget(3, 1)"), (R{"b:true", "i:4", "b:false"}));
  run("fset(3)");
  EXPECT_EQ(run("return fget(3)"), R{"i:0"});
  run("fset(3 + 0x2000, 0x81)");
  EXPECT_EQ(run("return fget(3), peek(0xc003)"), (R{"i:129", "i:129"}));
}

TEST_F(Gfx, MapCells) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(run("mset(1, 1, 5) return mget(1, 1)"), R{});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "mset no map\nmget no map\n");
  run("M = userdata('i16', 4, 3) _map_ram(M, 0x100000)");
  run("mset(1, 2, 0x18005) mset(4, 0, 9)");
  EXPECT_EQ(run("return mget(1, 2)"), R{"i:-32763"});
  EXPECT_EQ(run("return mget(-1, 0)"), R{});
  EXPECT_EQ(run("return mget(3, 3)"), R{});
  EXPECT_EQ(run("return mget(0, 0)"), R{"i:0"});
}

TEST_F(Gfx, BatchForms) {
  // Two columns: each record from (x0, y0) to (0, 0) in the draw colour.
  run("color(2) rectfill(userdata('f64', 2, 2, '3,1,0,2'))");
  EXPECT_EQ(count_nonzero(), 9);  // 4 x 2 and 1 x 3, overlapping in two pixels
  EXPECT_EQ(px(3, 1), 0xC2);
  EXPECT_EQ(px(0, 2), 0xC2);
  run("cls() pset(userdata('f64', 3, 2, '1,1,5,2,2,7'))");
  EXPECT_EQ(px(1, 1), 0xC5);
  EXPECT_EQ(px(2, 2), 0xC7);
  EXPECT_EQ(count_nonzero(), 2);
  run("cls() circfill(userdata('f64', 4, 1, '10,10,2,3'))");
  EXPECT_EQ(px(10, 8), 0xC3);
  EXPECT_EQ(px(10, 7), 0);
  // A negative offset or stride never reads before the array.
  run("cls() pset(userdata('f64', 3, 2, '1,1,5,2,2,7'), -3)");
  EXPECT_EQ(count_nonzero(), 0);
  run("cls() pset(userdata('f64', 3, 2, '1,1,5,2,2,7'), 3, 5, 3, -3)");
  EXPECT_EQ(count_nonzero(), 2);
  run("cls() pset(userdata('f64', 3, 2, '1,1,5,2,2,7'), 1, 5, 3, 3)");  // second record overruns
  EXPECT_EQ(count_nonzero(), 1);
  run("cls() pset(userdata('f64', 3, 2, '1,1,5,2,2,7'), 0, 5, 3, 0x7fffffffffffffff)");
  EXPECT_EQ(count_nonzero(), 1);
  EXPECT_EQ(charge_of("pset", "userdata('f64', 3, 2, '1,1,5,2,2,7')"), 6);
  // Per record, then the pixels: each its own charge of at least 1.
  EXPECT_EQ(charge_of("rectfill", "userdata('f64', 5, 1, '0,0,0,0,1')"), 4);
  EXPECT_EQ(charge_of("circfill", "userdata('f64', 4, 1, '0,0,-1,1')"), 5);
}

// A record's colour is a whole colour word: bit 35 inverts the fill and bit 32
// applies the pattern in bits 16-31, as in the single forms.
TEST_F(Gfx, BatchColourWords) {
  run("rectfill(userdata('f64', 5, 1, '2,2,5,5,' .. (1 | 1 << 35)))");
  EXPECT_EQ(count_nonzero(), 48 * 32 - 16);
  EXPECT_EQ(px(3, 3), 0);
  EXPECT_EQ(px(10, 10), 0xC1);
  run("cls() pset(userdata('f64', 3, 1, '0,0,' .. (0x100000000 | 0xffff << 16 | 0x0302)))");
  EXPECT_EQ(px(0, 0), 0xC3);  // the whole pattern set: the high colour byte
  run("cls() fillp(0) circfill(userdata('f64', 4, 1, '20,20,-1,' .. (4 | 1 << 35)))");
  EXPECT_EQ(count_nonzero(), 48 * 32);
}

TEST_F(Gfx, ClsFillsAndCharges) {
  run("cursor(5, 6) cls(9)");
  EXPECT_EQ(count_nonzero(), 48 * 32);
  EXPECT_EQ(px(47, 31), 9);
  EXPECT_EQ(run("return peek4(0x54f0), peek4(0x54f4)"), (R{"i:0", "i:0"}));
  EXPECT_EQ(charge_of("cls", ""), 48 * 32 / 64);
}

TEST_F(Gfx, HostileArgumentsFinishQuickly) {
  target(480, 270);
  auto start = std::chrono::steady_clock::now();
  auto r = run(R"(
    local big, nan = 1 << 62, 0/0
    circfill(240, 135, big, 1) circ(240, 135, big, 2) circ(240, 200000, 199900, 3)
    circfill(240, 135, 1e300, 1 | 1 << 35) oval(-big, -big, big, big, 4)
    ovalfill(nan, nan, big, 5, 5) rectfill(-big, -big, big, big, 6)
    rect(-big, 3, big, 9, 7) line(-big, -big, big, big, 8) line(math.mininteger, 0, math.maxinteger, 269)
    rrect(-big, -big, big, big, big, 9) rrectfill(0, 0, 1 << 31, 1 << 31, 1 << 30, 10)
    rrectfill(0, 0, 1 << 31, 1 << 31, 1 << 30, 11 | 1 << 35) pset(nan, nan, 1) pget(big, -big)
    camera(math.mininteger, math.maxinteger) circfill(0, 0, big, 1) camera()
    rectfill(userdata('f64', 4, 1, '-1e300,1e300,0,0'))
    circfill(userdata('f64', 3, 1, '240,135,1e18'))
  )");
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(r.empty()) << r[0];
  EXPECT_LT(secs, 2.0);
  EXPECT_EQ(px(0, 0), 0xC1);  // the last shape covering the target: circfill in colour 1
}

/* ---------------------------------------------------------------------- */
/* properties on random shapes                                            */
/* ---------------------------------------------------------------------- */

// Draws one random primitive of kind k into c.
int64_t random_shape(const canvas &c, std::mt19937 &rng, int kind, int colour) {
  std::uniform_int_distribution<int64_t> coord(-40, 120), size(-5, 90);
  int64_t x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
  switch (kind % 8) {
    case 0: return draw_line(c, x0, y0, x1, y1, colour);
    case 1: return rectfill(c, x0, y0, x1, y1, colour);
    case 2: return draw_rect(c, x0, y0, x1, y1, colour);
    case 3: return draw_oval(c, x0, y0, x1, y1, colour);
    case 4: return draw_filloval(c, x0, y0, x1, y1, colour);
    case 5: return draw_rrect(c, x0, y0, size(rng), size(rng), size(rng), colour);
    case 6: return draw_rrectfill(c, x0, y0, size(rng), size(rng), size(rng), colour);
    default: return rectfill_inverted(c, x0, y0, x1, y1, colour);
  }
}

TEST(ShapeProperties, NothingOutsideTheClip) {
  init_default_coltabs();
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; round++) {
    std::uniform_int_distribution<int64_t> dim(1, 70);
    int64_t w = dim(rng), h = dim(rng);
    // Exactly sized: AddressSanitizer reports any write past the block.
    auto pixels = std::make_unique<uint8_t[]>(static_cast<size_t>(w * h));
    canvas c = host_canvas(pixels.get(), w, h);
    std::uniform_int_distribution<int64_t> cw(0, w), ch(0, h);
    c.cx0 = cw(rng), c.cx1 = cw(rng), c.cy0 = ch(rng), c.cy1 = ch(rng);
    if (c.cx0 > c.cx1) std::swap(c.cx0, c.cx1);
    if (c.cy0 > c.cy1) std::swap(c.cy0, c.cy1);
    c.inverted = round % 3 == 0;
    for (int k = 0; k < 8; k++) random_shape(c, rng, k, 1);
    for (int64_t y = 0; y < h; y++)
      for (int64_t x = 0; x < w; x++)
        if (x < c.cx0 || x >= c.cx1 || y < c.cy0 || y >= c.cy1)
          ASSERT_EQ(pixels[static_cast<size_t>(y * w + x)], 0) << round << ": " << x << "," << y;
  }
}

TEST(ShapeProperties, FilledOvalCoversItsOutline) {
  init_default_coltabs();
  std::mt19937 rng(777);
  const int64_t w = 160, h = 120;
  std::vector<uint8_t> outline(w * h), fill(w * h);
  for (int round = 0; round < 500; round++) {
    std::fill(outline.begin(), outline.end(), 0);
    std::fill(fill.begin(), fill.end(), 0);
    canvas co = host_canvas(outline.data(), w, h), cf = host_canvas(fill.data(), w, h);
    std::uniform_int_distribution<int64_t> coord(-20, 170);
    int64_t x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
    if (round % 5 == 0) {  // circles, including the huge-radius path
      int64_t r = round % 10 == 0 ? 70000 + round : round / 5;
      x0 = 80 - r, x1 = 80 + r, y0 = 60 + (round % 10 == 0 ? 40 : 0) - r, y1 = y0 + 2 * r;
      if (round % 10 == 0) y0 = -2 * r + 100, y1 = 100;
    }
    draw_oval(co, x0, y0, x1, y1, 1);
    draw_filloval(cf, x0, y0, x1, y1, 1);
    for (int64_t i = 0; i < w * h; i++)
      if (outline[i]) ASSERT_TRUE(fill[i]) << round << " at " << i % w << "," << i / w;
  }
}

TEST(ShapeProperties, FastSpansMatchThePixelRule) {
  init_default_coltabs();
  std::mt19937 rng(99);
  std::vector<uint8_t> table(4 * coltab_size);
  for (auto &b : table) b = static_cast<uint8_t>(rng());
  const int64_t w = 90, h = 8;
  for (int round = 0; round < 2000; round++) {
    std::vector<uint8_t> a(w * h), b(w * h);
    for (int64_t i = 0; i < w * h; i++) a[i] = b[i] = static_cast<uint8_t>(rng());
    canvas ca = host_canvas(a.data(), w, h, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), 0);
    if (round % 2) for (int k = 0; k < 4; k++) ca.tab[k] = table.data() + coltab_size * k;
    for (auto &p : ca.pattern) p = round % 3 ? static_cast<uint8_t>(rng()) : 0;
    ca.cx0 = rng() % 10, ca.cx1 = w - rng() % 10;
    canvas cb = ca;
    cb.pixels = b.data();
    int64_t x0 = static_cast<int64_t>(rng() % 110) - 10, x1 = x0 + static_cast<int64_t>(rng() % 100);
    int64_t y = rng() % h, colour = static_cast<int>(rng() & 0xFFFF);
    draw_hline(ca, x0, x1, y, static_cast<int>(colour));
    draw_hline_general(cb, x0, x1, y, static_cast<int>(colour));
    ASSERT_EQ(a, b) << round;
  }
}

// rectfill takes several paths (whole-row memsets, per-span loops, a per-rectangle
// table of results for large fills); each must give the pixel rule's bytes.
TEST(ShapeProperties, RectfillMatchesThePixelRuleOnEveryPath) {
  init_default_coltabs();
  std::mt19937 rng(2024);
  std::vector<uint8_t> table(4 * coltab_size);
  for (auto &b : table) b = static_cast<uint8_t>(rng());
  for (int round = 0; round < 600; round++) {
    // Large enough, now and then, for the whole-rectangle paths.
    const int64_t w = round % 4 == 0 ? 200 : 40, h = round % 4 == 0 ? 60 : 12;
    std::vector<uint8_t> got(static_cast<size_t>(w * h)), want;
    for (auto &b : got) b = static_cast<uint8_t>(rng());
    want = got;
    uint8_t masks[3];
    for (auto &m : masks) m = static_cast<uint8_t>(rng());
    if (round % 5 == 0) masks[1] = 0xFF, masks[2] = 0;  // the fast path's masks
    canvas c = host_canvas(got.data(), w, h, masks[0], masks[1], masks[2]);
    if (round % 2) for (int k = 0; k < 4; k++) c.tab[k] = table.data() + coltab_size * k;
    for (auto &p : c.pattern) p = round % 3 ? static_cast<uint8_t>(rng()) : 0;
    if (round % 7 == 0) c.cx0 = rng() % 5, c.cx1 = w - rng() % 5, c.cy0 = rng() % 3, c.cy1 = h - rng() % 3;
    std::uniform_int_distribution<int64_t> cx(-10, w + 10), cy(-10, h + 10);
    int64_t x0 = cx(rng), y0 = cy(rng), x1 = cx(rng), y1 = cy(rng);
    int colour = static_cast<int>(rng() & 0xFFFF);
    rectfill(c, x0, y0, x1, y1, colour);

    for (int64_t y = std::max(std::min(y0, y1), c.cy0); y <= std::min(std::max(y0, y1), c.cy1 - 1); y++)
      for (int64_t x = std::max(std::min(x0, x1), c.cx0); x <= std::min(std::max(x0, x1), c.cx1 - 1); x++) {
        uint8_t &px = want[static_cast<size_t>(y * w + x)];
        px = shape_pixel(c, x, y, colour, px);
      }
    ASSERT_EQ(got, want) << round;
  }
}

TEST(ShapeProperties, LinesVisitOnlyTheirClippedSteps) {
  init_default_coltabs();
  std::mt19937 rng(4242);
  const int64_t w = 64, h = 48;
  for (int round = 0; round < 3000; round++) {
    std::vector<uint8_t> got(w * h), want(w * h);
    canvas c = host_canvas(got.data(), w, h, 0x3F, 0xFF, 0);
    c.cx0 = rng() % 20, c.cx1 = w - rng() % 20, c.cy0 = rng() % 15, c.cy1 = h - rng() % 15;
    std::uniform_int_distribution<int64_t> coord(-100, 160);
    int64_t x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
    int64_t n = draw_line(c, x0, y0, x1, y1, 1);
    // The reference: every step with a clip test.
    if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1);
    int64_t dx = x1 - x0, dy = y1 - y0, steps = std::max(std::abs(dx), std::abs(dy));
    int64_t sx = steps ? dx * 65536 / steps : 0, sy = steps ? dy * 65536 / steps : 0;
    int64_t visited = 0;
    for (int64_t i = 0; i <= steps; i++) {
      int64_t x = (x0 * 65536 + 0x8000 + i * sx) >> 16, y = (y0 * 65536 + 0x8000 + i * sy) >> 16;
      if (x >= c.cx0 && x < c.cx1 && y >= c.cy0 && y < c.cy1) want[y * w + x] = 0xC1, visited++;
    }
    ASSERT_EQ(got, want) << round;
    ASSERT_EQ(n, visited) << round;
  }
}

TEST_F(Gfx, CameraMovesThePicture) {
  target(200, 150);
  std::mt19937 rng(5);
  for (int round = 0; round < 40; round++) {
    char scene[512];
    snprintf(scene, sizeof scene,
             "cls() line(%d, %d, %d, %d, 1) rectfill(%d, %d, %d, %d, 2) circ(%d, %d, %d, 3) "
             "ovalfill(%d, %d, %d, %d, 4) rrect(%d, %d, %d, %d, %d, 5) pset(%d, %d, 6)",
             40 + static_cast<int>(rng() % 60), 40 + static_cast<int>(rng() % 60), 40 + static_cast<int>(rng() % 60),
             40 + static_cast<int>(rng() % 60), 40 + static_cast<int>(rng() % 30), 40 + static_cast<int>(rng() % 30),
             50 + static_cast<int>(rng() % 40), 50 + static_cast<int>(rng() % 40), 70 + static_cast<int>(rng() % 20),
             70 + static_cast<int>(rng() % 20), static_cast<int>(rng() % 25), 40 + static_cast<int>(rng() % 20),
             40 + static_cast<int>(rng() % 20), 60 + static_cast<int>(rng() % 40), 60 + static_cast<int>(rng() % 40),
             40 + static_cast<int>(rng() % 20), 40 + static_cast<int>(rng() % 20), 5 + static_cast<int>(rng() % 50),
             5 + static_cast<int>(rng() % 50), static_cast<int>(rng() % 12), 40 + static_cast<int>(rng() % 60),
             40 + static_cast<int>(rng() % 60));
    run(std::string("camera() ") + scene);
    std::vector<uint8_t> before(ud_elements(root->draw_target), ud_elements(root->draw_target) + 200 * 150);
    int dx = static_cast<int>(rng() % 61) - 30, dy = static_cast<int>(rng() % 61) - 30;
    run("camera(" + std::to_string(dx) + ", " + std::to_string(dy) + ") " + scene + " camera()");
    for (int y = 0; y < 150; y++)
      for (int x = 0; x < 200; x++) {
        int sx = x + dx, sy = y + dy;
        uint8_t want = sx >= 0 && sy >= 0 && sx < 200 && sy < 150 ? before[sy * 200 + sx] : 0;
        ASSERT_EQ(px(x, y), want) << round << " at " << x << "," << y;
      }
  }
}

}  // namespace
