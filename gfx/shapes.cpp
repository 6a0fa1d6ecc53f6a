// Shape primitives: spans, rectangles, lines, ovals and rounded rectangles.
#include "gfx/shapes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Ellipses with both radii up to this are walked step by step (McIlroy's
// algorithm; its products stay far inside 64 bits). Larger ones are drawn row
// by row over the clip only, so a huge radius costs no more than the clip.
constexpr int64_t ellipse_walk_max = int64_t{1} << 16;

int64_t floor_div(int64_t n, int64_t d) {
  int64_t q = n / d;
  return (n % d != 0 && ((n < 0) != (d < 0))) ? q - 1 : q;
}
int64_t ceil_div(int64_t n, int64_t d) { return -floor_div(-n, d); }

bool clip_span(const canvas &c, int64_t &x0, int64_t &x1, int64_t y) {
  if (!c.pixels || y < c.cy0 || y >= c.cy1) return false;
  x0 = std::max(x0, c.cx0);
  x1 = std::min(x1, c.cx1 - 1);
  return x0 <= x1;
}

// The fast path's two output bytes, for pattern bits 0 and 1 (before the write mask merges).
void fast_bytes(const canvas &c, int colour, uint8_t out[2]) {
  auto col = static_cast<uint16_t>(colour);
  for (int p = 0; p < 2; p++) {
    auto src = static_cast<uint8_t>(c.rmask & (p ? col >> 8 : col));
    out[p] = c.tab[src >> 6][(src & 63) * 64] & c.wmask;
  }
}

// The pixel rule with everything but the old byte settled: the table
// (src | dst) >> 6 is (src >> 6) | (dst >> 6), so each pattern bit p and each
// top pair h of the masked destination names one colour-table row, rows[p][h].
void rule_rows(const canvas &c, int colour, const uint8_t *rows[2][4]) {
  auto col = static_cast<uint16_t>(colour);
  for (int p = 0; p < 2; p++) {
    auto src = static_cast<uint8_t>(c.rmask & (p ? col >> 8 : col));
    for (int h = 0; h < 4; h++) rows[p][h] = c.tab[(src >> 6) | h] + (src & 63) * 64;
  }
}

// Below this many pixels a band runs the rule span by span; above it the new
// byte for every old byte is tabled first (512 entries), then each pixel is one look-up.
constexpr int64_t rule_table_min_pixels = 4096;

// Rows y0..y1 (already inside the clip) under the general rule through a table.
int64_t band_tabled(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  const uint8_t *rows[2][4];
  rule_rows(c, colour, rows);
  uint8_t table[2][256];
  uint8_t tm = c.tmask, wm = c.wmask;
  for (int p = 0; p < 2; p++)
    for (int old = 0; old < 256; old++) {
      int d = old & tm;
      table[p][old] = static_cast<uint8_t>((rows[p][d >> 6][d & 63] & wm) | (old & ~wm));
    }
  int64_t n = 0;
  for (int64_t y = y0; y <= y1; y++) {
    int64_t a = x0, b = x1;
    if (!clip_span(c, a, b, y)) continue;
    uint8_t *row = c.pixels + y * c.width, prow = c.pattern[y & 7];
    if (prow == 0 || prow == 0xFF) {
      const uint8_t *t = table[prow & 1];
      for (int64_t x = a; x <= b; x++) row[x] = t[row[x]];
    } else {
      const uint8_t *group[8];
      for (int i = 0; i < 8; i++) group[i] = table[(prow >> i) & 1];
      for (int64_t x = a; x <= b; x++) row[x] = group[x & 7][row[x]];
    }
    n += b - a + 1;
  }
  return n;
}

