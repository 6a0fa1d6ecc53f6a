// Draw state: the pixel rule, colour tables, masks, fill patterns, clip,
// camera and draw target, through the script API and the plain functions.
#include "tests/gfx/gfx_fixture.h"

#include "kernel/ram.h"

namespace {

using gfx_test::Gfx;
using script_api_test::R;

TEST(DefaultColtabs, TablesPalettesAndRemap) {
  init_default_coltabs();
  EXPECT_EQ(default_coltabs[0 * 64 + 17], 17);                    // table 0 row 0: identity
  EXPECT_EQ(default_coltabs[5 * 64 + 17], 0xC5);                  // row s: 0xC0 | s
  EXPECT_EQ(default_coltabs[63 * 64 + 2], 0xFF);
  EXPECT_EQ(default_coltabs[coltab_size + 9 * 64 + 3], 0x43);     // table 1: 0x40 | d
  EXPECT_EQ(default_coltabs[2 * coltab_size + 9 * 64 + 3], 0x83); // table 2: 0x80 | d
  EXPECT_EQ(default_coltabs[3 * coltab_size + 0 * 64 + 3], 0xC3); // table 3: 0xC0 | d
  EXPECT_EQ(default_indexed_pal[40], 40);
  EXPECT_EQ(default_system_pal[8], 0xff004du);
  EXPECT_EQ(default_system_pal[64 + 31], 0xff8557u);
  EXPECT_EQ(default_system_pal[3 * 64 + 40], 0u);
}

TEST_F(Gfx, PixelRuleVectors) {
  // Masks 0x3F: colour 0 leaves the pixel alone, colour 7 sets the low six bits.
  run("poke(0x5509, 0x3f)");
  ud_elements(root->draw_target)[1 * 48 + 2] = 0xC5;
  run("pset(2, 1, 0)");
  EXPECT_EQ(px(2, 1), 0xC5);
  run("pset(2, 1, 7)");
  EXPECT_EQ(px(2, 1), 0xC7);
  // Target mask 0, write mask 0xFF: colour 0 writes 0, colour 7 writes 0xC7.
  run("poke(0x5509, 0xff, 0, 0)");
  ud_elements(root->draw_target)[0] = 0x2A;
  run("pset(0, 0, 0)");
  EXPECT_EQ(px(0, 0), 0);
  run("pset(0, 0, 7)");
  EXPECT_EQ(px(0, 0), 0xC7);
}

TEST_F(Gfx, PatternPicksTheHighColourByte) {
  run("poke(0x5509, 0xff, 0, 0) fillp(0x8000) pset(0, 0, 0x0c05) pset(1, 0, 0x0c05) pset(4, 4, 0x0c05)");
  EXPECT_EQ(px(0, 0), 0xCC);  // pattern bit set: high byte
  EXPECT_EQ(px(1, 0), 0xC5);
  EXPECT_EQ(px(4, 4), 0xCC);  // the 4 x 4 pattern repeats
}

TEST_F(Gfx, ColourWordAndFillPattern) {
  run("fillp(0x5a5a)");
  auto pattern = run("return peek(0x5500, 8)");
  run("fillp(0) pset(0, 0, 0x15a5a0008)");
  EXPECT_EQ(run("return peek(0x5500, 8)"), pattern);
  EXPECT_EQ(run("return peek2(0x550c)"), R{"i:8"});
  run("fillp(0) pset(0, 0, 0x5a5a0009)");  // no bit 32: the pattern stays
  EXPECT_EQ(run("return peek(0x5500)"), R{"i:0"});
  // Row bytes repeat each 4-bit row in both nibbles, rows 4-7 repeat rows 0-3.
  run("fillp(0x8421)");
  EXPECT_EQ(run("return peek(0x5500, 8)"),
            (R{"i:17", "i:34", "i:68", "i:136", "i:17", "i:34", "i:68", "i:136"}));
  // Eight arguments: bit-reversed row bytes.
  run("fillp(0x80, 1, 0, 0, 0, 0, 0, 3)");
  EXPECT_EQ(run("return peek(0x5500, 8)"),
            (R{"i:1", "i:128", "i:0", "i:0", "i:0", "i:0", "i:0", "i:192"}));
  // Bit 35 sets the inverted flag.
  run("pset(0, 0, 0x800000007)");
  EXPECT_EQ(root->inverted_fill, 1);
}

TEST_F(Gfx, ColorStoresSixteenBits) {
  run("color()");
  EXPECT_EQ(run("return peek2(0x550c)"), R{"i:6"});
  run("color(0x100000008)");
  EXPECT_EQ(run("return peek2(0x550c)"), R{"i:8"});
  run("fillp(0) color(0x1ffff0009)");
  EXPECT_EQ(run("return peek(0x5500), peek(0x550c)"), (R{"i:0", "i:9"}));
}

TEST_F(Gfx, ClipVectors) {
  EXPECT_EQ(run("return clip(10, 10, 20, 20)"), (R{"i:0", "i:0", "i:48", "i:32", "b:false"}));
  EXPECT_EQ(run("return clip(0, 0, 100, 100, true)"), (R{"i:10", "i:10", "i:20", "i:20", "b:false"}));
  EXPECT_EQ((R{std::to_string(root->clip_x0), std::to_string(root->clip_y0),
               std::to_string(root->clip_x1), std::to_string(root->clip_y1)}),
            (R{"10", "10", "30", "30"}));
  EXPECT_EQ(run("return clip()"), (R{"i:10", "i:10", "i:20", "i:20", "b:false"}));
  EXPECT_EQ(root->clip_x1, 48);
  EXPECT_EQ(run("return clip(60, 0, 5, 5)"), (R{"i:0", "i:0", "i:48", "i:32", "b:true"}));
  // Poking the clip words takes effect at the next drawing call.
  run("clip() cls() poke2(0x5528, 4, 4, 6, 6) rectfill(0, 0, 47, 31, 1)");
  EXPECT_EQ(count_nonzero(), 4);
  EXPECT_EQ(px(5, 5), 0xC1);
}

// clip reads the rectangle as last refreshed, not the clip words poked since;
// a start past the target is reported as it is.
TEST_F(Gfx, ClipReportsTheLastRefreshedRectangle) {
  run("clip(10, 10, 20, 20) poke2(0x5528, 1, 1, 5, 5)");
  EXPECT_EQ(run("return clip(0, 0, 100, 100, true)"), (R{"i:10", "i:10", "i:20", "i:20", "b:false"}));
  EXPECT_EQ(root->clip_x0, 10);
  EXPECT_EQ(root->clip_x1, 30);
  run("clip(60, 0, 5, 5)");
  EXPECT_EQ(run("return clip()"), (R{"i:60", "i:0", "i:-12", "i:5", "b:false"}));
}

TEST_F(Gfx, ClipWithoutTargetDoesNothing) {
  root->draw_target = nullptr;
  EXPECT_EQ(run("return clip(1, 2, 3, 4)"), R{});
  EXPECT_EQ(run("return fillp(0xffff)"), R{});
  EXPECT_EQ(run("return peek(0x5500)"), R{"i:0"});
}

TEST_F(Gfx, CameraMovesDrawing) {
  EXPECT_EQ(run("return camera(5, 3)"), (R{"i:0", "i:0"}));
  run("pset(10, 10, 1)");
  EXPECT_EQ(px(5, 7), 0xC1);
  EXPECT_EQ(run("return pget(10, 10)"), R{"i:193"});
  EXPECT_EQ(run("return camera()"), (R{"i:5", "i:3"}));
}

TEST_F(Gfx, PalForms) {
  run("poke4(0x5000, 0x123456)");
  run("pal()");
  EXPECT_EQ(run("return peek4(0x5000)"), R{"i:1193046"});
  run("pal(2)");
  EXPECT_EQ(run("return peek4(0x5000 + 4 * 8), peek4(0x5000 + 256 + 4 * 12)"), (R{"i:16711757", "i:2731519"}));
  // Single entries.
  run("pal(3, 9)");
  EXPECT_EQ(run("return peek(0x8000 + 64 * 3), peek(0x8000 + 64 * 3 + 63)"), (R{"i:201", "i:201"}));
  run("pal(3, 9, 64)");
  EXPECT_EQ(run("return peek(0x9000 + 64 * 3)"), R{"i:201"});
  run("pal(70, 5, 1) pal(300, 0xabcdef, 2)");
  EXPECT_EQ(run("return peek(0x5480 + 6), peek4(0x5000 + 4 * 44)"), (R{"i:5", "i:11259375"}));
  // Table form: the table index is masked like the single form.
  run("pal({[3] = 9, x = 1}, 0x1c0)");
  EXPECT_EQ(run("return peek(0xb000 + 64 * 3)"), R{"i:201"});
  EXPECT_EQ(charge_of("pal", "{[3] = 9, x = 1, [4] = 2}"), 12);
  EXPECT_EQ(charge_of("pal", "3, 9"), 4) << "a single entry as a pair";
  // Reset: 8 per restored table, nothing when none was changed.
  run("pal(0)");
  EXPECT_EQ(charge_of("pal", "0"), 0);
  run("pal(3, 9) pal(3, 9, 64)");
  EXPECT_EQ(charge_of("pal", "0"), 16);
  EXPECT_EQ(run("return peek(0x8000 + 64 * 3), peek(0x9000 + 64 * 3 + 5)"), (R{"i:195", "i:69"}));
  run("poke(0x5400, 7) pal(5, 1, 1) pal()");
  EXPECT_EQ(run("return peek(0x5400), peek(0x5480 + 5)"), (R{"i:0", "i:5"}));
}

// A userdata mapped over a colour table replaces it; unmapped, the process's
// own table is drawn through again.
TEST_F(Gfx, ColourTableMappedThenUnmapped) {
  run("U = userdata('u8', 4096) _map_ram(U, 0x8000) rectfill(0, 0, 3, 3, 1)");
  EXPECT_EQ(px(1, 1), 0);
  run("_unmap_ram(U) rectfill(0, 0, 3, 3, 1)");
  EXPECT_EQ(px(1, 1), 0xC1);
  run("pal(3, 9) _unmap_ram(U) rectfill(0, 0, 3, 3, 3)");
  EXPECT_EQ(px(1, 1), 0xC9);
}

// pal() zeroes the display registers in the own page 5, not in a userdata
// mapped over it.
TEST_F(Gfx, PalZeroesTheOwnDisplayRegisters) {
  run("poke(0x5400, 9) V = userdata('u8', 4096) _map_ram(V, 0x5000) poke(0x5400, 7) pal()");
  EXPECT_EQ(run("return peek(0x5400)"), R{"i:7"});
  EXPECT_EQ(run("_unmap_ram(V) return peek(0x5400)"), R{"i:0"});
}

TEST_F(Gfx, PaltRows) {
  run("palt(0, false)");
  EXPECT_EQ(run("return peek(0x8000), peek(0x8000 + 40)"), (R{"i:192", "i:192"}));
  run("palt()");
  EXPECT_EQ(run("return peek(0x8000), peek(0x8000 + 40), peek(0x8000 + 64 + 4)"), (R{"i:0", "i:40", "i:193"}));
  EXPECT_TRUE(root->ram->page_flags[coltab_first_page] & page_flag_colour_table);
  run("palt(0x45, true)");  // table 1, row 5: 0x40 | d
  EXPECT_EQ(run("return peek(0x9000 + 64 * 5 + 7)"), R{"i:71"});
  run("palt(3)");  // bits 0 and 1
  EXPECT_EQ(run("return peek(0x8000 + 64 + 9), peek(0x8000 + 128 + 9)"), (R{"i:9", "i:194"}));
}

TEST_F(Gfx, DrawTargetAnchoredAndReshaped) {
  // The script drops its reference: the anchor keeps the bitmap alive.
  run("_set_draw_target(userdata('u8', 16, 16)) T = nil collectgarbage() collectgarbage()");
  run("rectfill(0, 0, 15, 15, 1)");
  EXPECT_EQ(count_nonzero(), 256);
  // A reshape shrinks the target: the clip follows the new shape.
  target(32, 16);
  run("T:mutate('u8', 8, 8) rectfill(0, 0, 100, 100, 3)");
  const uint8_t *e = ud_elements(root->draw_target);
  for (int i = 0; i < 64; i++) EXPECT_EQ(e[i], 0xC3) << i;
  for (int i = 64; i < 512; i++) ASSERT_EQ(e[i], 0) << i;
  EXPECT_EQ(root->clip_x1, 8);
  EXPECT_EQ(root->clip_y1, 8);
}

TEST_F(Gfx, FreedTargetIsForgotten) {
  userdata *t = root->draw_target;
  draw_target_block_freed(root, reinterpret_cast<uint8_t *>(t) - 8, 64);
  EXPECT_EQ(root->draw_target, nullptr);
  EXPECT_EQ(run("rectfill(0, 0, 10, 10, 1) return pget(0, 0)"), R{});
}

TEST_F(Gfx, Convert8To32MasksHighBytes) {
  run("pal(2)");
  uint8_t src[3] = {8, 8 + 64, 200};
  uint8_t dst[12];
  convert_bitmap_8_to_32(src, dst, 3);
  EXPECT_EQ(dst[0], 0xff);
  EXPECT_EQ(dst[1], 0x00);
  EXPECT_EQ(dst[2], 0x4d);
  EXPECT_EQ(dst[3], 255);
  EXPECT_EQ(0, memcmp(dst, dst + 4, 4));
  EXPECT_EQ(0, memcmp(dst, dst + 8, 4));  // 200 & 63 = 8
}

}  // namespace
