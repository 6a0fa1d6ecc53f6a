// Shape primitives: spans, rectangles, lines, ovals and rounded rectangles
// drawn into a canvas (gfx/draw_state.h) under the shape pixel rule.
#pragma once

#include <cstdint>

#include "gfx/draw_state.h"

// Coordinates are target pixels after the camera. Callers pass values within
// about 2^33 (32-bit script coordinates plus a 32-bit size); every loop is
// bounded by the clip rectangle, not by the shape. Each returns the number of
// pixels it visited, which sets the CPU charge.

// The span x0..x1 (x0 <= x1) of row y, clipped. With a target mask of 0 the
// two possible output bytes are computed once (the fast path), costing a quarter.
int64_t draw_hline(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour);
// The pixel rule at every pixel, whatever the target mask (the reference the
// fast path must match).
int64_t draw_hline_general(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour);
// The two spans of row y outside x0..x1 within the clip.
int64_t draw_hline_inv(const canvas &c, int64_t x0, int64_t x1, int64_t y, int colour);

int64_t rectfill(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);
// The four bands outside the rectangle (an inverted rectfill).
int64_t rectfill_inverted(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                          int colour);
// The plain byte in every pixel of the clipped rectangle: rows x columns.
int64_t rectfill_raw(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint8_t byte);
// Top, bottom and side edges as rect() draws them.
int64_t draw_rect(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);

int64_t draw_line(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);

// The pixel walk of draw_line, for the lines that sample textures as well:
// from (x0, y0) (y0 <= y1: the caller orders the ends) n + 1 steps of (sx, sy)
// in 16.16 from the pixel centre; step i is pixel ((fx + i sx) >> 16,
// (fy + i sy) >> 16). Only the steps lo..hi fall inside the clip (none when
// lo > hi).
struct line_walk {
  int64_t fx, fy, sx, sy, n, lo, hi;
};
line_walk clip_line_walk(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1);

// Ellipse cores: centre, radii, and offsets that move the right and lower
// halves further out. Negative radii draw nothing.
int64_t draw_ellipse_1(const canvas &c, int64_t cx, int64_t cy, int64_t a, int64_t b, int64_t ox,
                       int64_t oy, int colour);
int64_t fill_ellipse_1(const canvas &c, int64_t cx, int64_t cy, int64_t a, int64_t b, int64_t ox,
                       int64_t oy, int colour);

int64_t draw_oval(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);
// Uses c.inverted for the outside.
int64_t draw_filloval(const canvas &c, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);

// Rounded rectangles of x, y, w, h and corner radius r.
int64_t draw_rrect(const canvas &c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r, int colour);
int64_t draw_rrectfill(const canvas &c, int64_t x, int64_t y, int64_t w, int64_t h, int64_t r,
                       int colour);