// Rows y0..y1 and columns x0..x1 as given (an empty range draws nothing).
int64_t band(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  y0 = std::max(y0, c.cy0);
  y1 = std::min(y1, c.cy1 - 1);
  int64_t n = 0;
  // Spans of whole rows lie end to end in memory: where the fast path writes one
  // byte to every pixel of each row, neighbouring rows with the same byte take one memset.
  if (!c.tmask && c.wmask == 0xFF && c.pixels && c.cx0 == 0 && c.cx1 == c.width && c.width > 0 &&
      x0 <= 0 && x1 >= c.width - 1) {
    uint8_t out[2];
    fast_bytes(c, colour, out);
    int64_t per_row = (c.width - 1) / 4 + 2;
    for (int64_t y = y0; y <= y1;) {
      uint8_t prow = c.pattern[y & 7];
      if (prow != 0 && prow != 0xFF) {
        n += draw_hline(c, x0, x1, y, colour);
        y++;
        continue;
      }
      uint8_t byte = out[prow & 1];
      int64_t end = y + 1;
      for (; end <= y1; end++) {
        uint8_t next = c.pattern[end & 7];
        if ((next != 0 && next != 0xFF) || out[next & 1] != byte) break;
      }
      memset(c.pixels + y * c.width, byte, static_cast<size_t>((end - y) * c.width));
      n += (end - y) * per_row;
      y = end;
    }
    return n;
  }
  if (c.tmask && c.pixels && y0 <= y1 && x0 <= x1 &&
      (y1 - y0 + 1) * (std::min(x1, c.cx1 - 1) - std::max(x0, c.cx0) + 1) >= rule_table_min_pixels)
    return band_tabled(c, x0, y0, x1, y1, colour);
  for (int64_t y = y0; y <= y1; y++) n += draw_hline(c, x0, x1, y, colour);
  return n;
}

int64_t fill_clip(const canvas &c, int colour) { return band(c, c.cx0, c.cy0, c.cx1 - 1, c.cy1 - 1, colour); }

bool box_meets_clip(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  return x1 >= c.cx0 && x0 < c.cx1 && y1 >= c.cy0 && y0 < c.cy1;
}

// McIlroy's integer ellipse walk over one quadrant: step(x, y, moves_y) before
// each move. Returns the number of steps.
template <typename Step>
int64_t mcilroy_walk(int64_t a, int64_t b, Step step) {
  int64_t a2 = a * a, b2 = b * b;
  int64_t x = 0, y = b;
  int64_t t = -a2 * b, dxt = 0, dyt = -2 * a2 * b;
  int64_t crit1 = -(a2 / 4 + a % 2 + b2);
  int64_t crit2 = -(b2 / 4 + b % 2 + a2);
  int64_t crit3 = -(b2 / 4 + b % 2);
  int64_t steps = 0;
  while (y >= 0 && x <= a) {
    steps++;
    if (t + b2 * x <= crit1 || t + a2 * y <= crit3) {
      step(x, y, false);
      x++, dxt += 2 * b2, t += dxt;
    } else if (t - a2 * y > crit2) {
      step(x, y, true);
      y--, dyt += 2 * a2, t += dyt;
    } else {
      step(x, y, true);
      x++, dxt += 2 * b2, t += dxt;
      y--, dyt += 2 * a2, t += dyt;
    }
  }
  return steps;
}

