// Draw state: the draw registers in RAM page 5, the colour tables, the colour
// word, the shape pixel rule, the clip rectangle and the draw target.
#pragma once

#include <cstddef>
#include <cstdint>

struct process;
struct userdata;

// Draw registers in process RAM.
constexpr int32_t ram_palettes = 0x5000;        // 4 x 64 x u32
constexpr int32_t ram_display_regs = 0x5400;    // 120 bytes that pal() zeroes
constexpr int32_t ram_display_regs_len = 0x78;
constexpr int32_t ram_remap = 0x5480;           // 64 x u8
constexpr int32_t ram_cursor_x = 0x54F0;
constexpr int32_t ram_cursor_y = 0x54F4;
constexpr int32_t ram_fill_pattern = 0x5500;    // 8 row bytes
constexpr int32_t ram_read_mask = 0x5508;
constexpr int32_t ram_write_mask = 0x5509;
constexpr int32_t ram_sprite_target_mask = 0x550A;
constexpr int32_t ram_shape_target_mask = 0x550B;
constexpr int32_t ram_draw_colour = 0x550C;     // i16
constexpr int32_t ram_camera_x = 0x5510;
constexpr int32_t ram_camera_y = 0x5514;
constexpr int32_t ram_line_fresh = 0x551F;      // 1: line has no pending start point
constexpr int32_t ram_line_x = 0x5520;
constexpr int32_t ram_line_y = 0x5524;
constexpr int32_t ram_clip = 0x5528;            // 4 x i16: x0, y0, x1, y1
constexpr int32_t ram_coltabs = 0x8000;         // 4 tables of 64 x 64, one RAM page each
constexpr int coltab_first_page = 8;
constexpr int32_t coltab_size = 4096;

// Built by init_default_coltabs at every application reset.
extern uint8_t default_coltabs[4 * coltab_size];
extern uint8_t default_indexed_pal[64];
extern uint32_t default_system_pal[256];
extern const uint32_t system_palette[64];

// Masks of the draw in progress, loaded at the start of each primitive.
extern uint8_t read_mask;
extern uint8_t write_mask;
extern uint8_t target_mask;

void init_default_coltabs();

/* ---------------------------------------------------------------------- */
/* registers (current process)                                            */
/* ---------------------------------------------------------------------- */

// Bits 0-15 the draw colour; bits 16-31 a 4 x 4 pattern when bit 32 is set;
// bit 35 sets the inverted-fill flag.
void set_colp(int64_t word);
int draw_colour();  // RAM 0x550C as a signed 16-bit value
// The 16-bit 4 x 4 pattern form: pixel (x, y) is bit 15 - 4 (y & 3) - (x & 3).
void fillp_16(int64_t p);
// Eight row bytes whose bit 7 is pixel x = 0 (stored bit-reversed).
void fillp_rows(const int64_t rows[8]);

/* ---------------------------------------------------------------------- */
/* the shape pixel rule                                                   */
/* ---------------------------------------------------------------------- */

// Everything one primitive needs, read once: the target's bytes, the clip
// (clamped again into the target, so no write can leave the block), the masks,
// the pattern and the four colour tables as the page map serves them.
struct canvas {
  uint8_t *pixels = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  int64_t cx0 = 0, cy0 = 0, cx1 = 0, cy1 = 0;
  const uint8_t *tab[4] = {};
  uint8_t pattern[8] = {};
  uint8_t rmask = 0, wmask = 0, tmask = 0;
  bool inverted = false;
};

// Loads read_mask, write_mask and target_mask from RAM (the shape target mask).
void get_masks_shape();
// The canvas of P's draw target (pixels null when there is none). Call
// refresh_clip first; the masks are those of get_masks_shape.
canvas shape_canvas(process *P);
// Loads the masks with the sprite target mask (RAM 0x550A) instead.
void get_masks_sprite();
// The canvas of P's draw target under the sprite masks.
canvas sprite_canvas(process *P);
// The canvas c with another bitmap as its pixels: the clip becomes the whole
// bitmap (a copy into a bitmap that is not the draw target ignores the draw
// target's clip). A null bitmap gives a canvas without pixels.
canvas canvas_for_bitmap(canvas c, userdata *bitmap);

