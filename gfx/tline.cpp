// Textured lines and scaled sprites.
#include "gfx/tline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The texture of a line: a u8 bitmap, or an i16 map whose cells name P's sprites.
struct tex_source {
  const process *P;
  const uint8_t *el;
  int64_t tw, th;
  wraps wr;
  bool map;
};

// The walk through the texture: u, v and w of the next pixel, and their steps.
struct tex_walk {
  double u, v, w, du, dv, dw;
};

uint8_t texel_at(const tex_source &t, double U, double V) {
  int64_t col = (t.tw - 1) & (t.wr.uoff + (fast_floor(U) & t.wr.umask));
  int64_t row = (t.th - 1) & (t.wr.voff + (fast_floor(V) & t.wr.vmask));
  if (!t.map) return t.el[row * t.tw + col];
  uint16_t cell;
  memcpy(&cell, t.el + 2 * (row * t.tw + col), 2);
  const userdata *s = sprite_slot(t.P, cell & sprite_number_mask);
  if (!s) return 0;
  int64_t sw = s->width, sh = rows_of(s);
  int64_t flip_x = cell & 0x4000 ? -1 : 0, flip_y = cell & 0x8000 ? -1 : 0;
  int64_t sc = (fast_floor(U * static_cast<double>(sw)) ^ flip_x) & (sw - 1);
  int64_t sr = (fast_floor(V * static_cast<double>(sh)) ^ flip_y) & (sh - 1);
  return ud_elements(s)[sr * sw + sc];
}

// Whether a value walked count steps from start stays below 2^30 in size: the
// sum of steps moves one way, so its two ends bound it.
bool stays_small(double start, double step, int64_t count) {
  double end = start + static_cast<double>(count) * step;
  return std::fabs(start) < 0x1p30 && std::fabs(end) < 0x1p30;
}

/* Samplers: next() gives the texel of the next pixel and moves the walk on. */

// Any texture: the samples (u, v) of an affine line, (u / w, v / w) of others.
struct plain_sampler {
  tex_source t;
  tex_walk s;
  bool affine;
  uint8_t next() {
    uint8_t texel = affine ? texel_at(t, s.u, s.v) : texel_at(t, s.u / s.w, s.v / s.w);
    s.u += s.du, s.v += s.dv, s.w += s.dw;
    return texel;
  }
};

#if defined(__SSE2__)
// u and v in the two lanes of one register: the same sums and quotients as two
// doubles each (IEEE arithmetic is exact lane by lane), the floors of both
// taken at once as 32-bit integers, whose low bits are those of the 64-bit
// arithmetic of texel_at.
struct u8_lanes {
  const uint8_t *el;
  int64_t tw;
  __m128i wrap, off, size;  // lane 0 for u, lane 1 for v
  __m128d uv, step;
  explicit u8_lanes(const tex_source &t, const tex_walk &s)
      : el(t.el), tw(t.tw),
        wrap(_mm_setr_epi32(static_cast<int>(t.wr.umask), static_cast<int>(t.wr.vmask), 0, 0)),
        off(_mm_setr_epi32(static_cast<int>(t.wr.uoff), static_cast<int>(t.wr.voff), 0, 0)),
        size(_mm_setr_epi32(static_cast<int>(t.tw - 1), static_cast<int>(t.th - 1), 0, 0)),
        uv(_mm_setr_pd(s.u, s.v)), step(_mm_setr_pd(s.du, s.dv)) {}
  // floor of lanes 0 and 1 (each below 2^31 in size) in 32-bit lanes 0 and 1.
  static __m128i floors(__m128d x) {
    __m128i t = _mm_cvttpd_epi32(x);
    __m128i below = _mm_castpd_si128(_mm_cmplt_pd(x, _mm_cvtepi32_pd(t)));
    return _mm_add_epi32(t, _mm_shuffle_epi32(below, _MM_SHUFFLE(3, 3, 2, 0)));
  }
  uint8_t texel(__m128i f) const {
    __m128i cr = _mm_and_si128(_mm_add_epi32(_mm_and_si128(f, wrap), off), size);
    auto q = static_cast<uint64_t>(_mm_cvtsi128_si64(cr));
    return el[static_cast<int64_t>(q >> 32) * tw + static_cast<int64_t>(q & 0xFFFFFFFF)];
  }
};

