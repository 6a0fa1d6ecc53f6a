// Textured lines and scaled sprites.
#include "gfx/tline.h"

#include <algorithm>
#include <cmath>

#include "gfx/shapes.h"
#include "gfx/sprites.h"
#include "kernel/numbers.h"
#include "kernel/ram.h"
#include "values/userdata.h"

namespace {

int64_t rows_of(const userdata *ud) { return int64_t{ud->height} * ud->depth; }

// A sample index kept inside 0..size-1 (NaN gives 0).
int64_t inside(double t, int64_t size) {
  if (!(t >= 0)) return 0;
  if (t >= static_cast<double>(size)) return size - 1;
  return static_cast<int64_t>(t);
}

// floor_to_i64 without a library call where the value allows (every sample
// of a sane texture): a truncation moved down for negative fractions.
inline int64_t fast_floor(double x) {
  if (!(std::fabs(x) < 0x1p62)) return floor_to_i64(x);
  auto i = static_cast<int64_t>(x);
  return i - (x < static_cast<double>(i));
}

// floor(x) along a walk of small steps: the integer moves only when x crosses
// one, so each sample costs two comparisons. For |x| < 2^50 and steps of at
// most 4; gives exactly floor(x).
struct floor_walker {
  int64_t i = 0;
  double lo = 0, hi = 1;
  explicit floor_walker(double x) : i(fast_floor(x)), lo(static_cast<double>(i)), hi(lo + 1) {}
  int64_t at(double x) {
    while (x >= hi) i++, lo = hi, hi += 1;
    while (x < lo) i--, hi = lo, lo -= 1;
    return i;
  }
};

bool walkable(double start, double step, int64_t count) {
  double end = start + static_cast<double>(count) * step;
  return std::fabs(start) < 0x1p50 && std::fabs(end) < 0x1p50 && std::fabs(step) <= 4;
}

// The texture registers at 0x5530: offsets and the masks the wraps give.
struct wraps {
  int64_t uoff, voff, umask, vmask;
};

wraps read_wraps() {
  return {static_cast<int16_t>(peek2(ram_tline_regs)), static_cast<int16_t>(peek2(ram_tline_regs + 2)),
          static_cast<uint16_t>(peek2(ram_tline_regs + 4) - 1),
          static_cast<uint16_t>(peek2(ram_tline_regs + 6) - 1)};
}

bool short_loop_applies(const canvas &c) {
  if (c.rmask != 0x3F || c.wmask != 0x3F || c.tmask != 0x3F) return false;
  for (uint8_t p : c.pattern)
    if (p) return false;
  return true;
}

}  // namespace