inline uint8_t shape_pixel(const canvas &c, int64_t x, int64_t y, int colour, uint8_t old) {
  int p = (c.pattern[y & 7] >> (x & 7)) & 1;
  auto col = static_cast<uint16_t>(colour);
  auto src = static_cast<uint8_t>(c.rmask & (p ? col >> 8 : col));
  auto dst = static_cast<uint8_t>(c.tmask & old);
  uint8_t v = c.tab[(src | dst) >> 6][(src & 63) * 64 + (dst & 63)];
  return static_cast<uint8_t>((v & c.wmask) | (old & ~c.wmask));
}

// The sprite pixel rule (sprites, map tiles, textured lines): the source byte s
// is a whole texel; a set pattern bit of the destination pixel moves the look-up
// to table 2 or 3. The canvas carries the sprite target mask (sprite_canvas).
inline uint8_t sprite_pixel(const canvas &c, int64_t x, int64_t y, uint8_t s, uint8_t old) {
  int p = (c.pattern[y & 7] >> (x & 7)) & 1;
  auto src = static_cast<uint8_t>(s & c.rmask);
  auto dst = static_cast<uint8_t>(old & c.tmask);
  uint8_t v = c.tab[(p << 1) | ((src | dst) >> 6)][(src & 63) * 64 + (dst & 63)];
  return static_cast<uint8_t>((v & c.wmask) | (old & ~c.wmask));
}

// The shape pixel rule at (x, y): nothing outside the clip.
void putpixel(const canvas &c, int64_t x, int64_t y, int colour);
// The same for callers that clipped already.
inline void putpixel_noclip(const canvas &c, int64_t x, int64_t y, int colour) {
  uint8_t *px = c.pixels + y * c.width + x;
  *px = shape_pixel(c, x, y, colour, *px);
}
// The byte at (x, y), or 0 outside the bitmap or without one.
int getpixel(const userdata *bitmap, int64_t x, int64_t y);

/* ---------------------------------------------------------------------- */
/* draw target and clip                                                   */
/* ---------------------------------------------------------------------- */

// Recomputes P's clip rectangle when the RAM clip words, the target or the
// target's shape changed since the last time. Returns the target (null: none).
userdata *refresh_clip(process *P);
// Sets the draw target (the caller anchors it) and the clip words 0, 0, w, h.
void set_draw_target(process *P, userdata *target);
// A Lua block of P's state is being freed: a draw target inside it is forgotten.
void draw_target_block_freed(process *P, const void *block, size_t size);

struct clip_result {
  int32_t x, y, w, h;  // the previous rectangle
  bool empty;          // the new rectangle is empty
};
// clip(x, y, w, h, intersect); with has_rect false the full target. Needs a target.
clip_result set_clip(process *P, bool has_rect, int64_t x, int64_t y, int64_t w, int64_t h,
                     bool intersect);

/* ---------------------------------------------------------------------- */
/* palettes and colour tables (current process)                           */
/* ---------------------------------------------------------------------- */

// pal(c, v, kind): kind & 63 = 0 colour-table row, 1 remap, 2 palette entry.
void set_palette_entry(int64_t c, int64_t v, int64_t kind);
// pal(n): returns the cycles to charge.
int64_t pal_reset(int64_t n);
// palt(c, t) and palt(bits).
void palt_entry(int c, bool transparent);
void palt_bits(uint64_t bits);
// n pixel bytes to R, G, B, 255 through palette 0 (bytes of 64 or more masked).
void convert_bitmap_8_to_32(const uint8_t *src, uint8_t *dst, int64_t n);
