// Script-API functions of the draw state and the shape primitives: each takes
// the draw target, reads its arguments, runs one primitive and charges it.
#include "gfx/gfx_api.h"

#include <algorithm>
#include <cstdio>

#include "gfx/binding.h"
#include "gfx/draw_state.h"
#include "gfx/shapes.h"
#include "kernel/accounting.h"
#include "kernel/maths.h"
#include "kernel/numbers.h"
#include "kernel/process.h"
#include "kernel/ram.h"
#include "kernel/ram_api.h"
#include "values/userdata.h"

namespace {

const char draw_target_anchor = 0;
constexpr int32_t sprite_flags = 0xC000;
// A new draw target writes its whole clip into RAM and reads it back.
constexpr int64_t clip_reset_cycles = 8;
// A palette entry set: a colour table's row of 64 bytes filled through RAM.
constexpr int64_t palette_entry_cycles = 4;

using gfx_binding::arg32;
using gfx_binding::arg_x;
using gfx_binding::arg_y;
using gfx_binding::colour_arg;
using gfx_binding::f64_batch;
using gfx_binding::target;

void charge(int64_t n) { spend_cpu(n); }

// Batch forms of the shapes: vals gets the record's values floored (missing
// ones 0): the last value a record can carry is its colour word, kept whole;
// the others are coordinates, saturated to 32 bits. draw(vals, carried) draws one.
template <typename Draw>
int64_t for_each_record(lua_State *L, const userdata *ud, int64_t cap, Draw draw) {
  return gfx_binding::for_each_batch_record(L, ud, cap, [&](int64_t start, int64_t per) {
    int64_t vals[5] = {};
    for (int64_t j = 0; j < per; j++) {
      int64_t v = floor_to_i64(ud_get_number(ud, start + j));
      vals[j] = j == cap - 1 ? v : saturate_i32(v);
    }
    draw(vals, per);
  });
}

// The colour of a record: its own colour word when it carries one.
int record_colour(const int64_t *vals, int64_t carried, int index) {
  if (carried > index) set_colp(vals[index]);
  return draw_colour();
}

}  // namespace

/* ---------------------------------------------------------------------- */
/* draw state                                                             */
/* ---------------------------------------------------------------------- */

int lua54_fillp(lua_State *L) {
  if (!target()) return 0;
  if (lua_gettop(L) == 8) {
    int64_t rows[8];
    for (int i = 0; i < 8; i++) rows[i] = kvt_intp(L, i + 1, 0);
    fillp_rows(rows);
  } else {
    fillp_16(kvt_intp(L, 1, 0));
  }
  return 0;
}

int lua54_color(lua_State *L) {
  poke2(ram_draw_colour, static_cast<int>(kvt_intp(L, 1, 6) & 0xFFFF));
  return 0;
}

int lua54_camera(lua_State *L) {
  int px = peek4(ram_camera_x), py = peek4(ram_camera_y);
  poke4(ram_camera_x, static_cast<int>(kvt_intp(L, 1, 0)));
  poke4(ram_camera_y, static_cast<int>(kvt_intp(L, 2, 0)));
  lua_pushinteger(L, px);
  lua_pushinteger(L, py);
  return 2;
}

int lua54_clip(lua_State *L) {
  // The previous rectangle is the one last refreshed: no refresh first.
  if (!cproc || !cproc->draw_target) return 0;
  clip_result r = set_clip(cproc, lua_gettop(L) >= 4, kvt_intp(L, 1, 0), kvt_intp(L, 2, 0),
                           kvt_intp(L, 3, 0), kvt_intp(L, 4, 0), lua_toboolean(L, 5));
  lua_pushinteger(L, r.x);
  lua_pushinteger(L, r.y);
  lua_pushinteger(L, r.w);
  lua_pushinteger(L, r.h);
  lua_pushboolean(L, r.empty);
  return 5;
}

int lua54_cursor(lua_State *L) {
  poke4(ram_cursor_x, static_cast<int>(kvt_intp(L, 1, 0)));
  poke4(ram_cursor_y, static_cast<int>(kvt_intp(L, 2, 0)));
  if (lua_type(L, 3) == LUA_TNUMBER) set_colp(kvt_intp(L, 3, 0));
  return 0;
}