int64_t draw_tline3d(const process *P, const userdata *texture, const canvas &canvas_in, int64_t flags,
                     const tline_ends &end) {
  // A local copy: the pixel stores cannot alias it, so its fields stay in registers.
  const canvas c = canvas_in;
  if (!texture || !c.pixels) return 0;
  uint8_t type = texture->utype & utype_mask;
  if (type != utype_u8 && type != utype_i16) return 0;
  tline_ends e = end;
  if (!std::isfinite(e.x0) || !std::isfinite(e.y0) || !std::isfinite(e.x1) || !std::isfinite(e.y1))
    return 0;
  if (e.y0 > e.y1 || (e.x0 > e.x1 && e.y0 == e.y1)) {
    std::swap(e.x0, e.x1), std::swap(e.y0, e.y1);
    std::swap(e.u0, e.u1), std::swap(e.v0, e.v1), std::swap(e.w0, e.w1);
  }
  double adx = std::fabs(e.x1 - e.x0), ady = std::fabs(e.y1 - e.y0);
  double len = std::max(adx, ady);
  if (len == 0) len = 1e-5;
  double f = std::fmod(adx > ady ? e.x0 : e.y0, 1.0);
  double du = (e.u1 - e.u0) / len, dv = (e.v1 - e.v0) / len, dw = (e.w1 - e.w0) / len;

  // Ends truncated toward zero and cut to 32 bits before the walk multiplies them.
  line_walk wk = clip_line_walk(c, saturate_i32(trunc_to_i64(e.x0)), saturate_i32(trunc_to_i64(e.y0)),
                                saturate_i32(trunc_to_i64(e.x1)), saturate_i32(trunc_to_i64(e.y1)));
  if (flags & tline_no_last_pixel) wk.hi = std::min(wk.hi, wk.n - 1);
  if (wk.n == 0) du = dv = dw = 0;
  if (wk.lo > wk.hi) return 0;

  double k = static_cast<double>(wk.lo);
  double u = e.u0 + k * du, v = e.v0 + k * dv, w = e.w0 + k * dw;
  if (flags & tline_subpixel) u += (1 - f) * du, v += (1 - f) * dv;
  wraps wr = read_wraps();
  int64_t tw = texture->width, th = rows_of(texture);
  const uint8_t *tex = ud_elements(texture);
  bool affine = w == 1 && dw == 0;
  int64_t count = wk.hi - wk.lo + 1;

  auto texel_u8 = [&](double U, double V) -> uint8_t {
    int64_t col = (tw - 1) & (wr.uoff + (fast_floor(U) & wr.umask));
    int64_t row = (th - 1) & (wr.voff + (fast_floor(V) & wr.vmask));
    return tex[row * tw + col];
  };
  auto texel_map = [&](double U, double V) -> uint8_t {
    int64_t col = (tw - 1) & (wr.uoff + (fast_floor(U) & wr.umask));
    int64_t row = (th - 1) & (wr.voff + (fast_floor(V) & wr.vmask));
    uint16_t cell;
    memcpy(&cell, tex + 2 * (row * tw + col), 2);
    const userdata *s = sprite_slot(P, cell & sprite_number_mask);
    if (!s) return 0;
    int64_t sw = s->width, sh = rows_of(s);
    int64_t flip_x = cell & 0x4000 ? -1 : 0, flip_y = cell & 0x8000 ? -1 : 0;
    int64_t sc = (fast_floor(U * static_cast<double>(sw)) ^ flip_x) & (sw - 1);
    int64_t sr = (fast_floor(V * static_cast<double>(sh)) ^ flip_y) & (sh - 1);
    return ud_elements(s)[sr * sw + sc];
  };

  int64_t fx = wk.fx + wk.lo * wk.sx, fy = wk.fy + wk.lo * wk.sy;
  bool short_loop = type == utype_u8 && short_loop_applies(c);
  if (short_loop) {
    // Masks 0x3F and no pattern: table 0, row texel & 63, column old & 63.
    const uint8_t *t0 = c.tab[0];
    uint8_t *pixels = c.pixels;
    int64_t width = c.width;
    auto put = [&](uint8_t s) {
      uint8_t *px = pixels + (fy >> 16) * width + (fx >> 16);
      *px = static_cast<uint8_t>((t0[(s & 63) * 64 + (*px & 63)] & 0x3F) | (*px & 0xC0));
      fx += wk.sx, fy += wk.sy;
    };
    if (affine && walkable(u, du, count) && walkable(v, dv, count)) {
      floor_walker fu(u), fv(v);
      int64_t tw1 = tw - 1, th1 = th - 1;
      for (int64_t i = 0; i < count; i++, u += du, v += dv) {
        int64_t col = tw1 & (wr.uoff + (fu.at(u) & wr.umask));
        int64_t row = th1 & (wr.voff + (fv.at(v) & wr.vmask));
        put(tex[row * tw + col]);
      }
    } else if (affine) {
      for (int64_t i = 0; i < count; i++, u += du, v += dv) put(texel_u8(u, v));
    } else {
      for (int64_t i = 0; i < count; i++, u += du, v += dv, w += dw) put(texel_u8(u / w, v / w));
    }
    // Half the pixels are charged, but for a perspective line, whose two
    // divisions a pixel would then buy more host time than its charge.
    return affine ? count / 2 : count;
  }
  for (int64_t i = 0; i < count; i++, fx += wk.sx, fy += wk.sy) {
    double U = affine ? u : u / w, V = affine ? v : v / w;
    uint8_t s = type == utype_u8 ? texel_u8(U, V) : texel_map(U, V);
    int64_t x = fx >> 16, y = fy >> 16;
    uint8_t *px = c.pixels + y * c.width + x;
    *px = sprite_pixel(c, x, y, s, *px);
    u += du, v += dv, w += dw;
  }
  return count;
}

