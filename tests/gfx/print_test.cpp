// Text printing: where each control code puts the cursor and the glyphs, the
// styles, the argument forms of _print_m7scii, and random texts that never
// draw outside the clip.
#include <random>
#include <set>
#include <utility>

#include "gfx/print.h"
#include "tests/gfx/gfx_fixture.h"

namespace {

using gfx_test::Gfx;
using script_api_test::R;
using pixel = std::pair<int, int>;

constexpr int font_address = 0x2000;

// A font of 4 x 6 cells whose glyphs are one pixel at their top-left corner,
// but for 'A', a 2 x 2 block.
class Print : public Gfx {
 protected:
  void SetUp() override {
    Gfx::SetUp();
    const uint8_t header[8] = {4, 8, 6, 0, 0, 0, 0, 0};
    for (int i = 0; i < 2048; i++) poke(font_address + i, 0);
    for (int i = 0; i < 8; i++) poke(font_address + i, header[i]);
    for (int c = 16; c < 256; c++) poke(font_address + 8 * c, 1);
    poke(font_address + 8 * 'A', 3);
    poke(font_address + 8 * 'A' + 1, 3);
    poke(ram_font_page, font_address >> 8);
  }
  // Prints at (x, y) with home x = x and foreground 7.
  int print(const std::string &text, int x = 0, int y = 0, int64_t options = 0) {
    poke4(ram_cursor_x, x);
    poke4(ram_cursor_y, y);
    poke4(ram_print_home_x, x);
    return print_m7scii(root->draw_target, text.data(), int64_t(text.size()), options, 7);
  }
  std::set<pixel> lit() const {
    std::set<pixel> s;
    const userdata *t = root->draw_target;
    for (int y = 0; y < int(t->height); y++)
      for (int x = 0; x < int(t->width); x++)
        if (px(x, y)) s.insert({x, y});
    return s;
  }
  static std::set<pixel> block(int x0, int y0, int x1, int y1) {
    std::set<pixel> s;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) s.insert({x, y});
    return s;
  }
};

TEST_F(Print, ControlCodesPlaceGlyphs) {
  struct Case {
    const char *what;
    std::string text;
    int x, y;
    std::set<pixel> lit;
    int64_t max_x, max_y;  // the extents reached, the appended newline included
  };
  const Case cases[] = {
      {"repeat 3", "\001" "3a", 0, 0, {{0, 0}, {4, 0}, {8, 0}}, 12, 6},
      {"repeat 0 skips one byte", "\001" "0ab", 0, 0, {{0, 0}}, 4, 6},
      {"repeat a newline", "\001" "2\n", 0, 0, {}, 0, 18},
      {"cursor x - 16", "\003" "0a", 20, 0, {{4, 0}}, 20, 6},
      {"cursor x + 0", "\003" "ga", 20, 0, {{20, 0}}, 24, 6},
      {"cursor x and y", "\005" "kka", 0, 0, {{4, 4}}, 8, 10},
      {"backspace", "ab\bc", 0, 0, {{0, 0}, {4, 0}}, 8, 6},
      {"tab of 8 from 8", "\006" "s2\ta", 8, 0, {{16, 0}}, 20, 6},
      {"tab of 8 from 3", "\006" "s2\ta", 3, 0, {{8, 0}}, 12, 6},
      {"default tab: three widths", "a\ta", 0, 0, {{0, 0}, {12, 0}}, 16, 6},
      {"carriage return", "ab\ra", 2, 1, {{2, 1}, {6, 1}}, 10, 7},
      {"overstrike", "e\013" "5'a", 10, 10, {{10, 10}, {9, 3}, {14, 10}}, 18, 16},
      {"wrap edge from r", "\006" "r9" "aaaaaaaaaa", 0, 0,
       {{0, 0}, {4, 0}, {8, 0}, {12, 0}, {16, 0}, {20, 0}, {24, 0}, {28, 0}, {32, 0}, {0, 6}}, 36, 12},
      {"jump to 4 x digits", "\006" "j23a", 0, 0, {{8, 12}}, 12, 18},
      {"home and go home", "a\006" "h\n\006" "ga", 0, 0, {{0, 0}, {4, 0}}, 8, 6},
      {"wait stops the print", "ab\006" "2cd", 0, 0, {{0, 0}, {4, 0}}, 8, 0},
      {"inline hex glyph", "\006" ":0100000000000000a", 0, 0, {{0, 0}, {8, 0}}, 12, 8},
      {"short hex glyph prints as text", "\006" ":0100", 0, 0, {{0, 0}, {4, 0}, {8, 0}, {12, 0}}, 16, 6},
      {"inline byte glyph", "\006" ".\001\001\001\001\001\001\001\001", 0, 0, block(0, 0, 0, 7), 8, 8},
      {"character width x", "\006" "x6aa", 0, 0, {{0, 0}, {6, 0}}, 12, 6},
      {"wide", "\006" "wA\006" "-wA", 0, 0, [] {
         auto s = block(0, 0, 3, 1);
         auto t = block(8, 0, 9, 1);
         s.insert(t.begin(), t.end());
         return s;
       }(), 12, 6},
      {"tall", "\006" "tA", 0, 0, block(0, 0, 1, 3), 4, 12},
      {"empty text still breaks the line", "", 5, 2, {}, 5, 8},
  };
  for (const Case &c : cases) {
    run("cls()");
    EXPECT_EQ(print(c.text, c.x, c.y), c.what == std::string("wait stops the print") ? print_suspended : print_done)
        << c.what;
    EXPECT_EQ(lit(), c.lit) << c.what;
    EXPECT_EQ(print_max_x, c.max_x) << c.what;
    EXPECT_EQ(print_max_y, c.max_y) << c.what;
  }
}