int lua54_pal(lua_State *L) {
  if (lua_type(L, 1) == LUA_TTABLE) {
    int64_t kind = kvt_intp(L, 2, 0), pairs = 0;
    lua_pushnil(L);
    while (lua_next(L, 1)) {
      pairs++;
      if (lua_type(L, -2) == LUA_TNUMBER) set_palette_entry(kvt_intp(L, -2, 0), kvt_intp(L, -1, 0), kind);
      lua_pop(L, 1);
    }
    charge(palette_entry_cycles * pairs);
    return 0;
  }
  if (lua_gettop(L) >= 2) {
    charge(palette_entry_cycles);
    set_palette_entry(kvt_intp(L, 1, 0), kvt_intp(L, 2, 0), kvt_intp(L, 3, 0));
    return 0;
  }
  int64_t cost = pal_reset(kvt_intp(L, 1, -1));
  if (cost > 0) charge(cost);
  return 0;
}

int lua54_palt(lua_State *L) {
  int nargs = lua_gettop(L);
  if (nargs >= 2) {
    palt_entry(static_cast<int>(kvt_truncp(L, 1, 0) & 0xFF), lua_toboolean(L, 2));
  } else {
    palt_bits(static_cast<uint64_t>(nargs == 0 ? 1 : (lua_type(L, 1) == LUA_TNUMBER ? kvt_intp(L, 1, 0) : 0)));
  }
  return 0;
}

int lua54__set_draw_target(lua_State *L) {
  userdata *ud = to_userdata(L, 1);
  if (!ud || !cproc) return 0;
  // Anchored under the process's record: a new target replaces the old entry.
  charge(anchor_cycles + clip_reset_cycles);
  anchor_userdata(L, &draw_target_anchor, cproc, 1);
  set_draw_target(cproc, ud);
  return 0;
}

/* ---------------------------------------------------------------------- */
/* shapes                                                                 */
/* ---------------------------------------------------------------------- */

int lua54_cls(lua_State *L) {
  userdata *t = target();
  if (!t) return 0;
  int64_t n = int64_t{t->width} * t->height * t->depth;
  memset(ud_elements(t), static_cast<int>(kvt_intp(L, 1, 0) & 0xFF), static_cast<size_t>(n));
  poke4(ram_cursor_x, 0);
  poke4(ram_cursor_y, 0);
  charge(n / 64);
  return 0;
}

int lua54_pset(lua_State *L) {
  if (!target()) return 0;
  if (const userdata *ud = f64_batch(L)) {
    int64_t records = for_each_record(L, ud, 3, [&](const int64_t *v, int64_t carried) {
      int64_t x = v[0] - peek4(ram_camera_x), y = v[1] - peek4(ram_camera_y);
      int colour = record_colour(v, carried, 2);
      putpixel(shape_canvas(cproc), x, y, colour);
    });
    charge(3 * records);
    return 0;
  }
  if (lua_gettop(L) < 2) return 0;
  int64_t x = arg_x(L, 1), y = arg_y(L, 2);
  int colour = colour_arg(L, 3);
  putpixel(shape_canvas(cproc), x, y, colour);
  return 0;
}

int lua54_pget(lua_State *L) {
  userdata *t = target();
  if (!t || lua_gettop(L) < 2) return 0;
  lua_pushinteger(L, getpixel(t, arg_x(L, 1), arg_y(L, 2)));
  return 1;
}

int lua54_line(lua_State *L) {
  if (!target()) return 0;
  int nargs = lua_gettop(L);
  if (nargs <= 1) {
    poke(ram_line_fresh, 1);
    if (nargs == 1 && lua_type(L, 1) == LUA_TNUMBER) set_colp(kvt_intp(L, 1, 0));
    return 0;
  }
  int64_t x0, y0, x1, y1;
  int colour;
  if (nargs <= 3) {
    if (peek(ram_line_fresh) == 1) {
      poke4(ram_line_x, static_cast<int>(arg32(L, 1, 0)));
      poke4(ram_line_y, static_cast<int>(arg32(L, 2, 0)));
      poke(ram_line_fresh, 0);
      return 0;
    }
    x0 = arg32(L, 1, 0), y0 = arg32(L, 2, 0);
    x1 = peek4(ram_line_x), y1 = peek4(ram_line_y);
    colour = colour_arg(L, 3);
    poke4(ram_line_x, static_cast<int>(x0));
    poke4(ram_line_y, static_cast<int>(y0));
  } else {
    x0 = arg32(L, 1, 0), y0 = arg32(L, 2, 0), x1 = arg32(L, 3, 0), y1 = arg32(L, 4, 0);
    colour = colour_arg(L, 5);
    poke4(ram_line_x, static_cast<int>(x1));
    poke4(ram_line_y, static_cast<int>(y1));
  }
  int64_t cx = peek4(ram_camera_x), cy = peek4(ram_camera_y);
  charge(draw_line(shape_canvas(cproc), x0 - cx, y0 - cy, x1 - cx, y1 - cy, colour));
  return 0;
}

