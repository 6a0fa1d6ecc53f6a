// Draw state: colour tables, colour word, pixel rule, clip and draw target.
#include "gfx/draw_state.h"

#include <algorithm>
#include <cstring>

#include "kernel/process.h"
#include "kernel/ram.h"
#include "values/userdata.h"

uint8_t default_coltabs[4 * coltab_size];
uint8_t default_indexed_pal[64];
uint32_t default_system_pal[256];
const uint32_t system_palette[64] = {
    0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
    0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa,
    0x2463b0, 0x00a5a1, 0x654688, 0x125359, 0x742f29, 0x452d32, 0xa28879, 0xffacc5,
    0xb9003e, 0xe26b02, 0x95f042, 0x00b251, 0x64dff6, 0xbd9adf, 0xe40dab, 0xff8557,
};

uint8_t read_mask;
uint8_t write_mask;
uint8_t target_mask;

namespace {

// Read by a canvas when the process has no colour-table page to point at.
const uint8_t empty_table[coltab_size] = {};

bool has_ram(const process *P) { return P && P->ram; }

uint8_t *coltab_page(process *P, int k) {
  if (!has_ram(P)) return nullptr;
  int p = coltab_first_page + k;
  process_ram &r = *P->ram;
  // A userdata is mapped onto a system page whole; once unmapped the page is
  // the process's own block again (its mapped length 0).
  if (r.page_map[p] && r.mapped_len[p] >= coltab_size) return r.page_map[p];
  return r.own_page[p];
}

int16_t clip_word(uint64_t bytes, int i) { return static_cast<int16_t>(bytes >> (16 * i)); }

int16_t saturate_i16(int64_t v) { return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX)); }

void store_clip_words(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  poke2(ram_clip, saturate_i16(x0));
  poke2(ram_clip + 2, saturate_i16(y0));
  poke2(ram_clip + 4, saturate_i16(x1));
  poke2(ram_clip + 6, saturate_i16(y1));
}

void fill_row_through_ram(int table, int row, int value) {
  ram_memset(cproc, ram_coltabs + coltab_size * table + 64 * row, value, 64);
}

}  // namespace

void init_default_coltabs() {
  uint8_t *t = default_coltabs;
  for (int s = 0; s < 64; s++)
    for (int d = 0; d < 64; d++) {
      t[64 * s + d] = static_cast<uint8_t>(s == 0 ? d : 0xC0 | s);
      t[coltab_size + 64 * s + d] = static_cast<uint8_t>(0x40 | d);
      t[2 * coltab_size + 64 * s + d] = static_cast<uint8_t>(0x80 | d);
      t[3 * coltab_size + 64 * s + d] = static_cast<uint8_t>(0xC0 | d);
    }
  for (int i = 0; i < 64; i++) default_indexed_pal[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 256; i++) default_system_pal[i] = system_palette[i & 63];
}

/* ---------------------------------------------------------------------- */
/* registers                                                              */
/* ---------------------------------------------------------------------- */

void set_colp(int64_t word) {
  auto w = static_cast<uint64_t>(word);
  poke2(ram_draw_colour, static_cast<int>(w & 0xFFFF));
  if (w & (uint64_t{1} << 32)) fillp_16(static_cast<int64_t>((w >> 16) & 0xFFFF));
  if (w & (uint64_t{1} << 35) && cproc) cproc->inverted_fill = 1;
}

int draw_colour() { return static_cast<int16_t>(peek2(ram_draw_colour)); }

void fillp_16(int64_t p) {
  for (int y = 0; y < 8; y++) {
    int nib = 0;
    for (int x = 0; x < 4; x++) nib |= static_cast<int>((p >> (15 - 4 * (y & 3) - x)) & 1) << x;
    poke(ram_fill_pattern + y, nib | nib << 4);
  }
}

void fillp_rows(const int64_t rows[8]) {
  for (int i = 0; i < 8; i++) {
    int r = static_cast<int>(rows[i] & 0xFF), rev = 0;
    for (int b = 0; b < 8; b++) rev |= ((r >> b) & 1) << (7 - b);
    poke(ram_fill_pattern + i, rev);
  }
}

/* ---------------------------------------------------------------------- */
/* the shape pixel rule                                                   */
/* ---------------------------------------------------------------------- */

void get_masks_shape() {
  read_mask = static_cast<uint8_t>(peek(ram_read_mask));
  write_mask = static_cast<uint8_t>(peek(ram_write_mask));
  target_mask = static_cast<uint8_t>(peek(ram_shape_target_mask));
}

