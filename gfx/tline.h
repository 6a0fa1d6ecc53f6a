// Textured lines and scaled sprites: a line of destination pixels walks a
// line through a texture (a bitmap, or a map of sprites) and writes each texel
// through the sprite pixel rule.
#pragma once

#include <cstdint>

#include "gfx/draw_state.h"

struct process;
struct userdata;

constexpr int32_t ram_tline_regs = 0x5530;  // i16 each: u offset, v offset, u wrap, v wrap
constexpr int64_t tline_no_last_pixel = 0x100;
constexpr int64_t tline_subpixel = 0x200;

struct tline_ends {
  double x0, y0, x1, y1;  // destination, camera applied
  double u0, v0, u1, v1;  // texture
  double w0, w1;          // perspective divisors (1, 1: affine)
};

// tline3d into the canvas (the sprite masks) from a u8 bitmap or an i16 map
// whose cells name sprites of P. Ends that are not finite draw nothing. Returns
// the pixels visited, or half of them on the short loop (u8 texture, the three
// masks 0x3F, no pattern) of an affine line.
int64_t draw_tline3d(const process *P, const userdata *texture, const canvas &c, int64_t flags,
                     const tline_ends &e);

// The plain textured line of sspr and map tiles: integer ends, texture
// coordinates in sprite pixels, no wrap. Only a u8 sprite is drawn; samples
// are kept inside the sprite. Returns the pixels visited.
int64_t draw_tline_sspr(const userdata *sprite, const canvas &c, int64_t x0, int64_t y0, int64_t x1,
                        int64_t y1, double u0, double v0, double u1, double v1);

// The pixels a scaled drawing visited and the textured lines it drew them with.
struct line_draw {
  int64_t pixels = 0;
  int64_t lines = 0;
};
// What such a drawing is charged: its pixels / 3, but at least 2 a line, so
// that lines of a pixel or two pay for setting up each line.
inline int64_t line_draw_charge(line_draw d) { return d.pixels / 3 > 2 * d.lines ? d.pixels / 3 : 2 * d.lines; }

// sspr: source rectangle (sx, sy, sw, sh) scaled into (dx, dy, dw, dh), camera
// applied. Only destination rows or columns inside the clip are drawn.
line_draw draw_sspr(const userdata *sprite, const canvas &c, int64_t sx, int64_t sy, int64_t sw,
                  int64_t sh, int64_t dx, int64_t dy, int64_t dw, int64_t dh, bool flip_x,
                  bool flip_y);