// Half-width of a huge ellipse at dy rows from its centre (0 <= dy <= b).
int64_t half_width(int64_t a, int64_t b, int64_t dy) {
  if (b == 0) return a;
  long double r = static_cast<long double>(a) *
                  std::sqrt(static_cast<long double>(b - dy) * static_cast<long double>(b + dy)) /
                  static_cast<long double>(b);
  return std::min<int64_t>(a, static_cast<int64_t>(std::floor(r)));
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* spans and rectangles                                                   */
/* ---------------------------------------------------------------------- */

int64_t draw_hline_general(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour) {
  if (!clip_span(c, x0, x1, y)) return 0;
  // shape_pixel with everything but the old byte settled for the row (rule_rows).
  const uint8_t *rows[2][4];
  rule_rows(c, colour, rows);
  uint8_t prow = c.pattern[y & 7], tm = c.tmask, wm = c.wmask;
  auto keep = static_cast<uint8_t>(~wm);
  uint8_t *row = c.pixels + y * c.width;
  if (prow != 0 && prow != 0xFF) {
    // The pattern repeats every 8 pixels: the rows of each of the 8 columns.
    const uint8_t *const *group[8];
    for (int i = 0; i < 8; i++) group[i] = rows[(prow >> i) & 1];
    if (tm & 0xC0) {
      for (int64_t x = x0; x <= x1; x++) {
        uint8_t old = row[x], d = old & tm;
        row[x] = static_cast<uint8_t>((group[x & 7][d >> 6][d & 63] & wm) | (old & keep));
      }
    } else {
      const uint8_t *flat[8];
      for (int i = 0; i < 8; i++) flat[i] = group[i][0];
      for (int64_t x = x0; x <= x1; x++) {
        uint8_t old = row[x];
        row[x] = static_cast<uint8_t>((flat[x & 7][old & tm] & wm) | (old & keep));
      }
    }
  } else if (tm & 0xC0) {
    const uint8_t *const *r = rows[prow & 1];
    for (int64_t x = x0; x <= x1; x++) {
      uint8_t old = row[x], d = old & tm;
      row[x] = static_cast<uint8_t>((r[d >> 6][d & 63] & wm) | (old & keep));
    }
  } else {
    // The usual case: one pattern bit and one table row for the whole span.
    const uint8_t *r = rows[prow & 1][0];
    if (wm == 0xFF) {
      for (int64_t x = x0; x <= x1; x++) row[x] = r[row[x] & tm];
    } else {
      for (int64_t x = x0; x <= x1; x++) {
        uint8_t old = row[x];
        row[x] = static_cast<uint8_t>((r[old & tm] & wm) | (old & keep));
      }
    }
  }
  return x1 - x0 + 1;
}

int64_t draw_hline(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour) {
  if (c.tmask) return draw_hline_general(c, x0, x1, y, colour);
  if (!clip_span(c, x0, x1, y)) return 0;
  // The destination takes no part in the lookup: the byte for each pattern
  // bit is found once, with the old byte mattering only through the write mask.
  uint8_t prow = c.pattern[y & 7];
  uint8_t out[2];
  fast_bytes(c, colour, out);
  uint8_t *row = c.pixels + y * c.width;
  int64_t k = x1 - x0 + 1;
  if (c.wmask == 0xFF && (prow == 0 || prow == 0xFF)) {
    memset(row + x0, out[prow & 1], static_cast<size_t>(k));
    return (k - 1) / 4 + 2;
  }
  uint8_t group[8];
  for (int i = 0; i < 8; i++) group[i] = out[(prow >> i) & 1];
  if (c.wmask == 0xFF) {
    for (int64_t x = x0; x <= x1; x++) row[x] = group[x & 7];
  } else {
    auto keep = static_cast<uint8_t>(~c.wmask);
    for (int64_t x = x0; x <= x1; x++) row[x] = static_cast<uint8_t>(group[x & 7] | (row[x] & keep));
  }
  return (k - 1) / 4 + 2;
}

int64_t draw_hline_inv(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour) {
  return draw_hline(c, c.cx0 - 1, std::min(x0, x1) - 1, y, colour) +
         draw_hline(c, std::max(x0, x1) + 1, c.cx1 + 1, y, colour);
}

int64_t rectfill(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  return band(c, x0, y0, x1, y1, colour);
}

int64_t rectfill_inverted(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                          int colour) {
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  int64_t w = c.width, h = c.height;
  return band(c, -1, -1, w, y0 - 1, colour) + band(c, -1, y1 + 1, w, h, colour) +
         band(c, -1, y0, x0 - 1, y1, colour) + band(c, x1 + 1, y0, w, y1, colour);
}

int64_t rectfill_raw(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint8_t byte) {
  if (!c.pixels) return 0;
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  x0 = std::max(x0, c.cx0), x1 = std::min(x1, c.cx1 - 1);
  y0 = std::max(y0, c.cy0), y1 = std::min(y1, c.cy1 - 1);
  if (x0 > x1 || y0 > y1) return 0;
  for (int64_t y = y0; y <= y1; y++) memset(c.pixels + y * c.width + x0, byte, static_cast<size_t>(x1 - x0 + 1));
  return (y1 - y0 + 1) * (x1 - x0 + 1);
}

int64_t draw_rect(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  int64_t n = draw_hline(c, x0, x1, y0, colour);
  if (y1 != y0) n += draw_hline(c, x0, x1, y1, colour);
  if (y1 - y0 > 1) n += band(c, x0, y0 + 1, x0, y1 - 1, colour) + band(c, x1, y0 + 1, x1, y1 - 1, colour);
  return n;
}

/* ---------------------------------------------------------------------- */
/* lines                                                                  */
/* ---------------------------------------------------------------------- */

namespace {

// Narrows [lo, hi] to the steps i where edge_lo <= (start + i * step) >> 16 < edge_hi.
void narrow_steps(int64_t start, int64_t step, int64_t edge_lo, int64_t edge_hi, int64_t &lo, int64_t &hi) {
  int64_t low = edge_lo * 65536, high = edge_hi * 65536 - 1;
  if (step == 0) {
    if (start < low || start > high) lo = 1, hi = 0;
  } else if (step > 0) {
    lo = std::max(lo, ceil_div(low - start, step));
    hi = std::min(hi, floor_div(high - start, step));
  } else {
    lo = std::max(lo, ceil_div(start - high, -step));
    hi = std::min(hi, floor_div(start - low, -step));
  }
}

}  // namespace

int64_t draw_line(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  if (!c.pixels) return 0;
  if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1);
  if (y1 < c.cy0 || y0 >= c.cy1 || (x0 < c.cx0 && x1 < c.cx0) || (x0 >= c.cx1 && x1 >= c.cx1))
    return 0;
  line_walk w = clip_line_walk(c, x0, y0, x1, y1);
  if (w.lo > w.hi) return 0;
  for (int64_t i = w.lo; i <= w.hi; i++)
    putpixel_noclip(c, (w.fx + i * w.sx) >> 16, (w.fy + i * w.sy) >> 16, colour);
  return w.hi - w.lo + 1;
}

