// Sprites, blits and maps.
#include "gfx/sprites.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "gfx/tline.h"
#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "values/userdata.h"

namespace {

struct null_sprite_block {
  userdata header;
  uint8_t pixels[256];
};
null_sprite_block null_sprite = {{utype_u8, 2, {0, 0}, 16, 16, 1}, {}};

int64_t rows_of(const userdata *ud) { return int64_t{ud->height} * ud->depth; }

// The sprite rule over one run of a row: n pixels from dst, texels read from
// src stepping by `step` (1, or -1 for a mirrored row).
void sprite_run(const canvas &c, int64_t x, int64_t y, const uint8_t *src, int64_t step,
                int64_t n) {
  uint8_t *dst = c.pixels + y * c.width + x;
  uint8_t prow = c.pattern[y & 7], rm = c.rmask, tm = c.tmask, wm = c.wmask;
  auto keep = static_cast<uint8_t>(~wm);
  if (prow == 0 && !(tm & 0xC0)) {
    // No pattern and a destination that never leaves the low 6 bits: the
    // table is picked by the texel alone.
    for (int64_t i = 0; i < n; i++, src += step) {
      uint8_t s = *src & rm, old = dst[i];
      uint8_t v = c.tab[s >> 6][(s & 63) * 64 + (old & tm)];
      dst[i] = static_cast<uint8_t>((v & wm) | (old & keep));
    }
    return;
  }
  for (int64_t i = 0; i < n; i++, src += step) dst[i] = sprite_pixel(c, x + i, y, *src, dst[i]);
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* sprite slots                                                           */
/* ---------------------------------------------------------------------- */

userdata *get_null_sprite() { return &null_sprite.header; }

userdata *sprite_slot(const process *P, int64_t n) {
  if (!P || n < 0 || n >= sprite_slot_count || P->sprite_slots.empty()) return nullptr;
  return P->sprite_slots[static_cast<size_t>(n)];
}

const void *sprite_slot_key(process *P, int64_t n) {
  if (P->sprite_slots.empty()) P->sprite_slots.assign(sprite_slot_count, nullptr);
  return &P->sprite_slots[static_cast<size_t>(n & sprite_number_mask)];
}

void set_sprite_slot(process *P, int64_t n, userdata *bitmap) {
  if (P->sprite_slots.empty()) P->sprite_slots.assign(sprite_slot_count, nullptr);
  userdata *&slot = P->sprite_slots[static_cast<size_t>(n & sprite_number_mask)];
  userdata *now = bitmap ? bitmap : get_null_sprite();
  if (slot == now) return;
  if (slot && slot != get_null_sprite()) {
    auto it = P->sprite_refs.find(slot);
    if (it != P->sprite_refs.end() && --it->second <= 0) P->sprite_refs.erase(it);
  }
  slot = now;
  if (now != get_null_sprite()) P->sprite_refs[now]++;
}

void sprite_slots_block_freed(process *P, const void *block, size_t size) {
  if (!P || P->sprite_refs.empty()) return;
  auto lo = static_cast<const uint8_t *>(block);
  if (!P->lua_state) {
    // The state is closing: every bitmap goes, and finalizers may still draw.
    std::fill(P->sprite_slots.begin(), P->sprite_slots.end(), nullptr);
    P->sprite_refs.clear();
    return;
  }
  auto it = P->sprite_refs.lower_bound(reinterpret_cast<const userdata *>(lo));
  while (it != P->sprite_refs.end() &&
         reinterpret_cast<const uint8_t *>(it->first) - lo < static_cast<ptrdiff_t>(size)) {
    // Only a bitmap whose anchor a script removed reaches here while its slot
    // is set: the scan is charged like a bulk operation.
    for (userdata *&s : P->sprite_slots)
      if (s == it->first) s = nullptr;
    spend_cpu(sprite_slot_count / 64);
    it = P->sprite_refs.erase(it);
  }
}

/* ---------------------------------------------------------------------- */
/* sprites                                                                */
/* ---------------------------------------------------------------------- */

int64_t draw_spr(const userdata *sprite, const canvas &c, int64_t dx, int64_t dy, bool flip_x,
                 bool flip_y) {
  if (!sprite || !c.pixels) return 0;
  int64_t w = sprite->width, h = rows_of(sprite);
  int64_t x0 = std::max(dx, c.cx0), x1 = std::min(dx + w, c.cx1);
  int64_t y0 = std::max(dy, c.cy0), y1 = std::min(dy + h, c.cy1);
  if (x0 >= x1 || y0 >= y1) return 0;
  const uint8_t *px = ud_elements(sprite);
  // A mirrored copy of a bitmap onto itself reads the picture as it was.
  std::vector<uint8_t> copy;
  if ((flip_x || flip_y) && px == c.pixels) {
    copy.assign(px, px + w * h);
    px = copy.data();
  }
  int64_t n = x1 - x0;
  for (int64_t y = y0; y < y1; y++) {
    int64_t row = flip_y ? h - 1 - (y - dy) : y - dy;
    int64_t col = flip_x ? w - 1 - (x0 - dx) : x0 - dx;
    sprite_run(c, x0, y, px + row * w + col, flip_x ? -1 : 1, n);
  }
  return n * (y1 - y0);
}

/* ---------------------------------------------------------------------- */
/* blits                                                                  */
/* ---------------------------------------------------------------------- */

int64_t blit(const userdata *src, userdata *dst, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
             int64_t w, int64_t h, clip_rect clip) {
  if (!src || !dst || (src->utype & utype_mask) != (dst->utype & utype_mask) || w <= 0 || h <= 0)
    return 0;
  // The clip is inside dst whatever the caller passed.
  int64_t dw = dst->width, dh = rows_of(dst);
  clip.x0 = std::clamp<int64_t>(clip.x0, 0, dw), clip.x1 = std::clamp<int64_t>(clip.x1, 0, dw);
  clip.y0 = std::clamp<int64_t>(clip.y0, 0, dh), clip.y1 = std::clamp<int64_t>(clip.y1, 0, dh);
  if (dx < clip.x0) sx += clip.x0 - dx, w -= clip.x0 - dx, dx = clip.x0;
  if (dy < clip.y0) sy += clip.y0 - dy, h -= clip.y0 - dy, dy = clip.y0;
  w = std::min(w, clip.x1 - dx);
  h = std::min(h, clip.y1 - dy);
  if (w <= 0 || h <= 0) return 0;
  if (sx < 0) dx -= sx, w += sx, sx = 0;
  if (sy < 0) dy -= sy, h += sy, sy = 0;
  w = std::min(w, int64_t{src->width} - sx);
  h = std::min(h, rows_of(src) - sy);
  if (w <= 0 || h <= 0) return 0;

  int64_t es = ud_element_size(src);
  int64_t sstride = int64_t{src->width} * es, dstride = dw * es, bytes = w * es;
  const uint8_t *s = ud_elements(src) + sy * sstride + sx * es;
  uint8_t *d = ud_elements(dst) + dy * dstride + dx * es;
  auto n = static_cast<size_t>(bytes);
  // Wider elements cost by their bytes, so a large copy of them charges what it takes.
  if (bytes == sstride && bytes == dstride) {
    // Whole rows of bitmaps of one width: one block, moved as the rows would be.
    memmove(d, s, static_cast<size_t>(h * bytes));
    return src == dst && dy == sy ? h * (4 * bytes + 256) : h * (bytes + 64);
  }
  if (src != dst) {
    for (int64_t r = 0; r < h; r++) memcpy(d + r * dstride, s + r * sstride, n);
    return h * (bytes + 64);
  }
  // One bitmap: rows in the order that reads each row before it is written;
  // within a row memmove takes care of the overlap.
  if (dy > sy) {
    for (int64_t r = h - 1; r >= 0; r--) memmove(d + r * dstride, s + r * sstride, n);
  } else {
    for (int64_t r = 0; r < h; r++) memmove(d + r * dstride, s + r * sstride, n);
  }
  return dy == sy ? h * (4 * bytes + 256) : h * (bytes + 64);
}

namespace {

// Copies the source bytes that share a bit with the mask, eight at a time.
void copy_masked(uint8_t *out, const uint8_t *in, int64_t n, uint8_t mask) {
  constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL, ones = 0x0101010101010101ULL;
  uint64_t m8 = ones * mask;
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t s, d;
    memcpy(&s, in + i, 8);
    memcpy(&d, out + i, 8);
    uint64_t x = s & m8;
    uint64_t nonzero = (((x & low7) + low7) | x) & ~low7;  // bit 7 of each byte
    uint64_t keep = (nonzero >> 7) * 0xFF;
    d = (d & ~keep) | (s & keep);
    memcpy(out + i, &d, 8);
  }
  for (; i < n; i++)
    if (in[i] & mask) out[i] = in[i];
}

}  // namespace

ram_blit blit_from_ram(const process *from, int64_t address, int64_t stride, const canvas &c,
                       int64_t sx, int64_t sy, int64_t dx, int64_t dy, int64_t w, int64_t h,
                       uint8_t mask) {
  if (!c.pixels) return {};
  if (dx < c.cx0) sx += c.cx0 - dx, w -= c.cx0 - dx, dx = c.cx0;
  if (dy < c.cy0) sy += c.cy0 - dy, h -= c.cy0 - dy, dy = c.cy0;
  w = std::min(w, c.cx1 - dx);
  h = std::min(h, c.cy1 - dy);
  if (w <= 0 || h <= 0) return {};
  const process_ram *ram = from ? from->ram.get() : nullptr;
  // Every operand is within about 2^34, so the start stays far inside 64 bits;
  // addresses wrap into the 16 MB space as byte addresses do.
  int64_t row_address = address + sx + stride * sy;
  for (int64_t r = 0; r < h; r++, row_address += stride) {
    uint8_t *out = c.pixels + (dy + r) * c.width + dx;
    int64_t a = row_address;
    for (int64_t left = w; left > 0;) {
      int64_t wrapped = a & ram_address_mask;
      int64_t page = wrapped >> 12, offset = wrapped & 0xFFF;
      int64_t chunk = std::min(left, ram_page_size - offset);
      int64_t mapped = 0;
      const uint8_t *in = nullptr;
      if (ram && ram->page_map[page] && offset < ram->mapped_len[page]) {
        mapped = std::min(chunk, ram->mapped_len[page] - offset);
        in = ram->page_map[page] + offset;
      }
      if (!mask) {
        // memmove: a process may copy its own video memory onto itself.
        if (mapped) memmove(out, in, static_cast<size_t>(mapped));
      } else if (mapped) {
        copy_masked(out, in, mapped, mask);
      }
      if (chunk > mapped) memset(out + mapped, 8, static_cast<size_t>(chunk - mapped));
      out += chunk, a += chunk, left -= chunk;
    }
  }
  return {w * h / 4, h};
}

/* ---------------------------------------------------------------------- */
/* maps                                                                   */
/* ---------------------------------------------------------------------- */

namespace {

// The tiles of one axis that meet the clip: first and end (exclusive) of the
// `count` tiles of size t from origin o, against clip lo..hi.
void visible_tiles(int64_t o, int64_t count, int64_t t, int64_t lo, int64_t hi, int64_t &first,
                   int64_t &end) {
  first = o < lo ? (lo - o) / t : 0;
  int64_t over = o + count * t - hi;
  end = count - (over > 0 ? over / t : 0);
}

line_draw draw_tile(const canvas &c, const userdata *sprite, uint16_t cell, int64_t x, int64_t y,
                    int64_t tw, int64_t th) {
  bool turn = cell & 0x2000, mirror_x = cell & 0x4000, mirror_y = cell & 0x8000;
  int64_t sw = sprite->width, sh = rows_of(sprite);
  if (sw == tw && sh == th && !turn) return {draw_spr(sprite, c, x, y, mirror_x, mirror_y), 0};
  // One textured line a row, over the rows inside the clip only.
  int64_t r0 = std::max<int64_t>(0, c.cy0 - y), r1 = std::min(th - 1, c.cy1 - 1 - y);
  double dsw = static_cast<double>(sw), dsh = static_cast<double>(sh);
  double dtw = static_cast<double>(tw), dth = static_cast<double>(th);
  line_draw n;
  for (int64_t r = r0; r <= r1; r++) {
    double rr = static_cast<double>(mirror_y ? th - 1 - r : r) + 0.5;
    double u0, v0, u1, v1;
    if (!turn) {
      v0 = v1 = rr * dsh / dth;
      u0 = dsw / dtw / 2, u1 = dsw - dsw / dtw / 2;
    } else {
      u0 = u1 = rr * dsw / dth;
      v0 = dsh / dtw / 2, v1 = dsh - dsh / dtw / 2;
    }
    if (mirror_x) {
      if (!turn) std::swap(u0, u1);
      else std::swap(v0, v1);
    }
    n.pixels += draw_tline_sspr(sprite, c, x, y + r, x + tw - 1, y + r, u0, v0, u1, v1);
    n.lines++;
  }
  return n;
}

}  // namespace

map_draw draw_map(const process *P, const userdata *map, const canvas &c, int64_t cx, int64_t cy,
                  int64_t cw, int64_t ch, int64_t sx, int64_t sy, int64_t tw, int64_t th,
                  int64_t mask) {
  map_draw out;
  if (!map || !c.pixels || (map->utype & utype_mask) != utype_i16 || tw <= 0 || th <= 0) return out;
  int64_t mw = map->width, mh = rows_of(map);
  // Cells keep their places when the rectangle starts outside the map: cell
  // (cx + j, cy + i) is drawn at (sx + j tw, sy + i th), and cells off the
  // map are left out.
  int64_t col0 = std::max<int64_t>(cx, 0), cols = std::min(cx + cw, mw) - col0;
  int64_t row0 = std::max<int64_t>(cy, 0), rows = std::min(cy + ch, mh) - row0;
  if (cols <= 0 || rows <= 0) return out;
  int64_t ox = sx + (col0 - cx) * tw, oy = sy + (row0 - cy) * th;
  int64_t j0, j1, i0, i1;
  visible_tiles(ox, cols, tw, c.cx0, c.cx1, j0, j1);
  visible_tiles(oy, rows, th, c.cy0, c.cy1, i0, i1);
  if (j0 >= j1 || i0 >= i1) return out;
  out.cells = (j1 - j0) * (i1 - i0);

  bool slot0 = peek(ram_print_map_flags) & 8;
  const uint8_t *cells = ud_elements(map);
  for (int64_t i = i0; i < i1; i++) {
    for (int64_t j = j0; j < j1; j++) {
      uint16_t cell;
      memcpy(&cell, cells + 2 * ((row0 + i) * mw + col0 + j), 2);
      int64_t slot = cell & sprite_number_mask;
      const userdata *sprite = sprite_slot(P, slot);
      if (!sprite || (slot == 0 && !slot0)) continue;
      if (mask && !(peek(ram_sprite_flags + static_cast<int>(slot)) & mask)) continue;
      line_draw d = draw_tile(c, sprite, cell, ox + j * tw, oy + i * th, tw, th);
      out.tiles.pixels += d.pixels, out.tiles.lines += d.lines;
    }
  }
  return out;
}