// An affine line over a u8 texture whose u and v stay small.
struct affine_lanes : u8_lanes {
  using u8_lanes::u8_lanes;
  uint8_t next() {
    uint8_t t = texel(floors(uv));
    uv = _mm_add_pd(uv, step);
    return t;
  }
};

// A perspective line over a u8 texture: one division gives both quotients; a
// quotient of 2^31 or more in size (or not a number) takes the plain floors.
struct perspective_lanes : u8_lanes {
  const tex_source *t;
  double w, dw;
  perspective_lanes(const tex_source &t_, const tex_walk &s) : u8_lanes(t_, s), t(&t_), w(s.w), dw(s.dw) {}
  uint8_t next() {
    __m128d q = _mm_div_pd(uv, _mm_set1_pd(w));
    uv = _mm_add_pd(uv, step), w += dw;
    const __m128d magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), q);
    if (_mm_movemask_pd(_mm_cmplt_pd(magnitude, _mm_set1_pd(0x1p31))) == 3) return texel(floors(q));
    return texel_at(*t, _mm_cvtsd_f64(q), _mm_cvtsd_f64(_mm_unpackhi_pd(q, q)));
  }
};
#endif

/* Writers: put() writes the next pixel of the walk by the sprite pixel rule;
   under masks 0x3F and no pattern (`plain`) that rule reads table 0 alone. */

inline uint8_t plain_pixel(const uint8_t *t0, uint8_t texel, uint8_t old) {
  return static_cast<uint8_t>((t0[(texel & 63) * 64 + (old & 63)] & 0x3F) | (old & 0xC0));
}

// A line along a row, left to right.
template <bool plain>
struct row_writer {
  const canvas &c;
  const uint8_t *t0;
  uint8_t *px;
  int64_t x, y;
  void put(uint8_t texel) {
    if constexpr (plain)
      *px = plain_pixel(t0, texel, *px);
    else
      *px = sprite_pixel(c, x, y, texel, *px);
    px++, x++;
  }
};

// Any line: steps of 16.16 from the pixel centre.
template <bool plain>
struct step_writer {
  const canvas &c;
  const uint8_t *t0;
  int64_t fx, fy, sx, sy;
  void put(uint8_t texel) {
    int64_t x = fx >> 16, y = fy >> 16;
    uint8_t *px = c.pixels + y * c.width + x;
    if constexpr (plain)
      *px = plain_pixel(t0, texel, *px);
    else
      *px = sprite_pixel(c, x, y, texel, *px);
    fx += sx, fy += sy;
  }
};

template <typename Sampler, typename Writer>
void walk(Sampler sampler, Writer writer, int64_t count) {
  for (int64_t i = 0; i < count; i++) writer.put(sampler.next());
}

// Draws the visible steps lo..hi of a walk, each texel from the sampler. Each
// texel is sampled and written before the next is sampled, so a line whose
// texture is its own target reads the pixels before it as drawn.
template <typename Sampler>
void draw_walk(const canvas &c, const line_walk &wk, bool plain, Sampler sampler) {
  int64_t count = wk.hi - wk.lo + 1;
  int64_t fx = wk.fx + wk.lo * wk.sx, fy = wk.fy + wk.lo * wk.sy;
  const uint8_t *t0 = c.tab[0];
  if (wk.sx == 65536 && wk.sy == 0) {
    int64_t x = fx >> 16, y = fy >> 16;
    uint8_t *px = c.pixels + y * c.width + x;
    if (plain)
      walk(sampler, row_writer<true>{c, t0, px, x, y}, count);
    else
      walk(sampler, row_writer<false>{c, t0, px, x, y}, count);
  } else if (plain) {
    walk(sampler, step_writer<true>{c, t0, fx, fy, wk.sx, wk.sy}, count);
  } else {
    walk(sampler, step_writer<false>{c, t0, fx, fy, wk.sx, wk.sy}, count);
  }
}