TEST_F(Print, OutlinesBackgroundAndColours) {
  print("\006" "o9ffa", 5, 5);
  EXPECT_EQ(lit(), block(4, 4, 6, 6));
  EXPECT_EQ(px(5, 5), 0xC7);
  EXPECT_EQ(px(4, 4), 0xC9);
  run("cls()");
  print("\006" "o902a", 5, 5);  // only the pixel above
  EXPECT_EQ(lit(), (std::set<pixel>{{5, 4}, {5, 5}}));
  run("cls()");
  // Solid background: the cell with its one-pixel margin, in the plain byte.
  print("\002" "5a", 5, 5);
  EXPECT_EQ(lit(), block(4, 4, 8, 10));
  EXPECT_EQ(px(4, 4), 5);
  EXPECT_EQ(px(5, 5), 0xC7);
  run("cls()");
  print("\014" "9a", 0, 0);
  EXPECT_EQ(px(0, 0), 0xC9);
  EXPECT_EQ(peek2(ram_draw_colour), 9);
}

TEST_F(Print, PokesGoThroughRam) {
  print("\006" "!5f00ab");
  EXPECT_EQ(peek(0x5F00), 'a');
  EXPECT_EQ(peek(0x5F01), 'b');
  EXPECT_EQ(count_nonzero(), 0);
  print("\006" "@5f100002xyza");  // two bytes poked, then printing goes on
  EXPECT_EQ(peek(0x5F10), 'x');
  EXPECT_EQ(peek(0x5F11), 'y');
  EXPECT_EQ(lit(), (std::set<pixel>{{0, 0}, {4, 0}}));
  // A poke of the cursor moves the print.
  run("cls()");
  print("\006" "@54f00001\024a");
  EXPECT_EQ(lit(), (std::set<pixel>{{20, 0}}));
  // The masks hold for the whole print: a poke of the read mask changes RAM only.
  run("cls()");
  print("\006" "@550800010a");  // read mask '0' (0x30) keeps no bit of colour 7
  EXPECT_EQ(peek(0x5508), '0');
  EXPECT_EQ(px(0, 0), 0xC7);
  poke(0x5508, 0x3F);
}