canvas shape_canvas(process *P) {
  canvas c;
  get_masks_shape();
  c.rmask = read_mask;
  c.wmask = write_mask;
  c.tmask = target_mask;
  for (int i = 0; i < 8; i++) c.pattern[i] = static_cast<uint8_t>(peek(ram_fill_pattern + i));
  for (int k = 0; k < 4; k++) {
    const uint8_t *t = coltab_page(P, k);
    c.tab[k] = t ? t : empty_table;
  }
  c.inverted = P && P->inverted_fill;
  userdata *t = P ? P->draw_target : nullptr;
  if (!t) return c;
  c.pixels = ud_elements(t);
  c.width = t->width;
  c.height = int64_t{t->height} * t->depth;
  // The record's clip is already inside the target; clamping again keeps a
  // stale rectangle from ever reaching past the block.
  c.cx0 = std::clamp<int64_t>(P->clip_x0, 0, c.width);
  c.cx1 = std::clamp<int64_t>(P->clip_x1, 0, c.width);
  c.cy0 = std::clamp<int64_t>(P->clip_y0, 0, c.height);
  c.cy1 = std::clamp<int64_t>(P->clip_y1, 0, c.height);
  // A target that is not u8 still has at least width x height bytes.
  return c;
}

void get_masks_sprite() {
  get_masks_shape();
  target_mask = static_cast<uint8_t>(peek(ram_sprite_target_mask));
}

canvas sprite_canvas(process *P) {
  canvas c = shape_canvas(P);
  get_masks_sprite();
  c.tmask = target_mask;
  return c;
}

canvas canvas_for_bitmap(canvas c, userdata *bitmap) {
  c.pixels = bitmap ? ud_elements(bitmap) : nullptr;
  c.width = bitmap ? bitmap->width : 0;
  c.height = bitmap ? int64_t{bitmap->height} * bitmap->depth : 0;
  c.cx0 = c.cy0 = 0;
  c.cx1 = c.width;
  c.cy1 = c.height;
  return c;
}

void putpixel(const canvas &c, int64_t x, int64_t y, int colour) {
  if (x < c.cx0 || x >= c.cx1 || y < c.cy0 || y >= c.cy1) return;
  putpixel_noclip(c, x, y, colour);
}

int getpixel(const userdata *bitmap, int64_t x, int64_t y) {
  if (!bitmap || x < 0 || y < 0 || x >= bitmap->width || y >= int64_t{bitmap->height} * bitmap->depth)
    return 0;
  return ud_elements(bitmap)[y * bitmap->width + x];
}

/* ---------------------------------------------------------------------- */
/* draw target and clip                                                   */
/* ---------------------------------------------------------------------- */

userdata *refresh_clip(process *P) {
  if (!P || !P->draw_target) return nullptr;
  userdata *t = P->draw_target;
  auto bytes = static_cast<uint64_t>(peek8(ram_clip));
  if (bytes == P->clip_bytes && t == P->clip_target && t->width == P->clip_target_width &&
      t->height * t->depth == P->clip_target_height)
    return t;
  int64_t w = t->width, h = int64_t{t->height} * t->depth;
  // An end word below 0 gives an empty rectangle rather than the whole target.
  // A start past the target's size is kept as it is (clip reports it); the
  // rectangle is then empty, as the end never passes the size.
  P->clip_x0 = std::max<int32_t>(0, clip_word(bytes, 0));
  P->clip_y0 = std::max<int32_t>(0, clip_word(bytes, 1));
  P->clip_x1 = static_cast<int32_t>(std::clamp<int64_t>(clip_word(bytes, 2), 0, w));
  P->clip_y1 = static_cast<int32_t>(std::clamp<int64_t>(clip_word(bytes, 3), 0, h));
  P->clip_bytes = bytes;
  P->clip_target = t;
  P->clip_target_width = t->width;
  P->clip_target_height = static_cast<uint32_t>(h);
  return t;
}

void set_draw_target(process *P, userdata *target) {
  if (!P) return;
  P->draw_target = target;
  if (!target) return;
  store_clip_words(0, 0, target->width, int64_t{target->height} * target->depth);
  refresh_clip(P);
}

void draw_target_block_freed(process *P, const void *block, size_t size) {
  if (!P || !P->draw_target) return;
  auto a = reinterpret_cast<uintptr_t>(P->draw_target), lo = reinterpret_cast<uintptr_t>(block);
  if (a >= lo && a - lo < size) {
    P->draw_target = nullptr;
    P->clip_target = nullptr;
  }
}