int64_t draw_tline_sspr(const userdata *sprite, const canvas &canvas_in, int64_t x0, int64_t y0, int64_t x1,
                        int64_t y1, double u0, double v0, double u1, double v1) {
  const canvas c = canvas_in;  // kept in registers across the pixel stores
  if (!sprite || !c.pixels || (sprite->utype & utype_mask) != utype_u8) return 0;
  if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1), std::swap(u0, u1), std::swap(v0, v1);
  line_walk wk = clip_line_walk(c, x0, y0, x1, y1);
  if (wk.lo > wk.hi) return 0;
  double n = static_cast<double>(wk.n);
  double du = wk.n ? (u1 - u0) / n : 0, dv = wk.n ? (v1 - v0) / n : 0;
  double k = static_cast<double>(wk.lo);
  double u = u0 + k * du, v = v0 + k * dv;
  int64_t sw = sprite->width, sh = rows_of(sprite);
  const uint8_t *px = ud_elements(sprite);
  int64_t fx = wk.fx + wk.lo * wk.sx, fy = wk.fy + wk.lo * wk.sy;
  int64_t count = wk.hi - wk.lo + 1;
  // Where both ends of the walk sample inside the sprite (with room for the
  // rounding of the steps), no sample needs keeping inside.
  double last = static_cast<double>(count - 1);
  auto within = [](double a, double b, int64_t size) {
    return std::min(a, b) > -0.5 && std::max(a, b) < static_cast<double>(size) - 1e-6;
  };
  if (within(u, u + last * du, sw) && within(v, v + last * dv, sh)) {
    for (int64_t i = 0; i < count; i++, fx += wk.sx, fy += wk.sy, u += du, v += dv) {
      int64_t x = fx >> 16, y = fy >> 16;
      uint8_t *out = c.pixels + y * c.width + x;
      *out = sprite_pixel(c, x, y, px[static_cast<int64_t>(v) * sw + static_cast<int64_t>(u)], *out);
    }
    return count;
  }
  for (int64_t i = 0; i < count; i++, fx += wk.sx, fy += wk.sy, u += du, v += dv) {
    int64_t x = fx >> 16, y = fy >> 16;
    uint8_t *out = c.pixels + y * c.width + x;
    *out = sprite_pixel(c, x, y, px[inside(v, sh) * sw + inside(u, sw)], *out);
  }
  return count;
}

int64_t draw_sspr(const userdata *sprite, const canvas &c, int64_t sx, int64_t sy, int64_t sw,
                  int64_t sh, int64_t dx, int64_t dy, int64_t dw, int64_t dh, bool flip_x,
                  bool flip_y) {
  if (!sprite || !c.pixels || sw <= 0 || sh <= 0) return 0;
  if (dw < 0) dx += dw, dw = -dw, flip_x = !flip_x;
  if (dh < 0) dy += dh, dh = -dh, flip_y = !flip_y;
  if (sx < 0) dx += dw * -sx / sw, sx = 0;
  if (sy < 0) dy += dh * -sy / sh, sy = 0;
  int64_t spw = sprite->width, sph = rows_of(sprite);
  if (sx >= spw || sy >= sph) return 0;
  if (sw >= spw - sx) dw = dw * (spw - sx) / sw, sw = spw - sx;
  if (sh >= sph - sy) dh = dh * (sph - sy) / sh, sh = sph - sy;
  if (dw <= 0 || dh <= 0) return 0;
  double fu = static_cast<double>(sw) / static_cast<double>(dw);
  double fv = static_cast<double>(sh) / static_cast<double>(dh);
  double dsx = static_cast<double>(sx), dsy = static_cast<double>(sy);
  int64_t n = 0;
  if (dh < dw) {
    // A line a destination row, over the rows inside the clip only.
    int64_t r0 = std::max<int64_t>(0, c.cy0 - dy), r1 = std::min(dh - 1, c.cy1 - 1 - dy);
    double u0 = dsx + fu / 2, u1 = dsx + static_cast<double>(sw) - fu / 2;
    if (flip_x) std::swap(u0, u1);
    for (int64_t r = r0; r <= r1; r++) {
      double v = static_cast<double>(flip_y ? dh - 1 - r : r) * fv + dsy + fv / 2;
      n += draw_tline_sspr(sprite, c, dx, dy + r, dx + dw - 1, dy + r, u0, v, u1, v);
    }
  } else {
    int64_t c0 = std::max<int64_t>(0, c.cx0 - dx), c1 = std::min(dw - 1, c.cx1 - 1 - dx);
    double v0 = dsy + fv / 2, v1 = dsy + static_cast<double>(sh) - fv / 2;
    if (flip_y) std::swap(v0, v1);
    for (int64_t col = c0; col <= c1; col++) {
      double u = static_cast<double>(flip_x ? dw - 1 - col : col) * fu + dsx + fu / 2;
      n += draw_tline_sspr(sprite, c, dx + col, dy, dx + col, dy + dh - 1, u, v0, u, v1);
    }
  }
  return n;
}
