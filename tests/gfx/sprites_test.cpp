// Sprites, blits, maps, textured lines and scaled sprites: the vectors of each
// binding, random differential tests against plain references (memmove,
// nearest-neighbour scaling, the sprite pixel rule), and hostile sizes.
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "gfx/sprites.h"
#include "gfx/tline.h"
#include "tests/gfx/gfx_fixture.h"

namespace {

using gfx_test::Gfx;
using gfx_test::host_canvas;
using script_api_test::R;

// A host-side userdata record with its elements (for the plain functions).
struct host_ud {
  std::vector<uint64_t> block;  // 8-aligned
  host_ud(uint8_t type, int64_t w, int64_t h) : block(size_t(2 + (w * h * utype_size(type) + 7) / 8)) {
    userdata *u = ud();
    u->utype = type, u->dims = 2, u->width = uint32_t(w), u->height = uint32_t(h), u->depth = 1;
  }
  userdata *ud() { return reinterpret_cast<userdata *>(block.data()); }
  uint8_t *px() { return ud_elements(ud()); }
};

/* ---------------------------------------------------------------------- */
/* vectors through the script API                                         */
/* ---------------------------------------------------------------------- */

TEST_F(Gfx, SpriteSlots) {
  run("spr(1, 0, 0)");
  EXPECT_EQ(count_nonzero(), 0);
  // The empty sprite: 16 x 16 of colour 0, drawn opaque once 0 is not transparent.
  run("_set_spr(1) palt(0, false) spr(1, 2, 3)");
  EXPECT_EQ(count_nonzero(), 256);
  EXPECT_EQ(px(2, 3), 0xC0);
  EXPECT_EQ(px(17, 18), 0xC0);
  run("cls() palt() S = userdata('u8', 3, 1, '010203') _set_spr(8193, S) spr(1, 5, 5, true)");
  EXPECT_EQ(px(5, 5), 0xC3);
  EXPECT_EQ(px(7, 5), 0xC1);
  run("cls() spr(S, 5, 5, false, true) spr(16384, 0, 0) spr(-1, 0, 0)");
  EXPECT_EQ(px(5, 5), 0xC1);
  EXPECT_EQ(count_nonzero(), 3);
  run("cls() camera(-10, -1) spr(1, 0, 0) camera()");
  EXPECT_EQ(px(10, 1), 0xC1);
  EXPECT_EQ(charge_of("spr", "1, 0, 0"), 1);
  // A slot never set draws nothing and is charged as an empty draw.
  EXPECT_EQ(charge_of("spr", "99, 0, 0"), 1);
  EXPECT_EQ(charge_of("sspr", "99, 0, 0"), 1);
}

TEST_F(Gfx, SpriteSlotsKeepTheirBitmapsAlive) {
  run("_set_spr(2, userdata('u8', 4, 4, '07070707070707070707070707070707')) collectgarbage()");
  run("spr(2, 0, 0)");
  EXPECT_EQ(px(3, 3), 0xC7);
  // A script that tears the anchors out of the registry cannot leave a freed
  // bitmap in a slot: the slot empties when the bitmap goes.
  run("for k, v in pairs(debug.getregistry()) do"
      "  if type(k) == 'userdata' and type(v) == 'table' then for a in pairs(v) do v[a] = nil end end"
      " end collectgarbage() collectgarbage() cls() spr(2, 0, 0)");
  EXPECT_EQ(count_nonzero(), 0);
  EXPECT_EQ(root->sprite_refs.size(), 0u);
}

TEST_F(Gfx, BlitVectors) {
  run("A = userdata('i16', 4, 4) B = userdata('u8', 4, 4, '01010101010101010101010101010101') blit(B, A)");
  EXPECT_EQ(run("return A:get(0, 0)"), R{"i:0"});
  // One row down and one column right within the same bitmap.
  run("M = userdata('u8', 4, 3, '000102031011121320212223') blit(M, M, 0, 0, 0, 1, 4, 2)");
  EXPECT_EQ(run("return M:get(0, 0, 12)"),
            (R{"i:0", "i:1", "i:2", "i:3", "i:0", "i:1", "i:2", "i:3", "i:16", "i:17", "i:18", "i:19"}));
  run("blit(M, M, 0, 0, 1, 0, 3, 3)");
  EXPECT_EQ(run("return M:get(0, 2, 4)"), (R{"i:16", "i:16", "i:17", "i:18"}));
  // Into the draw target within its clip; the camera is not applied.
  run("clip(1, 1, 2, 2) camera(5, 5) blit(B, nil)");
  EXPECT_EQ(count_nonzero(), 4);
  EXPECT_EQ(px(1, 1), 1);
  EXPECT_EQ(charge_of("blit", "B, nil"), (2 * (2 + 64)) / 64);
  EXPECT_EQ(run("return B:blit(A)"), R{});
}

TEST_F(Gfx, MapVectors) {
  run("S = userdata('u8', 8, 8) for i = 0, 63 do S[i] = 1 + i % 8 end _set_spr(3, S)"
      " M = userdata('i16', 2, 1) M[0] = 3 M[1] = 3 | 0x2000");
  // A 16 x 16 tile stretches the 8 x 8 sprite: column x shows sprite column x / 2.
  run("_draw_map(M, 0, 0, 0, 0, 1, 1, 0, 16, 16)");
  EXPECT_EQ(px(0, 0), 0xC1);
  EXPECT_EQ(px(1, 0), 0xC1);
  EXPECT_EQ(px(15, 15), 0xC8);
  EXPECT_EQ(px(16, 0), 0);
  // Bit 13 turns the tile even at the sprite's own size: rows take the columns.
  run("cls() poke(0x550e, 8, 8) _draw_map(M, 1, 0)");
  EXPECT_EQ(px(0, 0), 0xC1);
  EXPECT_EQ(px(7, 0), 0xC1);
  EXPECT_EQ(px(0, 7), 0xC8);
  // Slot 0 is left out unless RAM 0x5f36 bit 3 is set; a flag mask tests 0xc000 + slot.
  run("cls() _set_spr(0, S) M[0] = 0 _draw_map(M, 0, 0, 0, 0, 1, 1)");
  EXPECT_EQ(count_nonzero(), 0);
  run("poke(0x5f36, 8) _draw_map(M, 0, 0, 0, 0, 1, 1, 2)");
  EXPECT_EQ(count_nonzero(), 0);
  run("fset(0, 1, true) _draw_map(M, 0, 0, 0, 0, 1, 1, 2)");
  EXPECT_EQ(count_nonzero(), 64);
  // Tile sizes of 0 by any path draw nothing; a rectangle off the map keeps cell places.
  run("cls() _draw_map(M, 0, 0, 0, 0, 2, 1, 0, 0, 8) _draw_map(M, 0, 0, 0, 0, 2, 1, 0, 8, -3)");
  EXPECT_EQ(count_nonzero(), 0);
  run("_draw_map(M, -1, 0, 0, 0, 2, 1)");
  EXPECT_EQ(px(7, 0), 0);
  EXPECT_EQ(px(8, 0), 0xC1);
  EXPECT_EQ(charge_of("_draw_map", "M, 0, 0, 0, 0, 2, 1"), 2 * 2 + 64 * 2 / 3);
  // Tiles drawn as lines of one pixel: 2 a line rather than the pixels / 3.
  run("clip(0, 0, 1, 32)");
  EXPECT_EQ(charge_of("_draw_map", "M, 0, 0, 0, 0, 2, 1, 0, 8, 16"), 2 + 2 * 16);
  run("clip()");
  EXPECT_EQ(run("return _draw_map(userdata('u8', 2, 2))"), R{});
}

TEST_F(Gfx, TlineVectors) {
  run("T = userdata('u8', 16, 4) for i = 0, 63 do T[i] = 1 + i % 16 end");
  // u1 and v1 omitted: one texel a pixel from (u0, v0).
  run("tline3d(T, 0, 0, 5, 0, 2, 1)");
  for (int x = 0; x <= 5; x++) EXPECT_EQ(px(x, 0), 0xC0 | (3 + x)) << x;
  // u wrap 8 on a 16-wide texture: u = 9 samples column 1 plus the u offset.
  run("cls() poke2(0x5530, 4, 0, 8, 0) tline3d(T, 0, 0, 0, 0, 9, 0) poke2(0x5530, 0, 0, 0, 0)");
  EXPECT_EQ(px(0, 0), 0xC0 | 6);
  run("cls() tline3d(T, 0, 0, 1, 0, 0, 0, 2, 0, 1, 1, 0x100)");
  EXPECT_EQ(count_nonzero(), 1);
  // w0 = w1 = 2 halves the texture coordinates.
  run("cls() tline3d(T, 0, 0, 3, 0, 4, 0, 10, 0, 2, 2)");
  for (int x = 0; x <= 3; x++) EXPECT_EQ(px(x, 0), 0xC0 | (3 + x)) << x;
  // A map texture: cells name sprites; bit 14 mirrors the sprite.
  run("cls() S = userdata('u8', 4, 1, '01020304') _set_spr(5, S) W = userdata('i16', 1, 1) W[0] = 5 | 0x4000"
      " tline3d(W, 0, 0, 3, 0, 0, 0, 0.75, 0)");
  EXPECT_EQ(px(0, 0), 0xC4);
  EXPECT_EQ(px(3, 0), 0xC1);
  // The batch form: records of slot, ends and texture values.
  run("cls() _set_spr(6, T) B = userdata('f64', 7, 1) B:set(0, 0, 6, 0, 2, 3, 2, 0, 0) tline3d(B)");
  EXPECT_EQ(px(0, 2), 0xC1);
  EXPECT_EQ(px(3, 2), 0xC4);
  // 1, then 6 a record for its line's set-up, then its 4 pixels.
  EXPECT_EQ(charge_of("tline3d", "B"), 1 + 6 + 4);
  EXPECT_EQ(charge_of("tline3d", "T, 0, 0, 9, 0, 0, 0"), 10);
  run("poke(0x5508, 0x3f, 0x3f, 0x3f)");  // the short loop: half the charge
  EXPECT_EQ(charge_of("tline3d", "T, 0, 0, 9, 0, 0, 0"), 5);
  // Ends that are not finite draw nothing; texture values that are not are masked.
  run("cls() tline3d(T, 0/0, 0, 5, 0, 0, 0) tline3d(T, 0, 0, 1/0, 0, 0, 0) tline3d(T, 0, 1, 3, 1, 0/0, 1/0, -1/0, 0/0, 0, 0/0)");
  EXPECT_EQ(count_nonzero(), 4);
}

TEST_F(Gfx, ScaledSpriteVectors) {
  run("S = userdata('u8', 4, 2, '0102030405060708')");
  run("sspr(S, 0, 0, 4, 1, 0, 0, 8, 1)");
  for (int x = 0; x < 8; x++) EXPECT_EQ(px(x, 0), 0xC1 + x / 2) << x;
  run("cls() sspr(S, 0, 0, 4, 1, 10, 0, -4, 1)");  // mirrored into 6..9
  EXPECT_EQ(px(6, 0), 0xC4);
  EXPECT_EQ(px(9, 0), 0xC1);
  EXPECT_EQ(count_nonzero(), 4);
  run("cls() sspr(S, 0, 0, 4, 1, 10, 0, -4, 1, true)");  // mirrored twice
  EXPECT_EQ(px(6, 0), 0xC1);
  run("cls() sspr(S, -2, 0, 4, 1, 0, 0, 4, 1)");  // a negative sx shifts the picture
  EXPECT_EQ(px(2, 0), 0xC1);
  EXPECT_EQ(px(1, 0), 0);
  run("cls() sspr(S, 0, 0, 0, 1) sspr(S, 4, 0) sspr(S, 0, 0, 4, 2, 0, 0, 0, 5)");
  EXPECT_EQ(count_nonzero(), 0);
  // The pixels / 3, but at least 2 a line: 10 rows of 40, then of 1 pixel.
  EXPECT_EQ(charge_of("sspr", "S, 0, 0, 4, 2, 0, 0, 40, 10"), 400 / 3);
  run("clip(0, 0, 1, 32)");
  EXPECT_EQ(charge_of("sspr", "S, 0, 0, 4, 2, 0, 0, 40, 10"), 2 * 10);
  EXPECT_EQ(charge_of("sspr", "S, 0, 0, 4, 2, 5, 0, 40, 10"), 1);  // no line meets the clip
  run("clip()");
}

/* ---------------------------------------------------------------------- */
/* other processes' video memory                                          */
/* ---------------------------------------------------------------------- */

TEST_F(Gfx, BlitProcessVideo) {
  process *child = create_process_from_code("", "child", "/c.lua");
  ASSERT_NE(child, nullptr);
  int64_t id = child->id;
  cproc = child;
  run("poke2(0x5478, 6, 4) V = userdata('u8', 6, 4) for i = 0, 23 do V[i] = i end _map_ram(V, 0x10000)");
  cproc = root;
  std::string id_text = std::to_string(id);
  run("_blit_process_video(" + id_text + ", 0, 0, nil, nil, 2, 3)");
  EXPECT_EQ(px(2, 3), 0);
  EXPECT_EQ(px(3, 3), 1);
  EXPECT_EQ(px(7, 6), 23);
  EXPECT_EQ(px(8, 6), 0);
  // Bytes past the mapped length come as 8 (the row of 6 reaches 8 wide here).
  run("cls() _blit_process_video(" + id_text + ", 0, 3, 8, 1, 0, 0)");
  EXPECT_EQ(px(0, 0), 18);
  EXPECT_EQ(px(5, 0), 23);
  EXPECT_EQ(px(6, 0), 8);
  // The blit mask keeps destination pixels whose source shares no bit with it.
  cproc = child;
  run("poke(0x547d, 1)");
  cproc = root;
  run("cls(2) _blit_process_video(" + id_text + ")");
  EXPECT_EQ(px(0, 0), 2);
  EXPECT_EQ(px(1, 0), 1);
  EXPECT_EQ(px(2, 0), 2);
  // No new frame: true and nothing drawn; unknown processes give nothing.
  cproc = child;
  run("poke(0x547f, 2)");
  cproc = root;
  EXPECT_EQ(run("cls() return _blit_process_video(" + id_text + ")"), R{"b:true"});
  EXPECT_EQ(count_nonzero(), 0);
  EXPECT_EQ(run("return _blit_process_video(999)"), R{});
}

TEST(BlitFromRam, WrapsAnyStrideAndNeverAllocates) {
  init_default_coltabs();
  process P;
  P.ram = std::make_unique<process_ram>();
  std::vector<uint8_t> page(4096);
  for (int i = 0; i < 4096; i++) page[size_t(i)] = uint8_t(i * 7 + 1);
  P.ram->page_map[4095] = page.data();
  P.ram->mapped_len[4095] = 4096;
  std::vector<uint8_t> out(16 * 4, 0);
  canvas c = host_canvas(out.data(), 16, 4);
  struct Case {
    int64_t address, stride;
  };
  for (Case k : {Case{0xFFFFF0, 16}, Case{-16, 0}, Case{0xFFFFF8, -16}, Case{0x1FFFFF0, 32767}}) {
    std::fill(out.begin(), out.end(), 0);
    EXPECT_EQ(blit_from_ram(&P, k.address, k.stride, c, 0, 0, 0, 0, 16, 4, 0).cost, 16);
    for (int64_t y = 0; y < 4; y++)
      for (int64_t x = 0; x < 16; x++) {
        int64_t a = (k.address + y * k.stride + x) & 0xFFFFFF;
        uint8_t want = a >> 12 == 4095 ? page[size_t(a & 0xFFF)] : 8;
        ASSERT_EQ(out[size_t(y * 16 + x)], want) << k.address << " " << k.stride << " " << x << "," << y;
      }
  }
  // Masked: eight bytes a step and the tail one by one, as a byte loop would.
  for (uint8_t mask : {0x0F, 0x80, 0x01}) {
    std::fill(out.begin(), out.end(), 0x55);
    blit_from_ram(&P, 0xFFF000, 16, c, 3, 0, 0, 0, 13, 4, mask);
    for (int64_t y = 0; y < 4; y++)
      for (int64_t x = 0; x < 16; x++) {
        uint8_t in = page[size_t(3 + y * 16 + x)];
        uint8_t want = x < 13 ? ((in & mask) ? in : 0x55) : 0x55;
        ASSERT_EQ(out[size_t(y * 16 + x)], want) << int(mask) << " " << x << "," << y;
      }
  }
  for (int p = 0; p < 4095; p++) ASSERT_EQ(P.ram->own_page[p], nullptr);
}

/* ---------------------------------------------------------------------- */
/* random differential tests                                              */
/* ---------------------------------------------------------------------- */

TEST(BlitRandom, EqualsAMemmoveReference) {
  std::mt19937 rng(103);
  for (int round = 0; round < 3000; round++) {
    uint8_t type = std::array<uint8_t, 4>{utype_u8, utype_i16, utype_i32, utype_f64}[rng() % 4];
    int64_t w = 1 + rng() % 24, h = 1 + rng() % 16, es = utype_size(type);
    host_ud a(type, w, h), b(type, 1 + rng() % 24, 1 + rng() % 16);
    bool same = rng() % 2;
    userdata *src = a.ud(), *dst = same ? a.ud() : b.ud();
    for (int64_t i = 0; i < ud_data_bytes(src); i++) a.px()[i] = uint8_t(rng());
    for (int64_t i = 0; i < ud_data_bytes(b.ud()); i++) b.px()[i] = uint8_t(rng());
    int64_t dw = dst->width, dh = dst->height;
    clip_rect clip{int64_t(rng() % (dw + 1)), int64_t(rng() % (dh + 1)), 0, 0};
    clip.x1 = clip.x0 + int64_t(rng() % (dw - clip.x0 + 1));
    clip.y1 = clip.y0 + int64_t(rng() % (dh - clip.y0 + 1));
    int64_t sx = int64_t(rng() % 40) - 12, sy = int64_t(rng() % 30) - 8;
    int64_t dx = int64_t(rng() % 40) - 12, dy = int64_t(rng() % 30) - 8;
    int64_t bw = int64_t(rng() % 30) - 2, bh = int64_t(rng() % 20) - 2;

    // The reference: a snapshot of the source, then the visible elements one by one.
    std::vector<uint8_t> before(ud_elements(src), ud_elements(src) + ud_data_bytes(src));
    std::vector<uint8_t> want(ud_elements(dst), ud_elements(dst) + ud_data_bytes(dst));
    for (int64_t y = 0; y < bh; y++)
      for (int64_t x = 0; x < bw; x++) {
        int64_t fx = sx + x, fy = sy + y, tx = dx + x, ty = dy + y;
        if (fx < 0 || fy < 0 || fx >= int64_t(src->width) || fy >= int64_t(src->height)) continue;
        if (tx < clip.x0 || ty < clip.y0 || tx >= clip.x1 || ty >= clip.y1) continue;
        memmove(&want[size_t((ty * dw + tx) * es)], &before[size_t((fy * w + fx) * es)], size_t(es));
      }
    blit(src, dst, sx, sy, dx, dy, bw, bh, clip);
    ASSERT_EQ(std::vector<uint8_t>(ud_elements(dst), ud_elements(dst) + ud_data_bytes(dst)), want)
        << "round " << round;
  }
}

// The sprite pixel rule written out step by step.
uint8_t sprite_rule(const canvas &c, int64_t x, int64_t y, uint8_t s, uint8_t old) {
  int p = (c.pattern[y & 7] >> (x & 7)) & 1;
  int src = s & c.rmask, dst = old & c.tmask;
  int k = (p << 1) | ((src | dst) >> 6);
  uint8_t v = c.tab[k][64 * (src & 63) + (dst & 63)];
  return uint8_t((v & c.wmask) | (old & ~c.wmask));
}

TEST(SpriteRandom, FlipsAndTablesFollowThePixelRule) {
  init_default_coltabs();
  std::mt19937 rng(104);
  std::vector<uint8_t> tabs(4 * coltab_size);
  for (auto &t : tabs) t = uint8_t(rng());
  for (int round = 0; round < 2000; round++) {
    int64_t W = 1 + rng() % 40, H = 1 + rng() % 30;
    std::vector<uint8_t> pixels(size_t(W * H));
    for (auto &p : pixels) p = uint8_t(rng());
    canvas c = host_canvas(pixels.data(), W, H, uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    for (int k = 0; k < 4; k++) c.tab[k] = tabs.data() + coltab_size * k;
    for (auto &p : c.pattern) p = rng() % 3 ? 0 : uint8_t(rng());
    c.cx0 = rng() % (W + 1), c.cy0 = rng() % (H + 1);
    c.cx1 = c.cx0 + rng() % (W - c.cx0 + 1), c.cy1 = c.cy0 + rng() % (H - c.cy0 + 1);
    host_ud s(utype_u8, 1 + rng() % 20, 1 + rng() % 20);
    int64_t sw = s.ud()->width, sh = s.ud()->height;
    for (int64_t i = 0; i < sw * sh; i++) s.px()[i] = uint8_t(rng());
    int64_t dx = int64_t(rng() % 60) - 20, dy = int64_t(rng() % 50) - 20;
    bool fx = rng() % 2, fy = rng() % 2;
    std::vector<uint8_t> want = pixels;
    int64_t visible = 0;
    for (int64_t y = c.cy0; y < c.cy1; y++)
      for (int64_t x = c.cx0; x < c.cx1; x++) {
        int64_t u = x - dx, v = y - dy;
        if (u < 0 || v < 0 || u >= sw || v >= sh) continue;
        uint8_t t = s.px()[(fy ? sh - 1 - v : v) * sw + (fx ? sw - 1 - u : u)];
        want[size_t(y * W + x)] = sprite_rule(c, x, y, t, pixels[size_t(y * W + x)]);
        visible++;
      }
    EXPECT_EQ(draw_spr(s.ud(), c, dx, dy, fx, fy), visible);
    ASSERT_EQ(pixels, want) << "round " << round;
  }
}

TEST(SsprRandom, EqualsNearestNeighbourScaling) {
  init_default_coltabs();
  std::mt19937 rng(105);
  for (int round = 0; round < 1500; round++) {
    host_ud s(utype_u8, 1 + rng() % 12, 1 + rng() % 12);
    int64_t spw = s.ud()->width, sph = s.ud()->height;
    for (int64_t i = 0; i < spw * sph; i++) s.px()[i] = uint8_t(1 + rng() % 63);
    int64_t W = 64, H = 48;
    std::vector<uint8_t> pixels(size_t(W * H), 0);
    canvas c = host_canvas(pixels.data(), W, H, 0x3F, 0xFF, 0x3F);
    c.cx0 = rng() % 20, c.cy0 = rng() % 20, c.cx1 = W - rng() % 20, c.cy1 = H - rng() % 20;
    int64_t sx = rng() % spw, sy = rng() % sph;
    int64_t sw = 1 + rng() % (spw - sx), sh = 1 + rng() % (sph - sy);
    int64_t dx = int64_t(rng() % 70) - 10, dy = int64_t(rng() % 50) - 10;
    int64_t dw = 1 + rng() % 40, dh = 1 + rng() % 40;
    bool fx = rng() % 2, fy = rng() % 2;
    draw_sspr(s.ud(), c, sx, sy, sw, sh, dx, dy, dw, dh, fx, fy);
    for (int64_t y = 0; y < H; y++)
      for (int64_t x = 0; x < W; x++) {
        uint8_t got = pixels[size_t(y * W + x)];
        int64_t i = x - dx, j = y - dy;
        bool in_clip = x >= c.cx0 && x < c.cx1 && y >= c.cy0 && y < c.cy1;
        if (!in_clip || i < 0 || j < 0 || i >= dw || j >= dh) {
          ASSERT_EQ(got, 0) << "round " << round << " outside at " << x << "," << y;
          continue;
        }
        int64_t ci = fx ? dw - 1 - i : i, cj = fy ? dh - 1 - j : j;
        // Sample centres (c + 0.5) sw / dw; exact halves between texels are left out.
        int64_t nu = (2 * ci + 1) * sw, nv = (2 * cj + 1) * sh;
        if (nu % (2 * dw) == 0 || nv % (2 * dh) == 0) continue;
        uint8_t t = s.px()[(sy + nv / (2 * dh)) * spw + sx + nu / (2 * dw)];
        ASSERT_EQ(got, 0xC0 | t) << "round " << round << " at " << x << "," << y;
      }
  }
}

// draw_tline_sspr as its steps say, every step of the walk tested against the
// clip and each sample kept inside the sprite.
int64_t sspr_line_steps(const userdata *sprite, const canvas &c, int64_t x0, int64_t y0, int64_t x1,
                        int64_t y1, double u0, double v0, double u1, double v1) {
  if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1), std::swap(u0, u1), std::swap(v0, v1);
  int64_t n = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  int64_t sx = n ? (x1 - x0) * 65536 / n : 0, sy = n ? (y1 - y0) * 65536 / n : 0;
  double du = n ? (u1 - u0) / double(n) : 0, dv = n ? (v1 - v0) / double(n) : 0;
  int64_t sw = sprite->width, sh = sprite->height, count = 0;
  double u = 0, v = 0;
  auto inside = [](double t, int64_t size) { return t < 0 ? 0 : t >= double(size) ? size - 1 : int64_t(t); };
  for (int64_t i = 0; i <= n; i++) {
    int64_t x = (x0 * 65536 + 0x8000 + i * sx) >> 16, y = (y0 * 65536 + 0x8000 + i * sy) >> 16;
    if (x < c.cx0 || x >= c.cx1 || y < c.cy0 || y >= c.cy1) continue;
    if (!count) u = u0 + double(i) * du, v = v0 + double(i) * dv;
    uint8_t *px = c.pixels + y * c.width + x;
    *px = sprite_rule(c, x, y, ud_elements(sprite)[inside(v, sh) * sw + inside(u, sw)], *px);
    u += du, v += dv;
    count++;
  }
  return count;
}

TEST(SsprLines, FollowTheirSteps) {
  init_default_coltabs();
  std::mt19937 rng(1065);
  host_ud s(utype_u8, 7, 5);
  for (int i = 0; i < 35; i++) s.px()[i] = uint8_t(rng());
  for (int round = 0; round < 4000; round++) {
    std::vector<uint8_t> got(40 * 30);
    for (auto &p : got) p = uint8_t(rng());
    std::vector<uint8_t> want = got;
    canvas c = host_canvas(got.data(), 40, 30, uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    for (auto &p : c.pattern) p = rng() % 2 ? 0 : uint8_t(rng());
    c.cx0 = rng() % 12, c.cy0 = rng() % 10, c.cx1 = 40 - rng() % 12, c.cy1 = 30 - rng() % 10;
    auto at = [&](int range) { return int64_t(rng() % range) - range / 4; };
    int64_t x0 = at(60), y0 = at(45), x1 = at(60), y1 = at(45);
    if (rng() % 3 == 0) y1 = y0;  // rows and columns, as scaled sprites and map tiles draw
    if (rng() % 3 == 0) x1 = x0;
    double u0 = double(rng() % 70) / 10, v0 = double(rng() % 50) / 10;
    double u1 = double(rng() % 70) / 10, v1 = double(rng() % 50) / 10;
    canvas r = c;
    r.pixels = want.data();
    int64_t n_want = sspr_line_steps(s.ud(), r, x0, y0, x1, y1, u0, v0, u1, v1);
    ASSERT_EQ(draw_tline_sspr(s.ud(), c, x0, y0, x1, y1, u0, v0, u1, v1), n_want) << "round " << round;
    ASSERT_EQ(got, want) << "round " << round;
  }
}

TEST(SsprLines, LongWalksStayInsideTheSprite) {
  // A walk of 2^20 steps whose last sample lies just inside the sprite's
  // right edge: the rounding of the summed steps carries it past the edge.
  init_default_coltabs();
  constexpr int64_t sw = int64_t{1} << 20;
  host_ud s(utype_u8, sw, 2);
  memset(s.px(), 5, sw);
  memset(s.px() + sw, 9, sw);  // the byte after the sprite's one row
  s.ud()->height = 1;
  std::vector<uint8_t> pixels(size_t(sw + 1), 0);
  canvas c = host_canvas(pixels.data(), sw + 1, 1);
  EXPECT_EQ(draw_tline_sspr(s.ud(), c, 0, 0, sw, 0, 1047551.9998875901, 0, 1048575.99998999, 0), sw + 1);
  for (int64_t x = sw - 8; x <= sw; x++) ASSERT_EQ(pixels[size_t(x)], 5) << x;
}

TEST(TexturedRandom, NothingOutsideTheClip) {
  init_default_coltabs();
  std::mt19937 rng(106);
  host_ud tex(utype_u8, 16, 8), map(utype_i16, 4, 4);
  for (int i = 0; i < 128; i++) tex.px()[i] = uint8_t(rng());
  for (int i = 0; i < 16; i++) {
    auto cell = uint16_t(rng() % 4 | (rng() % 8) << 13);
    memcpy(map.px() + 2 * i, &cell, 2);
  }
  process P;
  P.sprite_slots.assign(sprite_slot_count, nullptr);
  for (int i = 0; i < 3; i++) P.sprite_slots[size_t(i)] = tex.ud();
  const double big[] = {0, 3.5, -7.25, 40, 1e9, -1e12, 1e300, -1e300};
  for (int round = 0; round < 3000; round++) {
    std::vector<uint8_t> pixels(48 * 32, 0xAA);
    canvas c = host_canvas(pixels.data(), 48, 32, uint8_t(rng()), uint8_t(rng()), uint8_t(rng()));
    c.cx0 = rng() % 20, c.cy0 = rng() % 14, c.cx1 = c.cx0 + rng() % 28, c.cy1 = c.cy0 + rng() % 18;
    auto coord = [&] { return rng() % 4 ? double(int(rng() % 80) - 16) + (rng() % 4) / 4.0 : big[rng() % 8]; };
    switch (round % 3) {
      case 0: {
        tline_ends e{coord(), coord(), coord(), coord(), coord(), coord(), coord(), coord(),
                     rng() % 2 ? 1 : coord(), rng() % 2 ? 1 : coord()};
        draw_tline3d(&P, rng() % 2 ? tex.ud() : map.ud(), c, int64_t(rng() % 4) << 8, e);
        break;
      }
      case 1: {
        auto wide = [&] { return rng() % 8 ? int64_t(rng() % 80) - 30 : saturate_i32(trunc_to_i64(big[rng() % 8])); };
        draw_sspr(tex.ud(), c, int64_t(rng() % 20) - 4, int64_t(rng() % 10) - 2, int64_t(rng() % 20) - 2,
                  int64_t(rng() % 10) - 2, wide(), wide(), wide(), wide(), rng() % 2, rng() % 2);
        break;
      }
      default:
        draw_map(&P, map.ud(), c, int64_t(rng() % 8) - 2, int64_t(rng() % 8) - 2, int64_t(rng() % 8),
                 int64_t(rng() % 8), int64_t(rng() % 40) - 10, int64_t(rng() % 40) - 10,
                 int64_t(rng() % 20) - 1, int64_t(rng() % 20) - 1, 0);
        break;
    }
    for (int64_t y = 0; y < 32; y++)
      for (int64_t x = 0; x < 48; x++)
        if (x < c.cx0 || x >= c.cx1 || y < c.cy0 || y >= c.cy1) {
          ASSERT_EQ(pixels[size_t(y * 48 + x)], 0xAA) << "round " << round << " at " << x << "," << y;
        }
  }
}

// draw_tline3d written out as its steps say, with library floors, a division
// a sample and every step of the walk tested against the clip. Returns the
// pixels visited (halved on the short loop of an affine line).
int64_t tline3d_steps(const process *P, const userdata *tex, const canvas &c, int64_t flags, tline_ends e) {
  if (!std::isfinite(e.x0) || !std::isfinite(e.y0) || !std::isfinite(e.x1) || !std::isfinite(e.y1)) return 0;
  uint8_t type = tex->utype & utype_mask;
  if (type != utype_u8 && type != utype_i16) return 0;
  if (e.y0 > e.y1 || (e.x0 > e.x1 && e.y0 == e.y1)) {
    std::swap(e.x0, e.x1), std::swap(e.y0, e.y1);
    std::swap(e.u0, e.u1), std::swap(e.v0, e.v1), std::swap(e.w0, e.w1);
  }
  double adx = std::fabs(e.x1 - e.x0), ady = std::fabs(e.y1 - e.y0);
  double len = std::max(adx, ady);
  if (len == 0) len = 1e-5;
  double f = std::fmod(adx > ady ? e.x0 : e.y0, 1.0);
  double du = (e.u1 - e.u0) / len, dv = (e.v1 - e.v0) / len, dw = (e.w1 - e.w0) / len;
  int64_t x0 = saturate_i32(trunc_to_i64(e.x0)), y0 = saturate_i32(trunc_to_i64(e.y0));
  int64_t x1 = saturate_i32(trunc_to_i64(e.x1)), y1 = saturate_i32(trunc_to_i64(e.y1));
  int64_t n = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  int64_t sx = n ? (x1 - x0) * 65536 / n : 0, sy = n ? (y1 - y0) * 65536 / n : 0;
  if (n == 0) du = dv = dw = 0;
  int64_t last = flags & tline_no_last_pixel ? n - 1 : n;
  int16_t regs[4];
  for (int i = 0; i < 4; i++) regs[i] = int16_t(peek2(ram_tline_regs + 2 * i));
  int64_t umask = uint16_t(regs[2] - 1), vmask = uint16_t(regs[3] - 1);
  int64_t tw = tex->width, th = tex->height;
  bool short_loop = type == utype_u8 && c.rmask == 0x3F && c.wmask == 0x3F && c.tmask == 0x3F;
  for (uint8_t p : c.pattern) short_loop = short_loop && !p;
  bool started = false;
  double u = 0, v = 0, w = 0;
  int64_t count = 0;
  for (int64_t i = 0; i <= last; i++) {
    int64_t x = (x0 * 65536 + 0x8000 + i * sx) >> 16, y = (y0 * 65536 + 0x8000 + i * sy) >> 16;
    if (x < c.cx0 || x >= c.cx1 || y < c.cy0 || y >= c.cy1) continue;
    if (!started) {
      started = true;
      u = e.u0 + double(i) * du, v = e.v0 + double(i) * dv, w = e.w0 + double(i) * dw;
      if (flags & tline_subpixel) u += (1 - f) * du, v += (1 - f) * dv;
    }
    double U = u / w, V = v / w;
    int64_t col = (tw - 1) & (regs[0] + (floor_to_i64(U) & umask));
    int64_t row = (th - 1) & (regs[1] + (floor_to_i64(V) & vmask));
    uint8_t texel = 0;
    if (type == utype_u8) {
      texel = ud_elements(tex)[row * tw + col];
    } else {
      uint16_t cell;
      memcpy(&cell, ud_elements(tex) + 2 * (row * tw + col), 2);
      if (const userdata *s = sprite_slot(P, cell & 0x1FFF)) {
        int64_t w_ = s->width, h_ = s->height;
        int64_t sc = (floor_to_i64(U * double(w_)) ^ (cell & 0x4000 ? -1 : 0)) & (w_ - 1);
        int64_t sr = (floor_to_i64(V * double(h_)) ^ (cell & 0x8000 ? -1 : 0)) & (h_ - 1);
        texel = ud_elements(s)[sr * w_ + sc];
      }
    }
    uint8_t *px = c.pixels + y * c.width + x;
    *px = sprite_rule(c, x, y, texel, *px);
    u += du, v += dv, w += dw;
    count++;
  }
  // Half the short loop's pixels are charged on an affine line only.
  return short_loop && e.w0 == 1 && dw == 0 ? count / 2 : count;
}

TEST_F(Gfx, TexturedLinesFollowTheirSteps) {
  std::mt19937 rng(1064);
  host_ud sprites[3] = {{utype_u8, 8, 8}, {utype_u8, 5, 3}, {utype_u8, 16, 4}};
  for (host_ud &s : sprites)
    for (int64_t i = 0; i < int64_t(s.ud()->width * s.ud()->height); i++) s.px()[i] = uint8_t(rng());
  host_ud map(utype_i16, 4, 2);
  for (int i = 0; i < 8; i++) {
    auto cell = uint16_t(rng() % 4 | (rng() % 8) << 13);
    memcpy(map.px() + 2 * i, &cell, 2);
  }
  root->sprite_slots.assign(sprite_slot_count, nullptr);
  for (int i = 0; i < 3; i++) root->sprite_slots[size_t(i)] = sprites[i].ud();  // slot 3 stays empty
  std::vector<uint8_t> tabs(4 * coltab_size);
  for (auto &t : tabs) t = uint8_t(rng());
  auto value = [&] {
    switch (rng() % 4) {
      case 0: return double(int(rng() % 90) - 20);
      case 1: return double(int(rng() % 360) - 80) / 4;
      case 2: return std::ldexp(double(int64_t(rng() % 2000000) - 1000000), -int(rng() % 20));
      default: return double(int(rng() % 90) - 20) + 0.5;
    }
  };
  for (int round = 0; round < 6000; round++) {
    host_ud got_ud(utype_u8, 48, 32), want_ud(utype_u8, 48, 32);
    uint8_t *got = got_ud.px(), *want = want_ud.px();
    for (int i = 0; i < 48 * 32; i++) got[i] = want[i] = uint8_t(rng());
    // A texture of its own, or the target itself (each sample then sees the pixels before it).
    const userdata *tex = round % 3 == 2 ? map.ud() : sprites[rng() % 3].ud(), *want_tex = tex;
    if (round % 7 == 1) tex = got_ud.ud(), want_tex = want_ud.ud();
    canvas c = host_canvas(got, 48, 32);
    if (rng() % 2) {
      c.rmask = uint8_t(rng()), c.wmask = uint8_t(rng()), c.tmask = uint8_t(rng());
      for (int k = 0; k < 4; k++) c.tab[k] = tabs.data() + coltab_size * k;
      for (auto &p : c.pattern) p = rng() % 2 ? 0 : uint8_t(rng());
    }
    c.cx0 = rng() % 12, c.cy0 = rng() % 10, c.cx1 = 48 - rng() % 12, c.cy1 = 32 - rng() % 10;
    poke2(ram_tline_regs, int(rng() % 9) - 4);
    poke2(ram_tline_regs + 2, int(rng() % 9) - 4);
    poke2(ram_tline_regs + 4, rng() % 3 ? 0 : int(rng() % 20));
    poke2(ram_tline_regs + 6, rng() % 3 ? 0 : int(rng() % 20));
    tline_ends e{value(), value(), value(), value(), value(), value(), value(), value(), 1, 1};
    if (rng() % 3 == 0) {
      auto wv = [&] { return rng() % 8 ? 0.25 + double(rng() % 64) / 16 : double(int(rng() % 5) - 2); };
      e.w0 = wv(), e.w1 = wv();
    }
    if (rng() % 4 == 0) e.y1 = e.y0;
    if (rng() % 4 == 0) e.x1 = e.x0;
    int64_t flags = int64_t(rng() % 4) << 8;
    if (round % 50 == 3) {
      // Quotients that land on whole texels: 49 x i / 49 is i, where 49 x i
      // times the reciprocal of 49 falls just short of it.
      double w = rng() % 2 ? 49 : 0.1;
      e = {2, 5, 40, 5, 0, 0, 38 * w, 38 * w / 4, w, w};
      flags = 0;
    }
    canvas r = c;
    r.pixels = want;
    int64_t n_want = tline3d_steps(root, want_tex, r, flags, e);
    int64_t n_got = draw_tline3d(root, tex, c, flags, e);
    ASSERT_EQ(0, memcmp(got, want, 48 * 32)) << "round " << round;
    ASSERT_EQ(n_got, n_want) << "round " << round;
  }
  root->sprite_slots.clear();
}

/* ---------------------------------------------------------------------- */
/* hostile sizes                                                          */
/* ---------------------------------------------------------------------- */

TEST_F(Gfx, HugeSizesEndQuickly) {
  auto t0 = std::chrono::steady_clock::now();
  run("S = userdata('u8', 8, 8) _set_spr(1, S) M = userdata('i16', 2048, 2048)"
      " sspr(S, 0, 0, 8, 8, -2147483648, -5, 2147483647, 2147483647)"
      " sspr(S, 0, 0, 8, 8, 0, 0, 2147483647, 3)"
      " tline3d(S, -1e300, -1e300, 1e300, 1e300, 0, 0)"
      " tline3d(S, -2147483648, 5, 2147483647, 5, 0, 0, 1e308, 0, 1e-300, 1e300)"
      " _draw_map(M, 0, 0, 0, 0, 2048, 2048, 0, 1, 1)"
      " _draw_map(M, -2147483648, -2147483648, -2147483648, 0, 2147483647, 2147483647, 0, 2147483647, 1)"
      " blit(S, nil, -2147483648, -2147483648, 0, 0, 2147483647, 2147483647)");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 2.0);
  // A batch of the most records ends at the cpu limit.
  cpu_cycles = 0;
  cpu_cycles_max = 1000;
  EXPECT_EQ(run("B = userdata('f64', 3, 262144) _set_spr(0, S) spr(B)"), R{"error: test:1: cpu limit exceeded"});
  cpu_cycles = cpu_cycles_max = 0;
}

}  // namespace