// The samples of a scaled sprite's line: column floor(u), row floor(v), no
// wrapping; `keep_inside` holds each inside the sprite.
template <bool keep_inside>
struct sprite_sampler {
  const uint8_t *px;
  int64_t sw, sh;
  double u, v, du, dv;
  uint8_t next() {
    uint8_t t = keep_inside ? px[inside(v, sh) * sw + inside(u, sw)]
                            : px[static_cast<int64_t>(v) * sw + static_cast<int64_t>(u)];
    u += du, v += dv;
    return t;
  }
};

// clip_line_walk of a line along a row or a column (y0 <= y1), whose steps
// are whole pixels: the same walk, clipped without dividing.
line_walk axis_walk(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  line_walk w{};
  int64_t ux = (x1 > x0) - (x1 < x0), uy = y1 > y0;
  w.n = std::max(std::abs(x1 - x0), y1 - y0);
  w.sx = ux * 65536, w.sy = uy * 65536;
  w.fx = x0 * 65536 + 0x8000, w.fy = y0 * 65536 + 0x8000;
  w.lo = 0, w.hi = c.pixels ? w.n : -1;
  // The steps i whose start + i x unit lies in lo_edge .. hi_edge - 1.
  auto narrow = [&w](int64_t start, int64_t unit, int64_t lo_edge, int64_t hi_edge) {
    if (unit > 0) {
      w.lo = std::max(w.lo, lo_edge - start), w.hi = std::min(w.hi, hi_edge - 1 - start);
    } else if (unit < 0) {
      w.lo = std::max(w.lo, start - (hi_edge - 1)), w.hi = std::min(w.hi, start - lo_edge);
    } else if (start < lo_edge || start >= hi_edge) {
      w.lo = 1, w.hi = 0;
    }
  };
  narrow(x0, ux, c.cx0, c.cx1);
  narrow(y0, uy, c.cy0, c.cy1);
  return w;
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
  tex_walk s{e.u0 + k * du, e.v0 + k * dv, e.w0 + k * dw, du, dv, dw};
  if (flags & tline_subpixel) s.u += (1 - f) * du, s.v += (1 - f) * dv;
  tex_source t{P, ud_elements(texture), texture->width, rows_of(texture), read_wraps(), type == utype_i16};
  bool affine = s.w == 1 && dw == 0;
  bool plain = !t.map && short_loop_applies(c);
  int64_t count = wk.hi - wk.lo + 1;
  auto draw = [&](auto sampler) { draw_walk(c, wk, plain, sampler); };
#if defined(__SSE2__)
  if (!t.map && affine && stays_small(s.u, du, count) && stays_small(s.v, dv, count))
    draw(affine_lanes(t, s));
  else if (!t.map && !affine)
    draw(perspective_lanes(t, s));
  else
#endif
    draw(plain_sampler{t, s, affine});
  // The short loop of an affine line is charged half its pixels; a perspective
  // line is charged them all, as its two divisions a pixel would then buy
  // more host time than their charge.
  return plain && affine ? count / 2 : count;
}