int lua54_rect(lua_State *L) {
  if (!target() || lua_gettop(L) < 4) return 0;
  int64_t x0 = arg_x(L, 1), y0 = arg_y(L, 2), x1 = arg_x(L, 3), y1 = arg_y(L, 4);
  int colour = colour_arg(L, 5);
  charge(draw_rect(shape_canvas(cproc), x0, y0, x1, y1, colour) / 3);
  return 0;
}

int lua54_rectfill(lua_State *L) {
  if (!target()) return 0;
  if (const userdata *ud = f64_batch(L)) {
    int64_t n = 0;
    int64_t records = for_each_record(L, ud, 5, [&](const int64_t *v, int64_t carried) {
      int64_t cx = peek4(ram_camera_x), cy = peek4(ram_camera_y);
      cproc->inverted_fill = 0;
      int colour = record_colour(v, carried, 4);
      canvas c = shape_canvas(cproc);
      n += c.inverted ? rectfill_inverted(c, v[0] - cx, v[1] - cy, v[2] - cx, v[3] - cy, colour)
                      : rectfill(c, v[0] - cx, v[1] - cy, v[2] - cx, v[3] - cy, colour);
    });
    charge(3 * records);
    charge(n / 3);
    return 0;
  }
  if (lua_gettop(L) < 4) return 0;
  int64_t x0 = arg_x(L, 1), y0 = arg_y(L, 2), x1 = arg_x(L, 3), y1 = arg_y(L, 4);
  cproc->inverted_fill = 0;
  int colour = colour_arg(L, 5);
  canvas c = shape_canvas(cproc);
  charge((c.inverted ? rectfill_inverted(c, x0, y0, x1, y1, colour) : rectfill(c, x0, y0, x1, y1, colour)) / 3);
  return 0;
}

int lua54_oval(lua_State *L) {
  if (!target() || lua_gettop(L) < 4) return 0;
  int64_t x0 = arg_x(L, 1), y0 = arg_y(L, 2), x1 = arg_x(L, 3), y1 = arg_y(L, 4);
  int colour = colour_arg(L, 5);
  charge(draw_oval(shape_canvas(cproc), x0, y0, x1, y1, colour));
  return 0;
}

int lua54_ovalfill(lua_State *L) {
  if (!target() || lua_gettop(L) < 4) return 0;
  int64_t x0 = arg_x(L, 1), y0 = arg_y(L, 2), x1 = arg_x(L, 3), y1 = arg_y(L, 4);
  cproc->inverted_fill = 0;
  int colour = colour_arg(L, 5);
  charge(draw_filloval(shape_canvas(cproc), x0, y0, x1, y1, colour) / 3);
  return 0;
}

int lua54_circ(lua_State *L) {
  if (!target() || lua_gettop(L) < 2) return 0;
  int64_t x = arg_x(L, 1), y = arg_y(L, 2), r = arg32(L, 3, 4);
  int colour = colour_arg(L, 4);
  if (r < 0) return 0;
  charge(draw_oval(shape_canvas(cproc), x - r, y - r, x + r, y + r, colour) / 3);
  return 0;
}

namespace {

int64_t circfill_one(int64_t x, int64_t y, int64_t r, int colour) {
  canvas c = shape_canvas(cproc);
  if (r < 0) return c.inverted ? rectfill(c, c.cx0, c.cy0, c.cx1 - 1, c.cy1 - 1, colour) : 0;
  return draw_filloval(c, x - r, y - r, x + r, y + r, colour);
}

}  // namespace