clip_result set_clip(process *P, bool has_rect, int64_t x, int64_t y, int64_t w, int64_t h,
                     bool intersect) {
  userdata *t = P->draw_target;
  int64_t px0 = P->clip_x0, py0 = P->clip_y0, px1 = P->clip_x1, py1 = P->clip_y1;
  clip_result r{static_cast<int32_t>(px0), static_cast<int32_t>(py0),
                static_cast<int32_t>(px1 - px0), static_cast<int32_t>(py1 - py0), false};
  int64_t tw = t->width, th = int64_t{t->height} * t->depth;
  x = saturate_i32(x), y = saturate_i32(y), w = saturate_i32(w), h = saturate_i32(h);
  if (!has_rect) {
    store_clip_words(0, 0, tw, th);
  } else if (!intersect) {
    store_clip_words(std::max<int64_t>(0, x), std::max<int64_t>(0, y), std::min(x + w, tw),
                     std::min(y + h, th));
  } else {
    // clamp with the bounds in either order never asserts on an empty previous rectangle
    auto cl = [](int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(v, hi)); };
    store_clip_words(cl(x, px0, px1), cl(y, py0, py1), cl(x + w, px0, px1), cl(y + h, py0, py1));
  }
  refresh_clip(P);
  r.empty = P->clip_x0 >= P->clip_x1 || P->clip_y0 >= P->clip_y1;
  return r;
}

/* ---------------------------------------------------------------------- */
/* palettes and colour tables                                             */
/* ---------------------------------------------------------------------- */

void set_palette_entry(int64_t c, int64_t v, int64_t kind) {
  switch (kind & 63) {
    case 0:
      fill_row_through_ram(static_cast<int>(((c | kind) >> 6) & 3), static_cast<int>(c & 63),
                           static_cast<int>((v | 0xC0) & 0xFF));
      break;
    case 1: poke(ram_remap + static_cast<int>(c & 63), static_cast<int>(v & 63)); break;
    case 2: poke4(ram_palettes + 4 * static_cast<int>(c & 255), static_cast<int>(v)); break;
    default: break;
  }
}

int64_t pal_reset(int64_t n) {
  if (!has_ram(cproc)) return 0;
  int64_t cost = 0;
  auto restore_tables = [&] {
    for (int k = 0; k < 4; k++) {
      uint8_t &flags = cproc->ram->page_flags[coltab_first_page + k];
      if (!(flags & page_flag_colour_table)) continue;
      if (uint8_t *t = coltab_page(cproc, k)) memcpy(t, default_coltabs + coltab_size * k, coltab_size);
      flags = static_cast<uint8_t>(flags & ~page_flag_colour_table);
      cost += 8;
    }
  };
  auto reset_remap = [&] {
    ram_write(cproc, ram_remap, default_indexed_pal, 64);
    cost += 1;
  };
  switch (n) {
    case 0: restore_tables(); break;
    case 1: reset_remap(); break;
    case 2:
      for (int i = 0; i < 256; i++) poke4(ram_palettes + 4 * i, static_cast<int>(default_system_pal[i]));
      cost += 1;
      break;
    case -1:
      // The own page even while a userdata is mapped over page 5.
      if (uint8_t *own = cproc->ram->own_page[ram_display_regs >> 12])
        memset(own + (ram_display_regs & 0xFFF), 0, ram_display_regs_len);
      cost += 4;
      restore_tables();
      reset_remap();
      break;
    default: break;
  }
  return cost;
}

void palt_entry(int c, bool transparent) {
  c &= 0xFF;
  int k = c >> 6, row = c & 63;
  if (!transparent) {
    fill_row_through_ram(k, row, c | 0xC0);
    return;
  }
  uint8_t *t = coltab_page(cproc, k);
  if (!t) return;
  for (int d = 0; d < 64; d++) t[64 * row + d] = static_cast<uint8_t>((c & 0xC0) | d);
  cproc->ram->page_flags[coltab_first_page + k] |= page_flag_colour_table;
}

void palt_bits(uint64_t bits) {
  uint8_t *t = coltab_page(cproc, 0);
  if (!t) return;
  for (int i = 0; i < 64; i++)
    for (int d = 0; d < 64; d++)
      t[64 * i + d] = static_cast<uint8_t>((bits >> i) & 1 ? d : i | 0xC0);
  cproc->ram->page_flags[coltab_first_page] |= page_flag_colour_table;
}

void convert_bitmap_8_to_32(const uint8_t *src, uint8_t *dst, int64_t n) {
  uint32_t pal[64];
  for (int i = 0; i < 64; i++) pal[i] = static_cast<uint32_t>(peek4(ram_palettes + 4 * i));
  for (int64_t i = 0; i < n; i++) {
    uint32_t e = pal[src[i] & 63];
    dst[4 * i] = static_cast<uint8_t>(e >> 16);
    dst[4 * i + 1] = static_cast<uint8_t>(e >> 8);
    dst[4 * i + 2] = static_cast<uint8_t>(e);
    dst[4 * i + 3] = 255;
  }
}