line_walk clip_line_walk(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  line_walk w{};
  int64_t dx = x1 - x0, dy = y1 - y0;
  w.n = std::max(std::abs(dx), std::abs(dy));
  w.sx = w.n ? dx * 65536 / w.n : 0, w.sy = w.n ? dy * 65536 / w.n : 0;
  w.fx = x0 * 65536 + 0x8000, w.fy = y0 * 65536 + 0x8000;
  w.lo = 0, w.hi = w.n;
  if (!c.pixels) w.lo = 1, w.hi = 0;
  narrow_steps(w.fx, w.sx, c.cx0, c.cx1, w.lo, w.hi);
  narrow_steps(w.fy, w.sy, c.cy0, c.cy1, w.lo, w.hi);
  return w;
}

/* ---------------------------------------------------------------------- */
/* ellipses                                                               */
/* ---------------------------------------------------------------------- */

int64_t draw_ellipse_1(const canvas &c, int64_t cx, int64_t cy, int64_t a, int64_t b, int64_t ox,
                       int64_t oy, int colour) {
  if (a < 0 || b < 0 || !c.pixels) return 0;
  if (a <= ellipse_walk_max && b <= ellipse_walk_max) {
    int64_t n = 0;
    mcilroy_walk(a, b, [&](int64_t x, int64_t y, bool) {
      putpixel(c, cx + ox + x, cy + oy + y, colour);
      bool second = !(y + oy < 1 || x + ox < 1);
      if (second) putpixel(c, cx - x, cy - y, colour);
      n += second ? 3 : 2;
      if (!(y + oy < 1)) putpixel(c, cx + ox + x, cy - y, colour), n++;
      if (x + ox > 0) putpixel(c, cx - x, cy + oy + y, colour), n++;
    });
    return n;
  }
  // Row by row over the clip: each row of the quadrant carries the run of x
  // from just past the next row's half-width out to its own.
  int64_t n = 0;
  auto run = [&](int64_t dy, int64_t row) {
    int64_t hi = half_width(a, b, dy);
    int64_t lo = dy == b ? 0 : std::min(hi, half_width(a, b, dy + 1) + 1);
    n += 8 + draw_hline(c, cx + ox + lo, cx + ox + hi, row, colour);
    int64_t left_lo = std::max(lo, 1 - ox);
    if (left_lo <= hi) n += draw_hline(c, cx - hi, cx - left_lo, row, colour);
  };
  for (int64_t row = c.cy0; row < c.cy1; row++) {
    int64_t up = cy - row, down = row - cy - oy;
    if (up >= 0 && up <= b && up + oy >= 1) run(up, row);
    if (down >= 0 && down <= b) run(down, row);
  }
  return n;
}