int lua54_circfill(lua_State *L) {
  if (!target()) return 0;
  if (const userdata *ud = f64_batch(L)) {
    int64_t n = 0;
    int64_t records = for_each_record(L, ud, 4, [&](const int64_t *v, int64_t carried) {
      cproc->inverted_fill = 0;
      int colour = record_colour(v, carried, 3);
      n += circfill_one(v[0] - peek4(ram_camera_x), v[1] - peek4(ram_camera_y), carried > 2 ? v[2] : 4,
                        colour);
    });
    charge(4 * records);
    charge(n / 3);
    return 0;
  }
  if (lua_gettop(L) < 2) return 0;
  int64_t x = arg_x(L, 1), y = arg_y(L, 2), r = arg32(L, 3, 4);
  cproc->inverted_fill = 0;
  int colour = colour_arg(L, 4);
  charge(circfill_one(x, y, r, colour) / 3);
  return 0;
}

int lua54_rrect(lua_State *L) {
  if (!target() || lua_gettop(L) < 2) return 0;
  int64_t x = arg_x(L, 1), y = arg_y(L, 2), w = arg32(L, 3, 0), h = arg32(L, 4, 0), r = arg32(L, 5, 0);
  int colour = colour_arg(L, 6);
  charge(draw_rrect(shape_canvas(cproc), x, y, w, h, r, colour) / 3);
  return 0;
}

int lua54_rrectfill(lua_State *L) {
  if (!target() || lua_gettop(L) < 2) return 0;
  int64_t x = arg_x(L, 1), y = arg_y(L, 2), w = arg32(L, 3, 0), h = arg32(L, 4, 0), r = arg32(L, 5, 0);
  cproc->inverted_fill = 0;
  int colour = colour_arg(L, 6);
  charge(draw_rrectfill(shape_canvas(cproc), x, y, w, h, r, colour) / 3);
  return 0;
}

/* ---------------------------------------------------------------------- */
/* sprite flags and map cells                                             */
/* ---------------------------------------------------------------------- */

int lua54_fset(lua_State *L) {
  int addr = sprite_flags + static_cast<int>(kvt_intp(L, 1, 0) & 0x1FFF);
  if (lua_gettop(L) >= 3) {
    int bit = 1 << (kvt_intp(L, 2, 0) & 31);
    int byte = peek(addr);
    poke(addr, lua_toboolean(L, 3) ? byte | bit : byte & ~bit);
  } else {
    poke(addr, static_cast<int>(kvt_intp(L, 2, 0)));
  }
  return 0;
}

int lua54_fget(lua_State *L) {
  int byte = peek(sprite_flags + static_cast<int>(kvt_intp(L, 1, 0) & 0x1FFF));
  if (lua_gettop(L) < 2) {
    lua_pushinteger(L, byte);
  } else {
    lua_pushboolean(L, (int64_t{byte} >> (kvt_intp(L, 2, -1) & 31)) & 1);
  }
  return 1;
}

namespace {

userdata *current_map() {
  return cproc && cproc->ram ? static_cast<userdata *>(cproc->ram->current_map) : nullptr;
}

// The element index of cell (x, y), or -1 outside the map.
int64_t map_cell(const userdata *m, int64_t x, int64_t y) {
  if (x < 0 || y < 0 || x >= m->width || y >= m->height) return -1;
  return y * m->width + x;
}

}  // namespace

int lua54_mset(lua_State *L) {
  userdata *m = current_map();
  if (!m) {
    printf("mset no map\n");
    return 0;
  }
  int64_t i = map_cell(m, kvt_intp(L, 1, 0), kvt_intp(L, 2, 0));
  if (i >= 0) ud_set_int(m, i, static_cast<int16_t>(kvt_intp(L, 3, 0)));
  return 0;
}

int lua54_mget(lua_State *L) {
  userdata *m = current_map();
  if (!m) {
    printf("mget no map\n");
    return 0;
  }
  int64_t i = map_cell(m, kvt_intp(L, 1, 0), kvt_intp(L, 2, 0));
  if (i < 0) return 0;
  lua_pushinteger(L, static_cast<int16_t>(ud_get_int(m, i)));
  return 1;
}