int64_t draw_tline_sspr(const userdata *sprite, const canvas &canvas_in, int64_t x0, int64_t y0, int64_t x1,
                        int64_t y1, double u0, double v0, double u1, double v1) {
  const canvas c = canvas_in;  // kept in registers across the pixel stores
  if (!sprite || !c.pixels || (sprite->utype & utype_mask) != utype_u8) return 0;
  if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1), std::swap(u0, u1), std::swap(v0, v1);
  line_walk wk = x0 == x1 || y0 == y1 ? axis_walk(c, x0, y0, x1, y1) : clip_line_walk(c, x0, y0, x1, y1);
  if (wk.lo > wk.hi) return 0;
  double n = static_cast<double>(wk.n);
  double du = wk.n ? (u1 - u0) / n : 0, dv = wk.n ? (v1 - v0) / n : 0;
  double k = static_cast<double>(wk.lo);
  double u = u0 + k * du, v = v0 + k * dv;
  int64_t sw = sprite->width, sh = rows_of(sprite);
  const uint8_t *px = ud_elements(sprite);
  int64_t count = wk.hi - wk.lo + 1;
  // Where both ends of the walk sample inside the sprite, no sample needs
  // keeping inside. The summed steps may drift from the ends by half a unit
  // in the last place a step, so the ends keep that much room.
  double last = static_cast<double>(count - 1);
  auto within = [last](double a, double b, int64_t size) {
    double drift = (last + 2) * std::max({std::fabs(a), std::fabs(b), 1.0}) * 0x1p-52;
    return std::min(a, b) - drift > -1 && std::max(a, b) + drift < static_cast<double>(size);
  };
  bool plain = short_loop_applies(c);
  if (within(u, u + last * du, sw) && within(v, v + last * dv, sh))
    draw_walk(c, wk, plain, sprite_sampler<false>{px, sw, sh, u, v, du, dv});
  else
    draw_walk(c, wk, plain, sprite_sampler<true>{px, sw, sh, u, v, du, dv});
  return count;
}

line_draw draw_sspr(const userdata *sprite, const canvas &c, int64_t sx, int64_t sy, int64_t sw,
                  int64_t sh, int64_t dx, int64_t dy, int64_t dw, int64_t dh, bool flip_x,
                  bool flip_y) {
  if (!sprite || !c.pixels || sw <= 0 || sh <= 0) return {};
  if (dw < 0) dx += dw, dw = -dw, flip_x = !flip_x;
  if (dh < 0) dy += dh, dh = -dh, flip_y = !flip_y;
  if (sx < 0) dx += dw * -sx / sw, sx = 0;
  if (sy < 0) dy += dh * -sy / sh, sy = 0;
  int64_t spw = sprite->width, sph = rows_of(sprite);
  if (sx >= spw || sy >= sph) return {};
  if (sw >= spw - sx) dw = dw * (spw - sx) / sw, sw = spw - sx;
  if (sh >= sph - sy) dh = dh * (sph - sy) / sh, sh = sph - sy;
  if (dw <= 0 || dh <= 0) return {};
  double fu = static_cast<double>(sw) / static_cast<double>(dw);
  double fv = static_cast<double>(sh) / static_cast<double>(dh);
  double dsx = static_cast<double>(sx), dsy = static_cast<double>(sy);
  line_draw n;
  // Nothing when the destination misses the clip; else every line drawn is
  // one inside the clip that meets it.
  if (dx + dw <= c.cx0 || dx >= c.cx1 || dy + dh <= c.cy0 || dy >= c.cy1) return n;
  if (dh < dw) {
    // A line a destination row, over the rows inside the clip only.
    int64_t r0 = std::max<int64_t>(0, c.cy0 - dy), r1 = std::min(dh - 1, c.cy1 - 1 - dy);
    double u0 = dsx + fu / 2, u1 = dsx + static_cast<double>(sw) - fu / 2;
    if (flip_x) std::swap(u0, u1);
    for (int64_t r = r0; r <= r1; r++) {
      double v = static_cast<double>(flip_y ? dh - 1 - r : r) * fv + dsy + fv / 2;
      n.pixels += draw_tline_sspr(sprite, c, dx, dy + r, dx + dw - 1, dy + r, u0, v, u1, v);
      n.lines++;
    }
  } else {
    int64_t c0 = std::max<int64_t>(0, c.cx0 - dx), c1 = std::min(dw - 1, c.cx1 - 1 - dx);
    double v0 = dsy + fv / 2, v1 = dsy + static_cast<double>(sh) - fv / 2;
    if (flip_y) std::swap(v0, v1);
    for (int64_t col = c0; col <= c1; col++) {
      double u = static_cast<double>(flip_x ? dw - 1 - col : col) * fu + dsx + fu / 2;
      n.pixels += draw_tline_sspr(sprite, c, dx + col, dy, dx + col, dy + dh - 1, u, v0, u, v1);
      n.lines++;
    }
  }
  return n;
}