int64_t fill_ellipse_1(const canvas &c, int64_t cx, int64_t cy, int64_t a, int64_t b, int64_t ox,
                       int64_t oy, int colour) {
  if (a < 0 || b < 0 || !c.pixels) return 0;
  auto span = [&](int64_t x, int64_t row) {
    return c.inverted ? draw_hline_inv(c, cx - x, cx + ox + x, row, colour)
                      : draw_hline(c, cx - x, cx + ox + x, row, colour);
  };
  int64_t n = 0;
  if (a <= ellipse_walk_max && b <= ellipse_walk_max) {
    int64_t last_y = b;
    int64_t steps = mcilroy_walk(a, b, [&](int64_t x, int64_t y, bool moves_y) {
      if (!moves_y) return;
      n += span(x, cy - y);
      if (y + oy > 0) n += span(x, cy + oy + y);
      last_y = y - 1;
    });
    // A walk that ran out of x before reaching the middle row: its outline
    // ends at x = a on the rows left, so the fill does too.
    for (int64_t y = std::min(last_y, b); y >= 0; y--) {
      n += span(a, cy - y);
      if (y + oy > 0) n += span(a, cy + oy + y);
    }
    n += 8 * steps;
  } else {
    for (int64_t row = c.cy0; row < c.cy1; row++) {
      int64_t up = cy - row, down = row - cy - oy;
      if (up >= 0 && up <= b) n += 8 + span(half_width(a, b, up), row);
      if (down >= 0 && down <= b && down + oy > 0) n += 8 + span(half_width(a, b, down), row);
    }
  }
  if (c.inverted) {
    n += band(c, c.cx0, c.cy0, c.cx1 - 1, cy - b - 1, colour);
    n += band(c, c.cx0, cy + oy + b + 1, c.cx1 - 1, c.cy1 - 1, colour);
  }
  return n;
}

int64_t draw_oval(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  int64_t w = x1 - x0, h = y1 - y0;
  if (w <= 1 || h <= 1) return band(c, x0, y0, x1, y1, colour);
  if (!box_meets_clip(c, x0, y0, x1, y1)) return 0;
  return draw_ellipse_1(c, (x0 + x1) >> 1, (y0 + y1) >> 1, w / 2, h / 2, w & 1, h & 1, colour);
}

namespace {

// The cover test: a box of 7/10 of the half-widths around the centre lies
// inside the ellipse; when it reaches past every side of the clip, so does the oval.
bool oval_covers_clip(const canvas &c, int64_t cx, int64_t cy, int64_t w, int64_t h) {
  int64_t hw = (w / 2) * 7 / 10, hh = (h / 2) * 7 / 10;
  return c.cx1 - c.cx0 < w && cx - hw < c.cx0 && cx + hw >= c.cx1 && cy - hh < c.cy0 &&
         cy + hh >= c.cy1;
}

}  // namespace