TEST_F(Print, FontMetricsAndOverrides) {
  // All-zero metrics mean 8 x 8; RAM nibbles override them.
  for (int i = 0; i < 3; i++) poke(font_address + i, 0);
  print("aa");
  EXPECT_EQ(lit(), (std::set<pixel>{{0, 0}, {8, 0}}));
  run("cls()");
  poke(ram_print_metrics, 0x35);  // width 5, height 3
  print("aa\na");
  EXPECT_EQ(lit(), (std::set<pixel>{{0, 0}, {5, 0}, {0, 3}}));
  // Per-character adjustments: 'b' (even: the low nibble) one narrower and
  // one pixel higher.
  poke(ram_print_metrics, 0);
  poke(font_address + 5, 1);
  poke(font_address + ('b' >> 1), 0x0F);
  run("cls()");
  print("bc", 0, 4);
  EXPECT_EQ(lit(), (std::set<pixel>{{0, 3}, {7, 4}}));
  // A font whose header and glyphs lie on two RAM pages is read across them.
  run("cls() poke(0x5f56, 0x2f) poke(0x2f00, 4, 8, 6, 0, 0, 0, 0, 0)");
  poke(0x2F00 + 8 * 'z' + 1, 1);  // 'z' at 0x32D0 and 'a' at 0x3208: page 3
  poke(0x2F00 + 8 * 'a', 1);
  print("za");
  EXPECT_EQ(lit(), (std::set<pixel>{{0, 1}, {4, 0}}));
  // A missing argument draws the code byte as a glyph (here an empty one).
  poke(ram_print_flags, 4);  // no newline appended
  print("\003");
  EXPECT_EQ(print_max_x, 4);
}

TEST_F(Print, ScriptArgumentForms) {
  run("color(6) cursor(3, 4)");
  EXPECT_EQ(run("return _print_m7scii('a')"), (R{"i:7", "i:10"}));
  EXPECT_EQ(px(3, 4), 0xC6);  // the draw colour of the fixture (6)
  EXPECT_EQ(run("return _print_m7scii('a', 9)"), (R{"i:7", "i:16"}));
  EXPECT_EQ(px(3, 10), 0xC9);
  EXPECT_EQ(run("return _print_m7scii('a', 12, nil, nil)"), (R{"i:7", "i:22"}));
  EXPECT_EQ(run("return _print_m7scii(42, 20, 1, 8)"), (R{"i:28", "i:7"}));
  EXPECT_EQ(px(20, 1), 0xC8);
  EXPECT_EQ(run("return peek4(0x54f8), peek4(0x54f0), peek4(0x54f4)"), (R{"i:20", "i:20", "i:7"}));
  EXPECT_EQ(run("return _print_m7scii({})"), R{});
  EXPECT_EQ(run("return _printh({})"), R{});
  // A line written to the terminal, and its bytes.
  EXPECT_EQ(charge_of("_printh", "string.rep('-', 160)"), host_line_cycles + 10);
}

TEST_F(Print, RandomTextsStayInsideTheClip) {
  std::mt19937 rng(14);
  const std::string alphabet = std::string("\001\002\003\004\005\006\007\010\011\012\013\014\015\016\017") +
                               "0123456789abdefghijkmnopqrstuvwxyz-#$=.:!@ \377\200A";
  for (int round = 0; round < 300; round++) {
    run("cls(170) clip(" + std::to_string(rng() % 20) + ", " + std::to_string(rng() % 12) + ", " +
        std::to_string(rng() % 30) + ", " + std::to_string(rng() % 20) + ")");
    poke(ram_print_attribs, int(rng() % 256));
    std::string text;
    for (int i = 0, n = int(rng() % 40); i < n; i++) text += alphabet[rng() % alphabet.size()];
    int result = print(text, int(rng() % 60) - 6, int(rng() % 40) - 6, rng() % 2 ? 0x10 : 0);
    EXPECT_NE(result, print_stopped);
    const process *P = root;
    for (int y = 0; y < 32; y++)
      for (int x = 0; x < 48; x++)
        if (x < P->clip_x0 || x >= P->clip_x1 || y < P->clip_y0 || y >= P->clip_y1)
          ASSERT_EQ(px(x, y), 170) << "round " << round << " at " << x << ", " << y;
  }
}

TEST_F(Print, EveryPrintEnds) {
  // The longest repeats of the widest steps, past the cpu limit: the print
  // stops there and the binding raises the limit's error.
  std::string text;
  for (int i = 0; i < 20000; i++) text += "\001\377\006" "o9ff\006" "w\377";
  cpu_cycles = 0;
  cpu_cycles_max = 1000;
  int r = print(text);
  EXPECT_EQ(r, print_stopped);
  EXPECT_TRUE(cpu_overrun());
  cpu_cycles = 0;
  EXPECT_EQ(run("return _print_m7scii(string.rep('\\1\\255\\255', 1e6))"), R{"error: test:1: cpu limit exceeded"});
  cpu_cycles_max = 0;
  cpu_cycles = 0;
}

}  // namespace