int64_t draw_filloval(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
  if (x0 > x1) std::swap(x0, x1);
  if (y0 > y1) std::swap(y0, y1);
  int64_t w = x1 - x0, h = y1 - y0;
  if (w <= 1 || h <= 1)
    return c.inverted ? rectfill_inverted(c, x0, y0, x1, y1, colour) : band(c, x0, y0, x1, y1, colour);
  int64_t cx = (x0 + x1) >> 1, cy = (y0 + y1) >> 1;
  if (oval_covers_clip(c, cx, cy, w, h)) return c.inverted ? 0 : fill_clip(c, colour);
  if (!box_meets_clip(c, x0, y0, x1, y1)) return c.inverted ? fill_clip(c, colour) : 0;
  return fill_ellipse_1(c, cx, cy, w / 2, h / 2, w & 1, h & 1, colour);
}

/* ---------------------------------------------------------------------- */
/* rounded rectangles                                                     */
/* ---------------------------------------------------------------------- */

namespace {

int64_t corner_radius(int64_t w, int64_t h, int64_t r) { return std::min((std::min(w, h) >> 1) - 1, r); }

}  // namespace

int64_t draw_rrect(const canvas &c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r, int colour) {
  if (w <= 0 || h <= 0) return 0;
  int64_t rr = corner_radius(w, h, r);
  int64_t xe = x + w - 1, ye = y + h - 1;
  if (rr <= 0) return draw_rect(c, x, y, xe, ye, colour);
  int64_t n = 0;
  if (box_meets_clip(c, x, y, xe, ye))
    n += draw_ellipse_1(c, x + rr + 1, y + rr + 1, rr + 1, rr + 1, w - 2 * rr - 3, h - 2 * rr - 3, colour);
  if (x + rr + 2 <= xe - rr - 2) {
    n += draw_hline(c, x + rr + 2, xe - rr - 2, y, colour);
    n += draw_hline(c, x + rr + 2, xe - rr - 2, ye, colour);
  }
  if (y + rr + 2 <= ye - rr - 2) {
    n += band(c, x, y + rr + 2, x, ye - rr - 2, colour);
    n += band(c, xe, y + rr + 2, xe, ye - rr - 2, colour);
  }
  return n;
}

int64_t draw_rrectfill(const canvas &c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r,
                       int colour) {
  if (w < 1 || h < 1) return c.inverted ? fill_clip(c, colour) : 0;
  int64_t xe = x + w - 1, ye = y + h - 1;
  if (!box_meets_clip(c, x, y, xe, ye)) return c.inverted ? fill_clip(c, colour) : 0;
  int64_t rr = corner_radius(w, h, r);
  auto rows = [&](int64_t from, int64_t to) {
    int64_t n = 0;
    for (int64_t row = std::max(from, c.cy0); row <= std::min(to, c.cy1 - 1); row++)
      n += c.inverted ? draw_hline_inv(c, x, xe, row, colour) : draw_hline(c, x, xe, row, colour);
    return n;
  };
  if (rr <= 0) {
    int64_t n = rows(y, ye);
    if (c.inverted)
      n += band(c, c.cx0, c.cy0, c.cx1 - 1, y - 1, colour) + band(c, c.cx0, ye + 1, c.cx1 - 1, c.cy1 - 1, colour);
    return n;
  }
  int64_t d = 2 * rr + 2, cx = x + rr + 1, cy = y + rr + 1;
  int64_t n = 0;
  if (oval_covers_clip(c, cx, cy, d, d)) {
    n += c.inverted ? 0 : fill_clip(c, colour);
  } else {
    n += fill_ellipse_1(c, cx, cy, rr + 1, rr + 1, w - 2 * rr - 3, h - 2 * rr - 3, colour);
  }
  return n + rows(y + rr + 2, ye - rr - 2);
}
